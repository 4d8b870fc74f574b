#include "ext/fast_commit_replay.h"

#include "base/bytes.h"
#include "ext/ext_entries.h"

#include <cstring>
#include <vector>

namespace dirtool {
namespace {

// Offsets in an inode as stored.
constexpr std::size_t flags_at = 0x20, links_at = 0x1a, block_map_at = 0x28, block_map_size = 60;
constexpr std::uint16_t extent_magic = 0xf30a;

int directory_entry_type(unsigned mode) {
    switch (mode & LINUX_S_IFMT) {
        case LINUX_S_IFREG: return EXT2_FT_REG_FILE;
        case LINUX_S_IFDIR: return EXT2_FT_DIR;
        case LINUX_S_IFCHR: return EXT2_FT_CHRDEV;
        case LINUX_S_IFBLK: return EXT2_FT_BLKDEV;
        case LINUX_S_IFIFO: return EXT2_FT_FIFO;
        case LINUX_S_IFSOCK: return EXT2_FT_SOCK;
        case LINUX_S_IFLNK: return EXT2_FT_SYMLINK;
        default: return EXT2_FT_UNKNOWN;
    }
}

class replayer {
public:
    explicit replayer(ext2_filsys fs) : fs_(fs) {}

    bool apply(const fast_commit_change& change, std::string& error) {
        errcode_t code = 0;
        switch (change.kind) {
            case fast_commit_kind::inode: code = replace_inode(change); break;
            case fast_commit_kind::add_range: code = add_range(change, error); break;
            case fast_commit_kind::delete_range: code = delete_range(change); break;
            case fast_commit_kind::create:
            case fast_commit_kind::link: code = add_name(change); break;
            case fast_commit_kind::unlink: code = remove_name(change); break;
        }
        if (code != 0 && error.empty()) error = ext::library_error(code);
        return code == 0;
    }

private:
    // A slot that its group has never used holds whatever the inode table held, not an inode.
    bool never_used(ext2_ino_t number) const {
        if (!ext2fs_has_group_desc_csum(fs_)) return false;
        const dgrp_t group = ext2fs_group_of_ino(fs_, number);
        const std::uint32_t index = (number - 1) % fs_->super->s_inodes_per_group;
        return ext2fs_bg_flags_test(fs_, group, EXT2_BG_INODE_UNINIT) != 0 ||
               index >= fs_->super->s_inodes_per_group - ext2fs_bg_itable_unused(fs_, group);
    }

    // The inode as the record stores it, over what the file system holds: its blocks stay the file
    // system's when it maps them with extents, since the records of the fast commit say which
    // ranges changed. An inode that holds no extent tree yet gets an empty one.
    errcode_t replace_inode(const fast_commit_change& change) {
        const unsigned size = EXT2_INODE_SIZE(fs_->super);
        std::vector<unsigned char> stored(size, 0);
        auto* inode = reinterpret_cast<ext2_inode*>(stored.data());
        if (!never_used(change.inode)) {
            const errcode_t code = ext2fs_read_inode_full(fs_, change.inode, inode, static_cast<int>(size));
            if (code != 0) return code;
        }
        const auto* record = reinterpret_cast<const unsigned char*>(change.bytes.data());
        const std::size_t length = change.bytes.size();
        const std::size_t after_map = block_map_at + block_map_size;
        std::memcpy(stored.data(), record, block_map_at);
        std::memcpy(stored.data() + after_map, record + after_map, length - after_map);
        if ((load_le32(stored.data() + flags_at) & EXT4_EXTENTS_FL) != 0) {
            unsigned char* map = stored.data() + block_map_at;
            if (load_le16(map) != extent_magic) {
                // A root of no entries, room for four, at depth 0.
                std::memset(map, 0, block_map_size);
                const unsigned char root[6] = {0x0a, 0xf3, 0, 0, 4, 0};
                std::memcpy(map, root, sizeof root);
            }
        } else {
            std::memcpy(stored.data() + block_map_at, record + block_map_at, block_map_size);
        }
        const errcode_t code = ext2fs_write_inode_full(fs_, change.inode, inode, static_cast<int>(size));
        if (code != 0) return code;
        if (load_le16(stored.data() + links_at) != 0 && !ext2fs_test_inode_bitmap2(fs_->inode_map, change.inode)) {
            ext2fs_inode_alloc_stats2(fs_, change.inode, +1, LINUX_S_ISDIR(inode->i_mode) ? 1 : 0);
        }
        return 0;
    }

