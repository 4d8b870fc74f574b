// The walk of a journal's log, from its start to where recovery stops.
#include "ext/journal.h"

#include "base/bytes.h"
#include "ext/journal_format.h"

#include <algorithm>
#include <map>

namespace dirtool {
namespace {

using namespace journal_format;

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
        replay_.next_sequence = sequence;
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
                replay_.next_sequence = ++sequence;
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
    if (layout.start == 0) return true;  // nothing left to recover, fast commits included
    replay.fast_commit = layout.has(incompat_fast_commit);
    replay.fast_commit_first = layout.fast_commit_first;
    replay.fast_commit_end = layout.fast_commit_end;
    log_walk walk(journal, limits, layout, replay);
    walk.run();
    walk.finish();
    return true;
}

}  // namespace dirtool
