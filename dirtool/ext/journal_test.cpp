// The journal walk over journals laid out here block by block: what it replays, and where damage
// stops it.
#include "ext/journal.h"

#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace dirtool {
namespace {

constexpr std::uint32_t block_size = 1024;
constexpr std::uint32_t journal_length = 64;
constexpr std::uint64_t file_system_blocks = 1000;
constexpr std::uint32_t incompat_64bit = 0x2, incompat_csum_v3 = 0x10;
constexpr std::uint32_t last_tag = 0x8, same_uuid = 0x2;

struct tag {
    std::uint64_t block;
    std::uint32_t flags;
};

class memory_journal final : public journal_blocks {
public:
    explicit memory_journal(std::uint32_t incompat = 0) : incompat_(incompat), bytes_(journal_length * block_size) {
        put(0, 0, 0xc03b3998u);
        put(0, 4, 4);  // a version 2 superblock
        put(0, 0x0c, block_size);
        put(0, 0x10, journal_length);
        put(0, 0x14, 1);   // the log's first block
        put(0, 0x18, 7);   // the sequence it starts with
        put(0, 0x1c, 1);   // where it starts
        put(0, 0x28, incompat);
        bytes_[0x50] = 4;  // crc32c
    }

    bool read(std::uint64_t number, unsigned char* into, std::string& error) override {
        if (number >= journal_length) {
            error = "past the journal";
            return false;
        }
        std::memcpy(into, bytes_.data() + number * block_size, block_size);
        return true;
    }

    void put(std::uint32_t block, std::uint32_t offset, std::uint32_t value) {
        for (std::uint32_t i = 0; i < 4; ++i) bytes_[block * block_size + offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    }
    void header(std::uint32_t block, std::uint32_t type, std::uint32_t sequence) {
        put(block, 0, 0xc03b3998u);
        put(block, 4, type);
        put(block, 8, sequence);
    }
    // Tags of 8 bytes, 12 with 64-bit numbers, 16 with checksums v3; the last gets the last-tag flag.
    void descriptor(std::uint32_t block, std::uint32_t sequence, const std::vector<tag>& tags) {
        header(block, 1, sequence);
        std::uint32_t offset = 12;
        const bool v3 = (incompat_ & incompat_csum_v3) != 0;
        const bool wide = (incompat_ & incompat_64bit) != 0;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            const std::uint32_t flags = tags[i].flags | (i + 1 == tags.size() ? last_tag : 0);
            put(block, offset, static_cast<std::uint32_t>(tags[i].block));
            if (v3) {
                put(block, offset + 4, flags);
            } else {
                put(block, offset + 4, flags & 0xffffu);  // a 16-bit checksum, then 16-bit flags
            }
            if (wide) put(block, offset + 8, static_cast<std::uint32_t>(tags[i].block >> 32));
            offset += v3 ? 16 : wide ? 12 : 8;
            if ((flags & same_uuid) == 0) offset += 16;
        }
    }
    void commit(std::uint32_t block, std::uint32_t sequence) { header(block, 2, sequence); }
    void revoke(std::uint32_t block, std::uint32_t sequence, const std::vector<std::uint32_t>& blocks) {
        header(block, 5, sequence);
        put(block, 12, static_cast<std::uint32_t>(16 + 4 * blocks.size()));
        for (std::size_t i = 0; i < blocks.size(); ++i) put(block, static_cast<std::uint32_t>(16 + 4 * i), blocks[i]);
    }
    // The checksums v3 asks for: the superblock's, each descriptor's and each commit block's.
    void seal(const std::vector<std::uint32_t>& descriptors, const std::vector<std::uint32_t>& commits) {
        const std::uint32_t seed = ~crc32c(bytes_.data() + 0x30, 16, 0);
        for (const std::uint32_t block : descriptors) {
            put(block, block_size - 4, 0);
            put(block, block_size - 4, ~crc32c(bytes_.data() + block * block_size, block_size, ~seed));
        }
        for (const std::uint32_t block : commits) {
            put(block, 16, 0);
            put(block, 16, ~crc32c(bytes_.data() + block * block_size, block_size, ~seed));
        }
        put(0, 0xfc, 0);
        put(0, 0xfc, ~crc32c(bytes_.data(), 1024, 0));
    }

private:
    std::uint32_t incompat_;
    std::vector<unsigned char> bytes_;
};

struct walked {
    bool usable = false;
    journal_replay replay;
    std::string error;
};

walked walk(memory_journal& journal, std::uint64_t journal_blocks = journal_length,
            std::uint64_t file_system_size = file_system_blocks) {
    walked result;
    journal_limits limits{journal_blocks, block_size, file_system_size};
    limits.most_revoked_blocks = 4096;
    result.usable = walk_journal(journal, limits, result.replay, result.error);
    return result;
}

// File-system block and journal block of each version, in the replay's order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> versions(const journal_replay& replay) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
    for (const journaled_block& version : replay.blocks) pairs.emplace_back(version.file_system_block, version.journal_block);
    return pairs;
}

