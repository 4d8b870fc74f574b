#include "ext/fast_commit.h"

#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace dirtool {
namespace {

constexpr std::uint32_t block_size = 1024;
constexpr std::uint32_t tid = 41;

class area_blocks final : public journal_blocks {
public:
    explicit area_blocks(std::vector<std::string> blocks) : blocks_(std::move(blocks)) {}
    bool read(std::uint64_t number, unsigned char* into, std::string& error) override {
        if (number >= blocks_.size()) {
            error = "no such block";
            return false;
        }
        std::memcpy(into, blocks_[static_cast<std::size_t>(number)].data(), block_size);
        return true;
    }

private:
    std::vector<std::string> blocks_;
};

std::string le(std::uint32_t value, std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(value >> (8 * i));
    return bytes;
}

std::string record(std::uint16_t tag, const std::string& value) {
    return le(tag, 2) + le(static_cast<std::uint32_t>(value.size()), 2) + value;
}

// Fast commits as the kernel writes them: a HEAD before the first, and each closed by a TAIL that
// runs to its block's end, with the CRC of its records (spoiled when `spoil` names it).
std::vector<std::string> area(const std::vector<std::vector<std::string>>& commits, std::uint32_t head_tid = tid,
                              int spoil = -1) {
    std::vector<std::string> blocks;
    std::string block = record(9, le(0, 4) + le(head_tid, 4));
    for (std::size_t i = 0; i < commits.size(); ++i) {
        for (const std::string& item : commits[i]) block += item;
        std::uint32_t crc = ~crc32c(block.data(), block.size(), ~0u);
        const auto tail_length = static_cast<std::uint32_t>(block_size - block.size() - 4);
        const std::string tail_start = le(8, 2) + le(tail_length, 2) + le(tid, 4);
        crc = ~crc32c(tail_start.data(), tail_start.size(), ~crc);
        block += tail_start + le(static_cast<int>(i) == spoil ? crc ^ 1 : crc, 4);
        block.resize(block_size, '\0');
        blocks.push_back(block);
        block.clear();
    }
    blocks.emplace_back(block_size, '\0');
    return blocks;
}

// Reads the blocks, and `past` more that the journal does not hold.
fast_commit_log read(std::vector<std::string> blocks, std::size_t most_changes = 1000, std::uint32_t past = 0) {
    area_blocks journal(blocks);
    fast_commit_bounds bounds;
    bounds.inodes = 64;
    bounds.blocks = 8192;
    bounds.first_data_block = 1;
    bounds.inode_size = 256;
    bounds.most_changes = most_changes;
    fast_commit_log log;
    read_fast_commits(journal, 0, static_cast<std::uint32_t>(blocks.size()) + past, block_size, tid, bounds, log);
    return log;
}

const std::string add_range = record(1, le(12, 4) + le(7, 4) + le(32768 + 5, 2) + le(0, 2) + le(300, 4));
const std::string inode = record(6, le(12, 4) + std::string(160, 'i'));
const std::string link = record(4, le(2, 4) + le(12, 4) + "name");

TEST(FastCommitArea, KeepsTheRecordsOfEachFastCommitThatPassesItsChecks) {
    const fast_commit_log log = read(area({{add_range, inode}, {link}}));
    EXPECT_EQ(log.commits, 2u);
    EXPECT_EQ(log.damage, "");
    ASSERT_EQ(log.changes.size(), 3u);
    EXPECT_EQ(log.commit_ends, (std::vector<std::size_t>{2, 3}));
    const fast_commit_change& range = log.changes[0];
    EXPECT_EQ(range.kind, fast_commit_kind::add_range);
    EXPECT_EQ(range.inode, 12u);
    EXPECT_EQ(range.logical, 7u);
    EXPECT_EQ(range.length, 5u);  // the extent's length past 32768 marks it unwritten
    EXPECT_TRUE(range.unwritten);
    EXPECT_EQ(range.physical, 300u);
    EXPECT_EQ(log.changes[1].bytes, std::string(160, 'i'));
    EXPECT_EQ(log.changes[2].parent, 2u);
    EXPECT_EQ(log.changes[2].bytes, "name");
}

TEST(FastCommitArea, EndsAtTheFirstFastCommitThatFails) {
    const struct {
        const char* name;
        std::vector<std::string> blocks;
        std::size_t most_changes;
        std::uint32_t past;
        std::uint32_t commits;
        const char* damage;
    } cases[] = {
        {"a HEAD of another transaction", area({{inode}}, tid + 1), 1000, 0, 0, ""},
        {"no HEAD first", {std::string(block_size, '\0')}, 1000, 0, 0, ""},
        {"the second CRC spoiled", area({{inode}, {link}}, tid, 1), 1000, 0, 1, "a fast commit fails its checksum"},
        {"more records than the bound", area({{inode}, {link, link}}), 2, 0, 1, "the fast commits hold more than 2 records"},
        {"a record of no known type", area({{inode}, {record(12, "")}}), 1000, 0, 1, "a fast-commit record of unknown type 12"},
        {"a link to inode 0", area({{record(4, le(2, 4) + le(0, 4) + "x")}}), 1000, 0, 0,
         "a fast commit's LINK record names inode 0, outside the file system"},
        {"an INODE shorter than an old inode", area({{record(6, le(12, 4) + std::string(100, 'i'))}}), 1000, 0, 0,
         "a fast commit's INODE record is 104 bytes long"},
        {"an area past the journal", {area({{inode}})[0]}, 1000, 1, 1, "cannot read the journal: no such block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fast_commit_log log = read(c.blocks, c.most_changes, c.past);
        EXPECT_EQ(log.commits, c.commits);
        EXPECT_EQ(log.changes.size(), c.commits);
        EXPECT_EQ(log.damage, c.damage);
    }
}

}  // namespace
}  // namespace dirtool
