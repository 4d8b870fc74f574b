// What the ext device reads out of libext2fs: entry types and times from inodes, and the
// callbacks through which the library hands over directory entries and data blocks.
#pragma once

#include "base/entry.h"

#include <sys/types.h>  // mode_t, which ext2fs.h uses without including it on MinGW

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {
namespace ext {

std::string library_error(errcode_t code);

// d, -, l, c, b, p or s; '?' for an inode with no file type, which only damage makes.
char type_of(unsigned mode);

std::int64_t modification_time(const ext2_inode_large& inode);

struct stored_entry {
    std::string name;
    ext2_ino_t inode;
};

struct directory_reading {
    std::vector<stored_entry>* entries;
    bool out_of_memory;
};

// Collects each entry into a directory_reading.
int collect_entry(ext2_ino_t, int, ext2_dir_entry* entry, int, int, char*, void* data);

// Looking one name up reads the directory's blocks, each checked as a listing checks it, up to the
// block that holds the name: the first entry of that name is the one a listing shows first, and the
// blocks after it cannot change it.
struct name_lookup {
    const std::string* name;
    ext2_ino_t found;
};

int match_entry(ext2_ino_t, int, ext2_dir_entry* entry, int, int, char*, void* data);

struct block_run {
    e2_blkcnt_t first;
    e2_blkcnt_t end;
};

struct byte_range {
    std::uint64_t first;
    std::uint64_t end;
};

// Gathers the file's mapped blocks (a std::vector<block_run>) into runs of consecutive logical
// block numbers.
int note_data_block(ext2_filsys, blk64_t* block, e2_blkcnt_t logical, blk64_t, int, void* data);

// "/" and the first `count` components.
std::string path_text(const std::vector<std::string>& components, std::size_t count);

}  // namespace ext
}  // namespace dirtool