    // Maps the range as the record says, in place of whatever mapped it before.
    errcode_t add_range(const fast_commit_change& change, std::string& error) {
        ext2_inode inode;
        errcode_t code = ext2fs_read_inode(fs_, change.inode, &inode);
        if (code != 0) return code;
        if ((inode.i_flags & EXT4_EXTENTS_FL) == 0) {
            error = "inode " + std::to_string(change.inode) + " maps its blocks without extents";
            return EXT2_ET_INODE_NOT_EXTENT;
        }
        const blk64_t last = std::uint64_t{change.logical} + change.length - 1;
        code = ext2fs_punch(fs_, change.inode, &inode, nullptr, change.logical, last);
        if (code != 0) return code;
        ext2_extent_handle_t handle = nullptr;
        code = ext2fs_extent_open2(fs_, change.inode, &inode, &handle);
        if (code != 0) return code;
        ext2fs_extent extent{};
        extent.e_pblk = change.physical;
        extent.e_lblk = change.logical;
        extent.e_len = change.length;
        extent.e_flags = EXT2_EXTENT_FLAGS_LEAF | (change.unwritten ? EXT2_EXTENT_FLAGS_UNINIT : 0);
        code = insert_extent(handle, extent);
        ext2fs_extent_free(handle);
        if (code == 0) ext2fs_mark_block_bitmap_range2(fs_->block_map, change.physical, change.length);
        return code;
    }

    // Into a tree where the extent's range maps nothing: after the extent before it, or first.
    static errcode_t insert_extent(ext2_extent_handle_t handle, ext2fs_extent& extent) {
        ext2_extent_info info{};
        errcode_t code = ext2fs_extent_get_info(handle, &info);
        if (code != 0) return code;
        if (info.max_depth == 0 && info.num_entries == 0) return ext2fs_extent_insert(handle, 0, &extent);
        code = ext2fs_extent_goto2(handle, 0, extent.e_lblk);
        if (code == 0) return EXT2_ET_EXTENT_NOT_SUPPORTED;  // still mapped after the punch: a damaged tree
        if (code != EXT2_ET_EXTENT_NOT_FOUND) return code;
        ext2fs_extent current{};
        code = ext2fs_extent_get(handle, EXT2_EXTENT_CURRENT, &current);
        if (code != 0) return code;
        code = ext2fs_extent_insert(handle, extent.e_lblk < current.e_lblk ? 0 : EXT2_EXTENT_INSERT_AFTER, &extent);
        return code != 0 ? code : ext2fs_extent_fix_parents(handle);
    }

    errcode_t delete_range(const fast_commit_change& change) {
        if (change.length == 0) return 0;
        ext2_inode inode;
        const errcode_t code = ext2fs_read_inode(fs_, change.inode, &inode);
        if (code != 0) return code;
        const blk64_t last = std::uint64_t{change.logical} + change.length - 1;
        return ext2fs_punch(fs_, change.inode, &inode, nullptr, change.logical, last);
    }

