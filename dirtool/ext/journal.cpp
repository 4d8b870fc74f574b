#include "ext/journal.h"

#include "base/bytes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

namespace dirtool {
namespace {

constexpr std::uint32_t journal_magic = 0xc03b3998u;
enum block_type : std::uint32_t { descriptor = 1, commit = 2, superblock_v1 = 3, superblock_v2 = 4, revoke = 5 };

constexpr std::uint32_t compat_checksum = 0x1;
constexpr std::uint32_t incompat_revoke = 0x1, incompat_64bit = 0x2, incompat_async_commit = 0x4,
                        incompat_csum_v2 = 0x8, incompat_csum_v3 = 0x10, incompat_fast_commit = 0x20;
constexpr std::uint32_t known_incompat = incompat_revoke | incompat_64bit | incompat_async_commit |
                                         incompat_csum_v2 | incompat_csum_v3 | incompat_fast_commit;
constexpr std::uint8_t crc32c_checksum_type = 4;
constexpr std::uint8_t crc32_checksum_type = 1;
constexpr std::uint32_t default_fast_commit_blocks = 256;

constexpr std::uint32_t flag_escape = 0x1, flag_same_uuid = 0x2, flag_last_tag = 0x8;
constexpr std::uint32_t header_size = 12;
constexpr std::uint32_t superblock_size = 1024;
constexpr std::uint32_t uuid_size = 16;

// The CRC-32C as jbd2 chains it: a raw register, neither inverted going in nor coming out.
std::uint32_t chained_crc32c(std::uint32_t register_value, const void* bytes, std::size_t count) {
    return ~crc32c(bytes, count, ~register_value);
}

// The big-endian CRC-32 of the older, whole-transaction checksum, from a raw register, a byte at a
// time through a table.
constexpr std::array<std::uint32_t, 256> crc32_be_table = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
        table[i] = crc;
    }
    return table;
}();

std::uint32_t chained_crc32_be(std::uint32_t crc, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) crc = (crc << 8) ^ crc32_be_table[(crc >> 24) ^ bytes[i]];
    return crc;
}

struct journal_layout {
    std::uint32_t first = 0;  // the log's first block, after the superblock
    std::uint32_t end = 0;    // one past the log's last block; the fast-commit area follows
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

// A descriptor's or revoke block's own checksum, in its last four bytes.
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

// The log from its start to where recovery stops, one block at a time.
class log_walk {
public:
    log_walk(journal_blocks& journal, const journal_limits& limits, const journal_layout& layout,
             journal_replay& replay)
        : journal_(journal), limits_(limits), layout_(layout), replay_(replay), block_(limits.block_size),
          data_(limits.block_size) {
        // Room for a log full of tags, up to a bound: growing the list page by page costs more
        // than the list itself.
        replay.blocks.reserve(std::min<std::size_t>(layout.end - layout.first, std::size_t{1} << 17));
    }

    void run() {
        std::uint32_t position = layout_.start;
        std::uint32_t sequence = layout_.sequence;
        transaction_crc_ = ~0u;
        while (replay_.damage.empty()) {
            if (!take(position, block_.data())) return;
            const unsigned char* block = block_.data();
            if (load_be32(block) != journal_magic || load_be32(block + 8) != sequence) return;  // the log's end
            const std::uint32_t type = load_be32(block + 4);
            if (type == descriptor) {
                if (!read_descriptor(position, sequence)) return;
            } else if (type == revoke) {
                if (!read_revoke()) return;
            } else if (type == commit) {
                if (!commit_intact(layout_, block, limits_.block_size, transaction_crc_)) return;
                keep_transaction();
                ++sequence;
            } else {
                return;  // another kind of block ends the log, as in recovery
            }
        }
    }

    // Leaves out what a revoke hides, then orders the versions each block's newest first.
    void finish() {
        replay_.blocks.resize(committed_);  // the uncommitted transaction's versions
        auto hidden = [this](const journaled_block& version) {
            const auto revoked = revoked_up_to_.find(version.file_system_block);
            return revoked != revoked_up_to_.end() && version.transaction <= revoked->second;
        };
        std::vector<journaled_block>& blocks = replay_.blocks;
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(), hidden), blocks.end());
        // Newest first; within one transaction a block logged twice has its later version first.
        // The log's order mostly is the file system's already, and then nothing moves.
        auto before = [](const journaled_block& a, const journaled_block& b) {
            if (a.file_system_block != b.file_system_block) return a.file_system_block < b.file_system_block;
            if (a.transaction != b.transaction) return a.transaction > b.transaction;
            return a.logged > b.logged;
        };
        if (!std::is_sorted(blocks.begin(), blocks.end(), before)) std::sort(blocks.begin(), blocks.end(), before);
    }

