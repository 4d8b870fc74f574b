// Finds a file system's internal journal through libext2fs, on the file system as the image holds
// it, walks its log and makes the overlay that recovery's writes would make, then applies the fast
// commits after the log's last full commit over it.
#include "base/bytes.h"
#include "ext/captured_writes.h"
#include "ext/ext_channel.h"
#include "ext/fast_commit.h"
#include "ext/fast_commit_replay.h"
#include "ext/journal_overlay.h"

#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace dirtool {

namespace {

// The journal's file, block by block, inside the file system's window.
class journal_file final : public journal_blocks {
public:
    journal_file(const image_window& window, const std::vector<journal_extent>& extents, std::uint32_t block_size)
        : window_(window), extents_(extents), block_size_(block_size) {}

    bool read(std::uint64_t number, unsigned char* into, std::string& error) override {
        std::uint64_t offset = 0;
        if (!locate_journal_block(extents_, number, block_size_, offset) ||
            !fits_inside(offset, block_size_, window_.length)) {
            error = "its block " + std::to_string(number) + " lies outside the file system";
            return false;
        }
        if (window_.reader->read(window_.start + offset, reinterpret_cast<char*>(into), block_size_, error) !=
            image_reader::result::done) {
            if (error.empty()) error = "its block " + std::to_string(number) + " lies past the image's end";
            return false;
        }
        return true;
    }

private:
    const image_window& window_;
    const std::vector<journal_extent>& extents_;
    std::uint32_t block_size_;
};

struct extent_collection {
    std::vector<journal_extent>* extents;
    std::uint64_t length;  // the journal's blocks, from its size
    std::uint64_t file_system_blocks;
    std::string damage;
};

int note_journal_block(ext2_filsys, blk64_t* block, e2_blkcnt_t index, blk64_t, int, void* context) {
    auto& collection = *static_cast<extent_collection*>(context);
    const auto number = static_cast<std::uint64_t>(index);
    if (index < 0 || number >= collection.length) return BLOCK_ABORT;
    std::vector<journal_extent>& extents = *collection.extents;
    if (*block >= collection.file_system_blocks ||
        (!extents.empty() && number < extents.back().journal_first + extents.back().count)) {
        collection.damage = "the journal's block map is damaged";
        return BLOCK_ABORT;
    }
    if (!extents.empty() && extents.back().journal_first + extents.back().count == number &&
        extents.back().file_system_first + extents.back().count == *block) {
        ++extents.back().count;
    } else {
        extents.push_back({number, *block, 1});
    }
    return 0;
}

// The extents of an extent-mapped journal, leaf by leaf: a few, where the block map has one entry
// per block. Each must start past the one before, so that a damaged tree cannot lead round in a
// circle.
bool map_journal_extents(ext2_filsys fs, ext2_ino_t number, ext2_inode& inode, extent_collection& collection) {
    ext2_extent_handle_t handle = nullptr;
    errcode_t code = ext2fs_extent_open2(fs, number, &inode, &handle);
    if (code != 0) {
        collection.damage = "its extent tree cannot be read: " + std::string(error_message(code));
        return false;
    }
    std::vector<journal_extent>& extents = *collection.extents;
    ext2fs_extent extent{};
    for (code = ext2fs_extent_get(handle, EXT2_EXTENT_ROOT, &extent); code == 0 && collection.damage.empty();
         code = ext2fs_extent_get(handle, EXT2_EXTENT_NEXT_LEAF, &extent)) {
        if ((extent.e_flags & EXT2_EXTENT_FLAGS_LEAF) == 0) continue;
        const std::uint64_t first = extent.e_lblk;
        const std::uint64_t end = saturated_sum(first, extent.e_len);
        const std::uint64_t physical_end = saturated_sum(extent.e_pblk, extent.e_len);
        if ((!extents.empty() && first < extents.back().journal_first + extents.back().count) ||
            physical_end > collection.file_system_blocks || extent.e_len == 0) {
            collection.damage = "the journal's extent tree is damaged";
        } else if (first >= collection.length) {
            break;
        } else if ((extent.e_flags & EXT2_EXTENT_FLAGS_UNINIT) == 0) {
            // An unwritten extent holds nothing of the journal: its blocks stay unmapped.
            extents.push_back({first, extent.e_pblk, std::min(end, collection.length) - first});
        }
    }
    ext2fs_extent_free(handle);
    if (code != 0 && code != EXT2_ET_EXTENT_NO_NEXT && collection.damage.empty()) {
        collection.damage = "its extent tree cannot be read: " + std::string(error_message(code));
    }
    return collection.damage.empty();
}

// Where the journal's blocks lie, from its inode; false with a message when they cannot be told.
bool map_journal(ext2_filsys fs, std::vector<journal_extent>& extents, std::uint64_t& length, std::string& error) {
    const ext2_ino_t number = fs->super->s_journal_inum;
    ext2_inode inode;
    errcode_t code = ext2fs_read_inode(fs, number, &inode);
    if (code != 0) {
        error = "its inode cannot be read: " + std::string(error_message(code));
        return false;
    }
    const std::uint64_t file_system_blocks = ext2fs_blocks_count(fs->super);
    length = EXT2_I_SIZE(&inode) / fs->blocksize;
    if (length > file_system_blocks) {
        error = "its size is larger than the file system";
        return false;
    }
    extent_collection collection{&extents, length, file_system_blocks, {}};
    if ((inode.i_flags & EXT4_EXTENTS_FL) != 0) {
        if (!map_journal_extents(fs, number, inode, collection)) error = collection.damage;
        return error.empty();
    }
    code = ext2fs_block_iterate3(fs, number, BLOCK_FLAG_READ_ONLY | BLOCK_FLAG_DATA_ONLY, nullptr,
                                 note_journal_block, &collection);
    if (code != 0 || !collection.damage.empty()) {
        error = code != 0 ? "its block map cannot be read: " + std::string(error_message(code)) : collection.damage;
        return false;
    }
    return true;
}

void say(const std::string& name, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), text.c_str());
}

