#include "ext/ext_groups.h"

#include "ext/ext_entries.h"

#include <cstdlib>
#include <cstring>

namespace dirtool {
namespace ext {

namespace {

std::string group_text(dgrp_t group) {
    return "the descriptor of block group " + std::to_string(group);
}

// Whether `count` blocks from `first` lie inside [low, high].
bool blocks_inside(blk64_t first, std::uint64_t count, blk64_t low, blk64_t high) {
    return first >= low && first <= high && high - first >= count - 1;
}

// Whether `block` holds a superblock or group descriptors, or the room kept for more of them, where
// no bitmap or inode table may be: a zeroed descriptor, which no checksum may guard, points to block 0.
bool holds_superblock_or_descriptors(ext2_filsys fs, blk64_t block) {
    const dgrp_t group = ext2fs_group_of_blk2(fs, block);
    blk64_t super = 0;
    blk64_t old_descriptors = 0;
    blk64_t new_descriptor = 0;
    ext2fs_super_and_bgd_loc2(fs, group, &super, &old_descriptors, &new_descriptor, nullptr);
    const std::uint64_t old_count = ext2fs_has_feature_meta_bg(fs->super)
                                        ? fs->super->s_first_meta_bg
                                        : fs->desc_blocks + fs->super->s_reserved_gdt_blocks;
    return (ext2fs_bg_has_super(fs, group) && block == super) ||
           (old_descriptors != 0 && block >= old_descriptors && block - old_descriptors < old_count) ||
           (new_descriptor != 0 && block == new_descriptor);
}

}  // namespace

bool group_descriptors::attach(ext2_filsys fs, blk64_t superblock, std::uint64_t disk_length, std::string& error) {
    fs_ = fs;
    superblock_ = superblock;
    blocks_read_.clear();
    groups_checked_.clear();
    // Every descriptor block is a block of the disk: a count the disk cannot hold is damage, and
    // would otherwise ask for an absurd table.
    const std::uint64_t block_size = fs->blocksize;
    if (fs->desc_blocks > disk_length / block_size) {
        error = "its " + std::to_string(fs->desc_blocks) + " blocks of group descriptors cannot fit on the disk";
        return false;
    }
    // calloc, not the library's allocator, which writes the zeros and so makes the host provide
    // every page of a table most of which a run never looks at. The library frees it with free().
    void* table = std::calloc(static_cast<std::size_t>(fs->desc_blocks), static_cast<std::size_t>(block_size));
    if (table == nullptr) {
        error = "no memory for " + std::to_string(fs->desc_blocks) + " blocks of group descriptors";
        return false;
    }
    ext2fs_free_mem(&fs->group_desc);
    fs->group_desc = static_cast<opaque_ext2_group_desc*>(table);
    return true;
}

// Where the library's own open reads descriptor block `index` from: in a row after the superblock,
// or, past s_first_meta_bg with meta_bg, in the first group of its meta group (in the second one
// when the file system is read through a backup superblock).
blk64_t group_descriptors::descriptor_block_location(std::uint64_t index) const {
    const blk64_t group_block = superblock_ != 0 ? superblock_ : fs_->super->s_first_data_block;
    std::uint64_t first_meta_bg = fs_->desc_blocks;
    if (ext2fs_has_feature_meta_bg(fs_->super) && fs_->super->s_first_meta_bg < first_meta_bg) {
        first_meta_bg = fs_->super->s_first_meta_bg;
    }
    if (index < first_meta_bg) {
        const blk64_t block_zero_reserved = group_block == 0 && fs_->blocksize == 1024 ? 1 : 0;
        return group_block + block_zero_reserved + 1 + index;
    }
    return ext2fs_descriptor_block_loc2(fs_, group_block, static_cast<dgrp_t>(index));
}

bool group_descriptors::use_group(dgrp_t group, std::string& error) {
    if (group >= fs_->group_desc_count) {
        error = "block group " + std::to_string(group) + " is past the last of the file system";
        return false;
    }
    if (groups_checked_.count(group) != 0) return true;
    const std::uint64_t index = group / static_cast<unsigned>(EXT2_DESC_PER_BLOCK(fs_->super));
    if (blocks_read_.count(index) == 0) {
        char* block = reinterpret_cast<char*>(fs_->group_desc) + index * fs_->blocksize;
        const blk64_t location = descriptor_block_location(index);
        const errcode_t code = io_channel_read_blk64(fs_->io, location, 1, block);
        if (code != 0) {
            std::memset(block, 0, fs_->blocksize);
            error = "cannot read " + group_text(group) + " at block " + std::to_string(location) + ": " +
                    library_error(code);
            return false;
        }
        blocks_read_.insert(index);
    }
    if (!ext2fs_group_desc_csum_verify(fs_, group)) {
        error = group_text(group) + " does not match its checksum";
        return false;
    }
    // As e2fsck checks a descriptor: with flex_bg a group's metadata may lie anywhere in the file
    // system, else within the group.
    blk64_t low = fs_->super->s_first_data_block;
    blk64_t high = ext2fs_blocks_count(fs_->super) - 1;
    if (!ext2fs_has_feature_flex_bg(fs_->super)) {
        low = ext2fs_group_first_block2(fs_, group);
        high = ext2fs_group_last_block2(fs_, group);
    }
    const blk64_t table = ext2fs_inode_table_loc(fs_, group);
    const std::uint64_t table_blocks = fs_->inode_blocks_per_group;
    const auto misplaced = [&](blk64_t first, std::uint64_t count) {
        return !blocks_inside(first, count, low, high) || holds_superblock_or_descriptors(fs_, first) ||
               holds_superblock_or_descriptors(fs_, first + count - 1);
    };
    const char* wrong = misplaced(ext2fs_block_bitmap_loc(fs_, group), 1)   ? "block bitmap"
                        : misplaced(ext2fs_inode_bitmap_loc(fs_, group), 1) ? "inode bitmap"
                        : misplaced(table, table_blocks)                    ? "inode table"
                                                                            : nullptr;
    if (wrong != nullptr) {
        error = group_text(group) + " places its " + wrong + " where it cannot be";
        return false;
    }
    groups_checked_.insert(group);
    return true;
}

bool group_descriptors::use_group_of(ext2_ino_t inode, std::string& error) {
    if (inode == 0 || inode > fs_->super->s_inodes_count) return true;
    return use_group((inode - 1) / EXT2_INODES_PER_GROUP(fs_->super), error);
}

}  // namespace ext
}  // namespace dirtool
