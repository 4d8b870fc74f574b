// The log of an ext3/ext4 journal, walked as recovery walks it, without writing anything: which
// file-system blocks the committed transactions wrote, and where in the journal each version of
// them lies. The walk reads the journal superblock and the descriptor, commit and revoke blocks
// only; the data blocks are read when the file system asks for them (see journal_overlay.h). The
// journal is untrusted: every count, offset and block number is checked before use, and a walk
// that meets damage stops there, keeping the transactions committed before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

// The blocks of a journal, numbered from its superblock at 0.
class journal_blocks {
public:
    virtual ~journal_blocks() = default;
    // Fills `into` with journal block `number`, one block of the journal's size; false with a
    // message when it cannot be read.
    virtual bool read(std::uint64_t number, unsigned char* into, std::string& error) = 0;
};

struct journal_limits {
    std::uint64_t journal_blocks = 0;  // the length of the journal's file, in blocks
    std::uint32_t block_size = 0;      // the file system's
    std::uint64_t file_system_blocks = 0;
    // Revoke records take no log blocks of their own: a bound keeps a hostile log of revoke
    // blocks from filling the memory. No transaction a kernel writes comes near it.
    std::size_t most_revoked_blocks = std::size_t{1} << 20;
};

// How a journaled block's own checksum is kept in its tag.
enum class tag_checksum : std::uint8_t { none, low_16_bits, full_32_bits };

// One committed version of a file-system block.
struct journaled_block {
    std::uint64_t file_system_block = 0;
    std::uint32_t journal_block = 0;  // a journal's length is a 32-bit count of blocks
    std::uint32_t transaction = 0;  // its transaction's place in the log, from 0: later is newer
    std::uint32_t logged = 0;       // its tag's place in the log, from 0
    std::uint32_t sequence = 0;     // its transaction's sequence number, which its checksum covers
    std::uint32_t checksum = 0;
    tag_checksum checksum_kind = tag_checksum::none;
    bool escaped = false;  // stored with its first four bytes zeroed: they hold the journal's magic
};

struct journal_replay {
    // The versions that recovery writes, ordered by file-system block, each block's newest first.
    // Revoked ones are left out; a version whose checksum fails when it is read gives way to the
    // next older one, as recovery skips it.
    std::vector<journaled_block> blocks;
    std::uint32_t transactions = 0;  // committed transactions found
    std::uint32_t checksum_seed = 0;
    std::string damage;        // why the walk stopped short of the log's normal end, if it did
    // The journal blocks [first, end) of the fast-commit area, which the walk leaves out (see
    // fast_commit.h); empty for a journal without one. Its fast commits count only when they carry
    // `next_sequence`, the sequence number of the transaction after the last committed one.
    bool fast_commit = false;
    std::uint32_t fast_commit_first = 0;
    std::uint32_t fast_commit_end = 0;
    std::uint32_t next_sequence = 0;
};

// Walks the journal's log. False, with a message and nothing to replay, when the journal
// superblock cannot be used; otherwise `replay` says what the committed transactions wrote.
bool walk_journal(journal_blocks& journal, const journal_limits& limits, journal_replay& replay,
                  std::string& error);

// The jbd2 checksum of a journaled block's contents as stored in the journal.
std::uint32_t journaled_block_checksum(std::uint32_t seed, std::uint32_t sequence, const unsigned char* block,
                                       std::uint32_t block_size);

// Whether a journaled block, read from the journal as stored, matches its tag's checksum.
bool journaled_block_intact(const journaled_block& version, std::uint32_t seed, const unsigned char* block,
                            std::uint32_t block_size);

}  // namespace dirtool