bool journal_is_internal(const ext2_super_block& super) {
    bool named_elsewhere = super.s_journal_dev != 0;
    for (const unsigned char byte : super.s_journal_uuid) named_elsewhere = named_elsewhere || byte != 0;
    return super.s_journal_inum != 0 && !named_elsewhere;
}

// What the walk of the journal found, and what is said of it.
struct recovery {
    bool usable = false;
    std::shared_ptr<journal_overlay> overlay;
    fast_commit_log fast_commits;
    std::uint32_t transactions = 0;
    std::string damage;
    bool fast_commit_area = false;
};

const std::string recovery_needed = "the file system was not unmounted cleanly and needs its journal recovered";

recovery recover_open(ext2_filsys fs, const image_window& window, const std::string& name) {
    const std::string as_it_stands = "; listed as the image holds it, so recent changes may be missing";
    recovery found;
    if (!ext2fs_has_feature_journal(fs->super)) {
        say(name, recovery_needed + ", but it has no journal" + as_it_stands);
        return found;
    }
    if (!journal_is_internal(*fs->super)) {
        say(name, recovery_needed + ", which is on another device" + as_it_stands);
        return found;
    }
    std::vector<journal_extent> extents;
    journal_limits limits;
    limits.block_size = fs->blocksize;
    limits.file_system_blocks = ext2fs_blocks_count(fs->super);
    std::string error;
    journal_replay replay;
    if (map_journal(fs, extents, limits.journal_blocks, error)) {
        journal_file file(window, extents, fs->blocksize);
        walk_journal(file, limits, replay, error);
        // Fast commits add to the state the full commits leave: after damage, that is unknown.
        if (error.empty() && replay.fast_commit && replay.damage.empty()) {
            fast_commit_bounds bounds;
            bounds.inodes = fs->super->s_inodes_count;
            bounds.blocks = limits.file_system_blocks;
            bounds.first_data_block = fs->super->s_first_data_block;
            bounds.inode_size = EXT2_INODE_SIZE(fs->super);
            read_fast_commits(file, replay.fast_commit_first, replay.fast_commit_end, fs->blocksize,
                              replay.next_sequence, bounds, found.fast_commits);
        }
    }
    if (!error.empty()) {
        say(name, recovery_needed + ", but its journal cannot be used: " + error + as_it_stands);
        return found;
    }
    found.usable = true;
    found.transactions = replay.transactions;
    found.damage = replay.damage;
    found.fast_commit_area = replay.fast_commit;
    if (!replay.blocks.empty()) {
        found.overlay = std::make_shared<journal_overlay>(std::move(replay), std::move(extents), fs->blocksize);
    }
    return found;
}

