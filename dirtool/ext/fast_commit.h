// The fast-commit area of an ext4 journal: after the log's last full commit, the kernel may write
// fast commits, each a run of tag-length-value records (which inode changed and how, which names
// came and went) closed by a TAIL that carries the transaction's id and a CRC-32C of the records.
// Read as recovery reads them, without writing anything: only the fast commits of the transaction
// after the last full commit count, and the first that fails a check ends them. The area is
// untrusted: each record's length, inode number and block range is checked against the file
// system before it is kept.
#pragma once

#include "ext/journal.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

// What the records of a fast commit may name.
struct fast_commit_bounds {
    std::uint32_t inodes = 0;  // inode numbers run from 1 to this
    std::uint64_t blocks = 0;  // the file system's length in blocks
    std::uint32_t first_data_block = 0;
    std::uint32_t inode_size = 0;
    // A bound on the records kept, which a hostile area must not push up to its whole size; a
    // kernel's area of 256 blocks holds a few tens of thousands at most.
    std::size_t most_changes = std::size_t{1} << 18;
};

enum class fast_commit_kind : std::uint8_t { add_range, delete_range, create, link, unlink, inode };

// One record of a fast commit that recovery applies.
struct fast_commit_change {
    fast_commit_kind kind = fast_commit_kind::inode;
    std::uint32_t inode = 0;
    std::uint32_t parent = 0;   // create, link, unlink: the directory
    std::uint32_t logical = 0;  // add_range, delete_range: the first block of the file
    std::uint32_t length = 0;   // and how many
    std::uint64_t physical = 0;  // add_range: where the first lies
    bool unwritten = false;      // add_range: blocks allocated and not written, which read as zeros
    std::string bytes;           // create, link, unlink: the name; inode: the inode as stored
};

struct fast_commit_log {
    std::vector<fast_commit_change> changes;  // of the fast commits that passed their checks, in order
    std::uint32_t commits = 0;
    std::vector<std::size_t> commit_ends;  // for each fast commit, the index in `changes` past its last
    std::string damage;  // why the area's reading stopped at something other than its normal end
};

// Reads the fast commits stored in journal blocks [first, end) that carry transaction id `tid`.
void read_fast_commits(journal_blocks& journal, std::uint32_t first, std::uint32_t end, std::uint32_t block_size,
                       std::uint32_t tid, const fast_commit_bounds& bounds, fast_commit_log& log);

}  // namespace dirtool
