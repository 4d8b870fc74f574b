#include "ext/journal_format.h"

#include "base/bytes.h"

#include <array>
#include <cstring>

namespace dirtool {
namespace journal_format {
namespace {

constexpr std::uint32_t known_incompat = incompat_revoke | incompat_64bit | incompat_async_commit |
                                         incompat_csum_v2 | incompat_csum_v3 | incompat_fast_commit;
constexpr std::uint8_t crc32c_checksum_type = 4;
constexpr std::uint8_t crc32_checksum_type = 1;
constexpr std::uint32_t default_fast_commit_blocks = 256;

// A byte at a time through a table: only a journal without the newer checksums uses it.
constexpr std::array<std::uint32_t, 256> crc32_be_table = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
        table[i] = crc;
    }
    return table;
}();

}  // namespace

std::uint32_t chained_crc32c(std::uint32_t register_value, const void* bytes, std::size_t count) {
    return ~crc32c(bytes, count, ~register_value);
}

std::uint32_t chained_crc32_be(std::uint32_t crc, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) crc = (crc << 8) ^ crc32_be_table[(crc >> 24) ^ bytes[i]];
    return crc;
}

bool read_layout(const unsigned char* block, const journal_limits& limits, journal_layout& layout,
                 std::string& error) {
    const std::uint32_t type = load_be32(block + 4);
    if (load_be32(block) != journal_magic || (type != superblock_v1 && type != superblock_v2)) {
        error = "the journal has no journal superblock";
        return false;
    }
    const std::uint32_t block_size = load_be32(block + 0x0c);
    const std::uint32_t length = load_be32(block + 0x10);
    layout.first = load_be32(block + 0x14);
    layout.sequence = load_be32(block + 0x18);
    layout.start = load_be32(block + 0x1c);
    if (type == superblock_v2) {
        layout.compat = load_be32(block + 0x24);
        layout.incompat = load_be32(block + 0x28);
    }
    if (block_size != limits.block_size) {
        error = "the journal's block size " + std::to_string(block_size) + " is not the file system's";
        return false;
    }
    if (length > limits.journal_blocks || length < 2) {
        error = "the journal claims " + std::to_string(length) + " blocks in a file of " +
                std::to_string(limits.journal_blocks);
        return false;
    }
    if ((layout.incompat & ~known_incompat) != 0) {
        error = "the journal has features this tool does not know";
        return false;
    }
    if (layout.checksummed()) {
        if (block[0x50] != crc32c_checksum_type) {
            error = "the journal's checksum type is unknown";
            return false;
        }
        unsigned char copy[superblock_size];
        std::memcpy(copy, block, superblock_size);
        std::memset(copy + 0xfc, 0, 4);
        if (chained_crc32c(~0u, copy, superblock_size) != load_be32(block + 0xfc)) {
            error = "the journal superblock fails its checksum";
            return false;
        }
    }
    layout.seed = chained_crc32c(~0u, block + 0x30, uuid_size);
    layout.end = length;
    if (layout.has(incompat_fast_commit)) {
        const std::uint32_t stored = load_be32(block + 0x54);
        const std::uint32_t fast_commit_blocks = stored != 0 ? stored : default_fast_commit_blocks;
        layout.end = fast_commit_blocks < length ? length - fast_commit_blocks : 0;
        // jbd2 leaves the area's first block unused: its fast commits start one block further.
        layout.fast_commit_first = layout.end + 1 < length ? layout.end + 1 : length;
        layout.fast_commit_end = length;
    }
    if (layout.first == 0 || layout.first >= layout.end) {
        error = "the journal's log has no room between its blocks " + std::to_string(layout.first) + " and " +
                std::to_string(layout.end);
        return false;
    }
    if (layout.start != 0 && (layout.start < layout.first || layout.start >= layout.end)) {
        error = "the journal's log starts at block " + std::to_string(layout.start) + ", outside it";
        return false;
    }
    if (layout.has(incompat_csum_v3)) {
        layout.tag_size = 16;
    } else {
        layout.tag_size = 8u + (layout.has(incompat_csum_v2) ? 2u : 0u) + (layout.has(incompat_64bit) ? 4u : 0u);
    }
    layout.tail_size = layout.checksummed() ? 4 : 0;
    return true;
}

bool block_tail_intact(const journal_layout& layout, const unsigned char* block, std::uint32_t block_size) {
    if (!layout.checksummed()) return true;
    const std::uint32_t stored = load_be32(block + block_size - 4);
    std::uint32_t crc = chained_crc32c(layout.seed, block, block_size - 4);
    const unsigned char zeros[4] = {};
    crc = chained_crc32c(crc, zeros, sizeof zeros);
    return crc == stored;
}

bool commit_intact(const journal_layout& layout, const unsigned char* block, std::uint32_t block_size,
                   std::uint32_t transaction_crc) {
    if (layout.checksummed()) {
        std::uint32_t crc = chained_crc32c(layout.seed, block, 16);
        const unsigned char zeros[4] = {};
        crc = chained_crc32c(crc, zeros, sizeof zeros);
        crc = chained_crc32c(crc, block + 20, block_size - 20);
        return crc == load_be32(block + 16);
    }
    if ((layout.compat & compat_checksum) != 0) {
        // A commit block that carries no sum at all passes, as in recovery.
        const std::uint32_t stored = load_be32(block + 16);
        return (block[12] == crc32_checksum_type && block[13] == 4 && stored == transaction_crc) ||
               (block[12] == 0 && block[13] == 0 && stored == 0);
    }
    return true;
}

}  // namespace journal_format

using journal_format::chained_crc32c;

std::uint32_t journaled_block_checksum(std::uint32_t seed, std::uint32_t sequence, const unsigned char* block,
                                       std::uint32_t block_size) {
    const unsigned char sequence_bytes[4] = {static_cast<unsigned char>(sequence >> 24),
                                             static_cast<unsigned char>(sequence >> 16),
                                             static_cast<unsigned char>(sequence >> 8),
                                             static_cast<unsigned char>(sequence)};
    return chained_crc32c(chained_crc32c(seed, sequence_bytes, sizeof sequence_bytes), block, block_size);
}

bool journaled_block_intact(const journaled_block& version, std::uint32_t seed, const unsigned char* block,
                            std::uint32_t block_size) {
    if (version.checksum_kind == tag_checksum::none) return true;
    const std::uint32_t checksum = journaled_block_checksum(seed, version.sequence, block, block_size);
    if (version.checksum_kind == tag_checksum::low_16_bits) return (checksum & 0xffffu) == version.checksum;
    return checksum == version.checksum;
}

}  // namespace dirtool
