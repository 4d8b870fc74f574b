// Group descriptors read when a run first uses a group, not all of them when the file system opens:
// an 8 TiB file system has 65,536 groups and 4 MiB of descriptors, of which listing one folder
// needs a block or two. Each descriptor is checked before the library is let near it.
#pragma once

#include <sys/types.h>  // mode_t, which ext2fs.h uses without including it on MinGW

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <set>
#include <string>

namespace dirtool {
namespace ext {

class group_descriptors {
public:
    // Gives `fs`, opened with EXT2_FLAG_SUPER_ONLY through the superblock at block `superblock` (0
    // for the primary), a descriptor table that the library indexes as if it were read whole. It
    // stays zeros, untouched memory the host never has to provide, until a group is used. Fails
    // when the descriptors could not fit in `disk_length` bytes or the table in memory.
    bool attach(ext2_filsys fs, blk64_t superblock, std::uint64_t disk_length, std::string& error);

    // Reads the descriptor block that holds `group` the first time one of its groups is used, and
    // checks the group's descriptor: its checksum, and that its bitmaps and inode table lie where
    // the file system has room for them. A damaged group fails at every use.
    bool use_group(dgrp_t group, std::string& error);

    // The group that holds the inode. A number outside the file system is left to the library,
    // which refuses it.
    bool use_group_of(ext2_ino_t inode, std::string& error);

private:
    blk64_t descriptor_block_location(std::uint64_t index) const;

    ext2_filsys fs_ = nullptr;
    blk64_t superblock_ = 0;
    std::set<std::uint64_t> blocks_read_;  // indexes of the descriptor blocks in the table
    std::set<dgrp_t> groups_checked_;      // and the groups whose descriptor passed
};

}  // namespace ext
}  // namespace dirtool
