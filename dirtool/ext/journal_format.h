// The on-disk form of a jbd2 journal that both the log's walk and the fast-commit reader need: its
// superblock, read into a layout and checked, and the checksums of its blocks.
#pragma once

#include "ext/journal.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirtool {
namespace journal_format {

constexpr std::uint32_t journal_magic = 0xc03b3998u;
enum block_type : std::uint32_t { descriptor = 1, commit = 2, superblock_v1 = 3, superblock_v2 = 4, revoke = 5 };

constexpr std::uint32_t compat_checksum = 0x1;
constexpr std::uint32_t incompat_revoke = 0x1, incompat_64bit = 0x2, incompat_async_commit = 0x4,
                        incompat_csum_v2 = 0x8, incompat_csum_v3 = 0x10, incompat_fast_commit = 0x20;

constexpr std::uint32_t flag_escape = 0x1, flag_same_uuid = 0x2, flag_last_tag = 0x8;
constexpr std::uint32_t header_size = 12;
constexpr std::uint32_t superblock_size = 1024;
constexpr std::uint32_t uuid_size = 16;

// The CRC-32C as jbd2 chains it: a raw register, neither inverted going in nor coming out.
std::uint32_t chained_crc32c(std::uint32_t register_value, const void* bytes, std::size_t count);

// The big-endian CRC-32 of the older, whole-transaction checksum, from a raw register.
std::uint32_t chained_crc32_be(std::uint32_t crc, const unsigned char* bytes, std::size_t count);

struct journal_layout {
    std::uint32_t first = 0;  // the log's first block, after the superblock
    std::uint32_t end = 0;    // one past the log's last block; the fast-commit area follows
    std::uint32_t fast_commit_first = 0;  // the fast-commit area: [first, end), empty without one
    std::uint32_t fast_commit_end = 0;
    std::uint32_t start = 0;
    std::uint32_t sequence = 0;
    std::uint32_t compat = 0;
    std::uint32_t incompat = 0;
    std::uint32_t tag_size = 0;
    std::uint32_t tail_size = 0;  // a block checksum closing descriptor and revoke blocks
    std::uint32_t seed = 0;

    bool has(std::uint32_t feature) const { return (incompat & feature) != 0; }
    bool checksummed() const { return has(incompat_csum_v2) || has(incompat_csum_v3); }
    std::uint32_t after(std::uint32_t block) const { return block + 1 >= end ? first : block + 1; }
};

// The journal superblock in `block`, checked against the file system; false with a message when it
// cannot be used.
bool read_layout(const unsigned char* block, const journal_limits& limits, journal_layout& layout,
                 std::string& error);

// A descriptor's or revoke block's own checksum, in its last four bytes.
bool block_tail_intact(const journal_layout& layout, const unsigned char* block, std::uint32_t block_size);

bool commit_intact(const journal_layout& layout, const unsigned char* block, std::uint32_t block_size,
                   std::uint32_t transaction_crc);

}  // namespace journal_format
}  // namespace dirtool