    // A name that is there already stays: the directory's block may have reached the image before
    // the crash.
    errcode_t add_name(const fast_commit_change& change) {
        const std::string& name = change.bytes;
        ext2_ino_t found = 0;
        errcode_t code = ext2fs_lookup(fs_, change.parent, name.data(), static_cast<int>(name.size()), nullptr, &found);
        if (code == 0) return 0;
        if (code != EXT2_ET_FILE_NOT_FOUND) return code;
        ext2_inode inode;
        code = ext2fs_read_inode(fs_, change.inode, &inode);
        if (code != 0) return code;
        if (change.kind == fast_commit_kind::create && LINUX_S_ISDIR(inode.i_mode)) {
            code = give_directory_a_block(change.inode, change.parent, inode);
            if (code != 0) return code;
        }
        const int type = directory_entry_type(inode.i_mode);
        code = ext2fs_link(fs_, change.parent, name.c_str(), change.inode, type);
        if (code == EXT2_ET_DIR_NO_SPACE) {
            code = ext2fs_expand_dir(fs_, change.parent);
            if (code == 0) code = ext2fs_link(fs_, change.parent, name.c_str(), change.inode, type);
        }
        return code;
    }

    // A directory made since the last full commit has no block of its own on the file system, since
    // fast commits log no directory blocks: its first block, with "." and "..", is made anew.
    errcode_t give_directory_a_block(ext2_ino_t number, ext2_ino_t parent, ext2_inode& inode) {
        blk64_t physical = 0;
        errcode_t code = ext2fs_bmap2(fs_, number, &inode, nullptr, 0, 0, nullptr, &physical);
        if (code != 0 || physical != 0) return code;
        char* block = nullptr;
        code = ext2fs_new_dir_block(fs_, number, parent, &block);
        if (code != 0) return code;
        code = ext2fs_new_block2(fs_, ext2fs_find_inode_goal(fs_, number, &inode, 0), fs_->block_map, &physical);
        if (code == 0) code = ext2fs_write_dir_block4(fs_, physical, block, 0, number);
        ext2fs_free_mem(&block);
        if (code == 0) code = ext2fs_bmap2(fs_, number, &inode, nullptr, BMAP_SET, 0, nullptr, &physical);
        if (code != 0) return code;
        ext2fs_block_alloc_stats2(fs_, physical, +1);
        if (EXT2_I_SIZE(&inode) < fs_->blocksize) {
            code = ext2fs_inode_size_set(fs_, &inode, fs_->blocksize);
            if (code == 0) code = ext2fs_write_inode(fs_, number, &inode);
        }
        return code;
    }

    // A name already gone stays gone.
    errcode_t remove_name(const fast_commit_change& change) {
        const std::string& name = change.bytes;
        const errcode_t code = ext2fs_unlink(fs_, change.parent, name.c_str(), change.inode, 0);
        return code == EXT2_ET_DIR_NO_SPACE ? 0 : code;
    }

    ext2_filsys fs_;
};

}  // namespace

bool replay_fast_commits(const image_window& window, const fast_commit_log& log, std::size_t& failed_at,
                         std::string& error) {
    failed_at = 0;
    ext2_filsys fs = nullptr;
    errcode_t code = open_file_system(window, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0, fs);
    if (code != 0) {
        error = "the file system cannot be opened to apply them: " + ext::library_error(code);
        return false;
    }
    // The bitmaps on the file system may be older than the changes, and their checksums with them:
    // they only steer where new extent and directory blocks go.
    fs->flags |= EXT2_FLAG_IGNORE_CSUM_ERRORS;
    code = ext2fs_read_bitmaps(fs);
    if (code != 0) {
        error = "its bitmaps cannot be read: " + ext::library_error(code);
        ext2fs_free(fs);
        return false;
    }
    // Blocks that the fast commits map are in use before they are mapped: nothing the replay makes
    // on its way may take one of them.
    for (const fast_commit_change& change : log.changes) {
        if (change.kind == fast_commit_kind::add_range) {
            ext2fs_mark_block_bitmap_range2(fs->block_map, change.physical, change.length);
        }
    }
    replayer replay(fs);
    bool applied = true;
    for (; failed_at < log.changes.size(); ++failed_at) {
        if (!replay.apply(log.changes[failed_at], error)) {
            applied = false;
            break;
        }
    }
    // Only the blocks written on the way count: the bitmaps, group descriptors and superblock are
    // not written back, and nothing that reads the file system afterwards needs them.
    ext2fs_free(fs);
    return applied;
}

}  // namespace dirtool
