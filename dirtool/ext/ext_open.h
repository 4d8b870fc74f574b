// Opening the file system of a disk as e2fsck does: through the primary superblock, or, when that
// or its group descriptors cannot be used, through a backup copy of both. Group descriptors are
// read as groups are used (see ext_groups.h).
#pragma once

#include "ext/ext_channel.h"
#include "ext/ext_groups.h"

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {
namespace ext {

// A place a copy of the superblock may lie: block `block` in blocks of `block_size` bytes, the
// superblock of block group `group`.
struct superblock_place {
    std::uint64_t block;
    unsigned block_size;
    std::uint32_t group;
};

// Where the backups of the file system that `primary` describes lie inside `disk_length` bytes:
// the two groups it names with sparse_super2; groups 1 and the powers of 3, 5 and 7 with
// sparse_super; else every group. None when its geometry is impossible.
std::vector<superblock_place> backup_places(ext2_super_block primary, std::uint64_t disk_length);

// Where backups may lie when the primary superblock says nothing: at the start of groups 1, 3, 5,
// 7, 9, 25, 27, 49 and on, for each block size from 1 KiB to 64 KiB with as many blocks a group as
// one block's bitmap holds (mke2fs's choice), inside `disk_length` bytes; fewest bytes in first.
std::vector<superblock_place> default_backup_places(std::uint64_t disk_length);

// Whether the disk holds a copy of the superblock in group 1, for some block size: a disk whose
// primary superblock is gone may still hold an ext file system.
bool has_backup_superblock(const image_window& window);

struct opened_file_system {
    ext2_filsys fs = nullptr;
    group_descriptors groups;
    // What the user is told on success: which backup was used, and any that were refused.
    std::vector<std::string> notices;
};

// Opens the file system in `window` and the descriptors of group 0, which holds the root. False
// with the primary's problem in `error` when neither the primary nor a backup can be used.
bool open_with_backups(const image_window& window, opened_file_system& opened, std::string& error);

}  // namespace ext
}  // namespace dirtool