private:
    // Reads the log's block at `position` and moves past it; the log is read once around at most,
    // however its sequence numbers run.
    bool take(std::uint32_t& position, unsigned char* into) {
        const std::uint32_t here = position;
        if (!skip(position)) return false;
        std::string error;
        if (!journal_.read(here, into, error)) {
            replay_.damage = "cannot read the journal: " + error;
            return false;
        }
        return true;
    }

    // Moves past the log's block at `position` without reading it.
    bool skip(std::uint32_t& position) {
        if (taken_ >= layout_.end - layout_.first) {
            replay_.damage = "the journal's log runs on past the journal's whole length";
            return false;
        }
        ++taken_;
        position = layout_.after(position);
        return true;
    }

    bool read_descriptor(std::uint32_t& position, std::uint32_t sequence) {
        const std::uint32_t block_size = limits_.block_size;
        if (!block_tail_intact(layout_, block_.data(), block_size)) {
            replay_.damage = "a descriptor block of the journal fails its checksum";
            return false;
        }
        const bool whole_transaction_sum = (layout_.compat & compat_checksum) != 0 && !layout_.checksummed();
        if (whole_transaction_sum) transaction_crc_ = chained_crc32_be(transaction_crc_, block_.data(), block_size);
        const unsigned char* tags = block_.data();  // data blocks, read for the older sum, go to data_
        const std::uint32_t limit = block_size - layout_.tail_size;
        std::uint32_t offset = header_size;
        while (offset + layout_.tag_size <= limit) {
            const unsigned char* tag = tags + offset;
            journaled_block version;
            version.sequence = sequence;
            std::uint64_t number = load_be32(tag);
            std::uint32_t flags = 0;
            if (layout_.has(incompat_csum_v3)) {
                flags = load_be32(tag + 4);
                if (layout_.has(incompat_64bit)) number |= std::uint64_t{load_be32(tag + 8)} << 32;
                version.checksum = load_be32(tag + 12);
                version.checksum_kind = tag_checksum::full_32_bits;
            } else {
                version.checksum = load_be16(tag + 4);
                flags = load_be16(tag + 6);
                if (layout_.has(incompat_64bit)) number |= std::uint64_t{load_be32(tag + 8)} << 32;
                if (layout_.has(incompat_csum_v2)) version.checksum_kind = tag_checksum::low_16_bits;
            }
            offset += layout_.tag_size;
            if ((flags & flag_same_uuid) == 0) offset += uuid_size;
            if (offset > limit) {
                replay_.damage = "a tag of the journal runs past its descriptor block";
                return false;
            }
            if (number >= limits_.file_system_blocks) {
                replay_.damage = "the journal writes block " + std::to_string(number) + ", past the file system's end";
                return false;
            }
            version.file_system_block = number;
            version.journal_block = position;
            version.escaped = (flags & flag_escape) != 0;
            if (whole_transaction_sum) {
                if (!take(position, data_.data())) return false;
                transaction_crc_ = chained_crc32_be(transaction_crc_, data_.data(), block_size);
            } else if (!skip(position)) {
                return false;
            }
            // Kept at the replay's end until the commit block says whether the transaction stands.
            version.logged = static_cast<std::uint32_t>(replay_.blocks.size());
            replay_.blocks.push_back(version);
            if ((flags & flag_last_tag) != 0) break;
        }
        return true;
    }

    bool read_revoke() {
        const std::uint32_t block_size = limits_.block_size;
        if (!block_tail_intact(layout_, block_.data(), block_size)) {
            replay_.damage = "a revoke block of the journal fails its checksum";
            return false;
        }
        const std::uint32_t used = load_be32(block_.data() + header_size);
        if (used < header_size + 4 || used > block_size - layout_.tail_size) {
            replay_.damage = "a revoke block of the journal claims " + std::to_string(used) + " bytes";
            return false;
        }
        const std::uint32_t record_size = layout_.has(incompat_64bit) ? 8 : 4;
        for (std::uint32_t offset = header_size + 4; offset + record_size <= used; offset += record_size) {
            const unsigned char* record = block_.data() + offset;
            const std::uint64_t block = record_size == 8 ? load_be64(record) : load_be32(record);
            // A block past the file system's end has no version to hide.
            if (block >= limits_.file_system_blocks) continue;
            if (revoked_up_to_.size() + pending_revokes_.size() >= limits_.most_revoked_blocks) {
                replay_.damage = "the journal revokes more than " + std::to_string(limits_.most_revoked_blocks) + " blocks";
                return false;
            }
            pending_revokes_.push_back(block);
        }
        return true;
    }

    void keep_transaction() {
        const std::uint32_t transaction = replay_.transactions++;
        for (std::size_t i = committed_; i < replay_.blocks.size(); ++i) replay_.blocks[i].transaction = transaction;
        committed_ = replay_.blocks.size();
        for (const std::uint64_t block : pending_revokes_) revoked_up_to_[block] = transaction;
        pending_revokes_.clear();
        transaction_crc_ = ~0u;
    }

private:
    journal_blocks& journal_;
    const journal_limits& limits_;
    const journal_layout& layout_;
    journal_replay& replay_;
    std::vector<unsigned char> block_;
    std::vector<unsigned char> data_;
    std::uint64_t taken_ = 0;
    std::uint32_t transaction_crc_ = ~0u;
    std::size_t committed_ = 0;  // replay_.blocks past this belong to a transaction not yet committed
    std::vector<std::uint64_t> pending_revokes_;
    std::map<std::uint64_t, std::uint32_t> revoked_up_to_;
};

}  // namespace

bool walk_journal(journal_blocks& journal, const journal_limits& limits, journal_replay& replay,
                  std::string& error) {
    replay = journal_replay{};
    if (limits.block_size < superblock_size || limits.block_size > 65536 || limits.journal_blocks == 0) {
        error = "the journal has no room for its superblock";
        return false;
    }
    std::vector<unsigned char> block(limits.block_size);
    if (!journal.read(0, block.data(), error)) return false;
    journal_layout layout;
    if (!read_layout(block.data(), limits, layout, error)) return false;
    replay.checksum_seed = layout.seed;
    replay.fast_commit = layout.has(incompat_fast_commit);
    if (layout.start == 0) return true;  // nothing left to recover
    log_walk walk(journal, limits, layout, replay);
    walk.run();
    walk.finish();
    return true;
}

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