std::string counted(std::size_t count, const std::string& what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// Applies the fast commits over the full commits' overlay, into writes kept in memory; says what
// was applied, in the one message that says what recovery did.
void apply_recovery(image_window& window, const std::string& name, std::uint32_t block_size, recovery& found) {
    window.journal = found.overlay;
    const fast_commit_log& log = found.fast_commits;
    std::size_t fast_commits = log.commits;
    std::string failure;
    if (log.commits > 0) {
        // Bounds for a hostile area: a real replay writes and reads some blocks per record.
        window.writes = std::make_shared<captured_writes>(block_size, std::size_t{1} << 14,
                                                          (std::uint64_t{1} << 20) + 4 * window.length / block_size);
        std::size_t failed_at = 0;
        std::string error;
        if (!replay_fast_commits(window, log, failed_at, error)) {
            if (window.writes->bound_reached()) error = "they write or read more blocks than any replay needs";
            fast_commits = static_cast<std::size_t>(
                std::upper_bound(log.commit_ends.begin(), log.commit_ends.end(), failed_at) - log.commit_ends.begin());
            failure = "; fast commit " + std::to_string(fast_commits + 1) +
                      " could not be applied whole, so it and those after it stop there: " + error;
        }
        window.writes->close();
    }
    std::string text = recovery_needed + ": " + counted(found.transactions, "committed transaction");
    if (found.fast_commit_area) text += " and " + counted(fast_commits, "fast commit");
    text += " applied in memory, the image left unchanged";
    if (!found.damage.empty()) {
        text += "; the journal is damaged after them: " + found.damage;
        if (found.fast_commit_area) text += ", so its fast commits, if any, were not applied";
    }
    if (!log.damage.empty()) text += "; its fast-commit area is damaged after them: " + log.damage;
    say(name, text + failure);
}

}  // namespace

void recover_journal(image_window& window, const std::string& name) {
    // The superblock's own bytes tell whether there is anything to recover, so a clean file system
    // is not opened twice: a whole open reads every group descriptor, which a large one has many of.
    constexpr std::uint64_t superblock_at = 1024;
    constexpr std::size_t magic_at = 0x38;
    constexpr std::size_t incompatible_features_at = 0x60;
    unsigned char superblock[0x64] = {};
    std::string ignored;
    if (window.length < superblock_at + sizeof superblock ||
        window.reader->read(window.start + superblock_at, reinterpret_cast<char*>(superblock), sizeof superblock,
                            ignored) != image_reader::result::done ||
        load_le16(superblock + magic_at) != EXT2_SUPER_MAGIC ||
        (load_le32(superblock + incompatible_features_at) & EXT3_FEATURE_INCOMPAT_RECOVER) == 0) {
        return;
    }
    image_window as_stored{window.reader, window.start, window.length, nullptr, nullptr};
    ext2_filsys fs = nullptr;
    // A file system that cannot be opened has nothing to recover; the open to come says why.
    if (open_file_system(as_stored, fs) != 0) return;
    recovery found;
    if (ext2fs_has_feature_journal_needs_recovery(fs->super)) found = recover_open(fs, as_stored, name);
    const std::uint32_t block_size = fs->blocksize;
    ext2fs_close_free(&fs);
    if (found.usable) apply_recovery(window, name, block_size, found);
}

}  // namespace dirtool