TEST(JournalWalk, ReplaysCommittedVersionsNewestFirst) {
    using layout = std::function<void(memory_journal&)>;
    const struct {
        const char* name;
        std::uint32_t incompat;
        layout lay_out;
        std::uint32_t transactions;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> versions;
    } cases[] = {
        {"one transaction", 0,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, same_uuid}, {60, same_uuid}});
             j.commit(4, 7);
         },
         1, {{50, 2}, {60, 3}}},
        {"a later transaction's version first, an uncommitted one left out", 0,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, 0}});
             j.commit(3, 7);
             j.descriptor(4, 8, {{50, same_uuid}, {70, same_uuid}});
             j.commit(7, 8);
             j.descriptor(8, 9, {{80, same_uuid}});
         },
         2, {{50, 5}, {50, 2}, {70, 6}}},
        {"of one block tagged twice in a transaction, the later version first", 0,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, same_uuid}, {50, same_uuid}});
             j.commit(4, 7);
         },
         1, {{50, 3}, {50, 2}}},
        {"a revoke hides the block's versions up to its own transaction", 0,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, same_uuid}, {60, same_uuid}});
             j.commit(4, 7);
             j.revoke(5, 8, {50});
             j.commit(6, 8);
             j.descriptor(7, 9, {{50, same_uuid}});
             j.commit(9, 9);
         },
         3, {{50, 8}, {60, 3}}},
        {"a revoke in an uncommitted transaction is not applied", 0,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, same_uuid}});
             j.commit(3, 7);
             j.revoke(4, 8, {50});
         },
         1, {{50, 2}}},
        {"the log wraps at the journal's end", incompat_64bit,
         [](memory_journal& j) {
             j.put(0, 0x1c, 62);
             j.descriptor(62, 7, {{(std::uint64_t{1} << 32) + 5, same_uuid}, {61, same_uuid}});
             j.commit(2, 7);
         },
         1, {{61, 1}, {(std::uint64_t{1} << 32) + 5, 63}}},
        {"a whole-transaction checksum left empty passes", 0,
         [](memory_journal& j) {
             j.put(0, 0x24, 1);
             j.descriptor(1, 7, {{50, same_uuid}});
             j.commit(3, 7);
         },
         1, {{50, 2}}},
        {"a clean journal has nothing to replay", 0,
         [](memory_journal& j) {
             j.put(0, 0x1c, 0);
             j.descriptor(1, 7, {{50, same_uuid}});
             j.commit(3, 7);
         },
         0, {}},
        {"commit checksums checked", incompat_csum_v3,
         [](memory_journal& j) {
             j.descriptor(1, 7, {{50, same_uuid}});
             j.commit(3, 7);
             j.descriptor(4, 8, {{60, same_uuid}});
             j.commit(6, 8);
             j.seal({1, 4}, {3, 6});
             j.put(6, 40, 1);  // spoils the second commit
         },
         1, {{50, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        memory_journal journal(c.incompat);
        c.lay_out(journal);
        const walked result = walk(journal, journal_length, std::uint64_t{1} << 33);
        ASSERT_TRUE(result.usable) << result.error;
        EXPECT_EQ(result.replay.damage, "");
        EXPECT_EQ(result.replay.transactions, c.transactions);
        EXPECT_EQ(versions(result.replay), c.versions);
    }
}

TEST(JournalWalk, DamageStopsTheWalkAfterWhatWasCommitted) {
    const struct {
        const char* name;
        std::function<void(memory_journal&)> spoil;
        std::uint64_t journal_blocks;
        bool usable;
        std::uint32_t transactions;
    } cases[] = {
        {"a tag's uuid past its block", [](memory_journal& j) {
             // 8-byte tags, each but the first followed by a uuid: the 43rd tag ends 12 bytes
             // before the block's end, and its uuid would run past it.
             std::vector<tag> tags(43, tag{90, 0});
             tags.front().flags = same_uuid;
             j.descriptor(4, 8, tags);
         }, journal_length, true, 1},
        {"a block past the file system", [](memory_journal& j) { j.descriptor(4, 8, {{file_system_blocks, same_uuid}}); },
         journal_length, true, 1},
        {"a revoke block of absurd length", [](memory_journal& j) {
             j.revoke(4, 8, {50});
             j.put(4, 12, 0xffffffffu);
         }, journal_length, true, 1},
        {"revoke blocks of more records than any transaction revokes", [](memory_journal& j) {
             std::vector<std::uint32_t> records(252);  // as many as a block holds
             for (std::uint32_t block = 4; block < journal_length; ++block) {
                 for (std::uint32_t i = 0; i < records.size(); ++i) records[i] = i;
                 j.revoke(block, 8, records);
             }
         }, journal_length, true, 1},
        {"descriptors of one sequence all around the log", [](memory_journal& j) {
             for (std::uint32_t block = 1; block < journal_length; ++block) j.descriptor(block, 7, {{90, same_uuid}});
         }, journal_length, true, 0},
        {"a journal longer than its file", [](memory_journal&) {}, journal_length - 1, false, 0},
        {"a log that starts past the journal", [](memory_journal& j) { j.put(0, 0x1c, journal_length); },
         journal_length, false, 0},
        {"a block size not the file system's", [](memory_journal& j) { j.put(0, 0x0c, 4096); }, journal_length, false, 0},
        {"an unknown feature", [](memory_journal& j) { j.put(0, 0x28, 0x80); }, journal_length, false, 0},
        {"a superblock failing its checksum", [](memory_journal& j) { j.put(0, 0x28, incompat_csum_v3); },
         journal_length, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        memory_journal journal;
        journal.descriptor(1, 7, {{50, same_uuid}});
        journal.commit(3, 7);
        c.spoil(journal);
        const walked result = walk(journal, c.journal_blocks);
        EXPECT_EQ(result.usable, c.usable) << result.error;
        EXPECT_EQ(result.error.empty(), c.usable) << result.error;
        EXPECT_EQ(result.replay.damage.empty(), !c.usable) << result.replay.damage;
        EXPECT_EQ(result.replay.transactions, c.transactions);
        EXPECT_EQ(versions(result.replay).size(), c.transactions);
    }
}

}  // namespace
}  // namespace dirtool
