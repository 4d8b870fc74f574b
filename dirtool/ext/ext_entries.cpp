#include "ext/ext_entries.h"

#include "ext/ext_channel.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace dirtool {
namespace ext {

std::string library_error(errcode_t code) {
    // A read the disk beneath refused says why in its own words.
    const std::string failure = code == EIO ? take_read_failure() : std::string();
    return failure.empty() ? error_message(code) : failure;
}

char type_of(unsigned mode) {
    switch (mode & LINUX_S_IFMT) {
        case LINUX_S_IFDIR: return 'd';
        case LINUX_S_IFREG: return '-';
        case LINUX_S_IFLNK: return 'l';
        case LINUX_S_IFCHR: return 'c';
        case LINUX_S_IFBLK: return 'b';
        case LINUX_S_IFIFO: return 'p';
        case LINUX_S_IFSOCK: return 's';
        default: return '?';  // no file type: a damaged inode
    }
}

// A 32-bit time field goes on past 2038 in the two epoch bits of its "extra" field, which only
// inodes larger than the original 128 bytes have.
std::int64_t modification_time(const ext2_inode_large& inode) {
    std::int64_t seconds = static_cast<std::int32_t>(inode.i_mtime);
    const std::size_t stored = EXT2_GOOD_OLD_INODE_SIZE + std::size_t{inode.i_extra_isize};
    if (inode_includes(stored, i_mtime_extra)) {
        seconds += static_cast<std::int64_t>(inode.i_mtime_extra & EXT4_EPOCH_MASK) << 32;
    }
    return seconds;
}

int collect_entry(ext2_ino_t, int, ext2_dir_entry* entry, int, int, char*, void* data) {
    auto* reading = static_cast<directory_reading*>(data);
    // No exception may cross the library's C frames.
    try {
        reading->entries->push_back(
            {std::string(entry->name, static_cast<std::size_t>(ext2fs_dirent_name_len(entry))), entry->inode});
    } catch (const std::bad_alloc&) {
        reading->out_of_memory = true;
        return DIRENT_ABORT;
    }
    return 0;
}

int match_entry(ext2_ino_t, int, ext2_dir_entry* entry, int, int, char*, void* data) {
    auto* lookup = static_cast<name_lookup*>(data);
    const auto length = static_cast<std::size_t>(ext2fs_dirent_name_len(entry));
    if (length != lookup->name->size() || std::memcmp(entry->name, lookup->name->data(), length) != 0) return 0;
    lookup->found = entry->inode;
    return DIRENT_ABORT;
}

int note_data_block(ext2_filsys, blk64_t* block, e2_blkcnt_t logical, blk64_t, int, void* data) {
    auto* runs = static_cast<std::vector<block_run>*>(data);
    if (logical < 0 || *block == 0) return 0;
    try {
        if (!runs->empty() && runs->back().end == logical) {
            ++runs->back().end;
        } else {
            runs->push_back({logical, logical + 1});
        }
    } catch (const std::bad_alloc&) {
        return BLOCK_ABORT;
    }
    return 0;
}

std::string path_text(const std::vector<std::string>& components, std::size_t count) {
    std::string path = "/";
    for (std::size_t i = 0; i < count; ++i) path += components[i] + (i + 1 < count ? "/" : "");
    return path;
}

}  // namespace ext
}  // namespace dirtool
