// kovox and the stand-in tool over file systems as a crash leaves them: changes committed to the
// journal but not yet written in place. debugfs's own journal writer makes them, from the blocks
// in which an image differs from the same image after a change; e2fsck's recovery of a copy, walked
// with debugfs, is what the tool must list and copy out of the untouched image, which stays byte
// for byte as it was. A host program: the Windows builds run it too, against their own programs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string e2fsck_program = E2FSCK_PROGRAM;

void run_quietly(const std::string& command) {
    EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

void debugfs_write(const std::string& image, const std::string& script, const std::string& work) {
    write_file(work + "/script", script);
    run_quietly(debugfs_program + " -w -f '" + work + "/script' '" + image + "'");
}

// debugfs takes no quotes around a host path: the work folder's path holds no spaces.

// The numbers of the blocks in which `after` differs from `before` ("1,2,66"), their contents in
// `after` one after another written to `data_file`.
std::string changed_blocks(const std::string& before, const std::string& after, std::size_t block_size,
                           const std::string& data_file) {
    const std::string old_bytes = contents_of(before);
    const std::string new_bytes = contents_of(after);
    EXPECT_EQ(old_bytes.size(), new_bytes.size());
    std::string numbers;
    std::string data;
    for (std::size_t at = 0; at + block_size <= new_bytes.size(); at += block_size) {
        if (old_bytes.compare(at, block_size, new_bytes, at, block_size) == 0) continue;
        numbers += (numbers.empty() ? "" : ",") + std::to_string(at / block_size);
        data += new_bytes.substr(at, block_size);
    }
    write_file(data_file, data);
    return numbers;
}

std::string random_bytes(std::size_t size, std::uint32_t state) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// A file whose every 1 KiB starts with the journal's magic number: stored in the journal, each of
// its blocks is escaped.
std::string journal_lookalike() {
    std::string bytes = random_bytes(16384, 7);
    for (std::size_t at = 0; at < bytes.size(); at += 1024) bytes.replace(at, 4, "\xc0\x3b\x39\x98");
    return bytes;
}

// The first change, committed in every case, and a second one made after it, from the host files
// in `work`.
std::string first_change(const std::string& work) {
    return "mkdir /home\nmkdir /home/user\nwrite " + work + "/notes /home/user/notes.txt\nwrite " + work +
           "/photo /home/user/photo.jpg\nwrite " + work + "/lookalike /home/user/lookalike\n";
}
std::string second_change(const std::string& work) {
    return "mkdir /home/later\nwrite " + work + "/notes /home/later/second.txt\nwrite " + work +
           "/lookalike /home/user/lookalike-2\n";
}

enum class second_transaction { none, committed, uncommitted, revokes_a_photo_block };

struct journal_case {
    const char* name;
    unsigned block_size;
    const char* mke2fs_options;
    const char* journal_options;  // debugfs's journal_open
    second_transaction second;
    unsigned transactions;  // that recovery applies
};

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = fresh_folder("journal-" + std::to_string(getpid()));
        old_path_ = set_up_runs(work_, devices_, temp_);
        write_file(work_ + "/notes", random_bytes(3000, 1));
        write_file(work_ + "/photo", random_bytes(300000, 2));
        write_file(work_ + "/lookalike", journal_lookalike());
    }
    void TearDown() override {
        set_environment("PATH", old_path_);
        fs::remove_all(work_);
    }

    // An image whose journal holds the first change, committed and not yet written in place, and
    // then the case's second transaction.
    std::string crashed_image(const journal_case& c) {
        const std::string before = work_ + "/before.img", first = work_ + "/first.img", second = work_ + "/second.img";
        run_quietly(mke2fs_program + " -q -F -t ext4 -b " + std::to_string(c.block_size) + " " + c.mke2fs_options +
                    " '" + before + "' 16M");
        fs::copy_file(before, first, fs::copy_options::overwrite_existing);
        debugfs_write(first, first_change(work_), work_);
        fs::copy_file(first, second, fs::copy_options::overwrite_existing);
        debugfs_write(second, second_change(work_), work_);
        std::string script = std::string("jo ") + c.journal_options + "\n";
        script += "jw -b " + changed_blocks(before, first, c.block_size, work_ + "/first.data") + " " + work_ +
                  "/first.data\n";
        const std::string second_blocks = changed_blocks(first, second, c.block_size, work_ + "/second.data");
        if (c.second == second_transaction::committed) {
            script += "jw -b " + second_blocks + " " + work_ + "/second.data\n";
        } else if (c.second == second_transaction::uncommitted) {
            script += "jw -b " + second_blocks + " -c " + work_ + "/second.data\n";
        } else if (c.second == second_transaction::revokes_a_photo_block) {
            const std::vector<std::vector<std::string>> answer = ask_debugfs(first, {"bmap /home/user/photo.jpg 3"}, work_);
            EXPECT_EQ(answer.size(), 1u);
            if (answer.size() == 1 && answer[0].size() == 1) script += "jw -r " + answer[0][0] + " /dev/null\n";
        }
        debugfs_write(before, script + "jc\n", work_);
        return before;
    }

    void expect_served_as(const std::string& image, const std::string& oracle) {
        expect_image_served_as(image, oracle, work_, devices_);
    }

    std::string work_, devices_, temp_, old_path_;
};

TEST_F(Journal, ListsAndCopiesWhatRecoveryWouldLeave) {
    const journal_case cases[] = {
        {"1 KiB blocks", 1024, "", "", second_transaction::none, 1},
        {"4 KiB blocks", 4096, "", "", second_transaction::none, 1},
        {"32-bit block numbers", 1024, "-O ^64bit", "", second_transaction::committed, 2},
        {"checksums v3", 4096, "", "-c", second_transaction::committed, 2},
        {"checksums v2, 32-bit", 1024, "-O ^64bit", "-c -v 2", second_transaction::committed, 2},
        {"a revoke", 4096, "", "", second_transaction::revokes_a_photo_block, 2},
        {"a revoke, checksums", 1024, "", "-c", second_transaction::revokes_a_photo_block, 2},
        {"an uncommitted transaction", 1024, "", "", second_transaction::uncommitted, 1},
        {"an uncommitted transaction, checksums", 4096, "", "-c", second_transaction::uncommitted, 1},
    };
    for (const journal_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string crashed = crashed_image(c);
        const std::string recovered = work_ + "/recovered.img";
        fs::copy_file(crashed, recovered, fs::copy_options::overwrite_existing);
        run_quietly(e2fsck_program + " -fy '" + recovered + "'");
        // The oracle holds the change that the image holds only in its journal.
        const std::map<std::string, std::vector<image_entry>> listings = debugfs_listings(recovered, work_);
        EXPECT_EQ(listings.count("/home/user/"), 1u);
        EXPECT_EQ(debugfs_listings(crashed, work_).count("/home/user/"), 0u);
        EXPECT_EQ(listings.count("/home/later/"), c.second == second_transaction::committed ? 1u : 0u);
        expect_served_as(crashed, recovered);

        const tool_result tool = run_tool(temp_, {"-s/dev/hda1", "/home/user"});
        EXPECT_EQ(tool.status, 0);
        const std::string said = std::to_string(c.transactions) + " committed transaction";
        EXPECT_NE(tool.errors.find(said), std::string::npos) << tool.errors;
        EXPECT_EQ(std::count(tool.errors.begin(), tool.errors.end(), '\n'), 1) << tool.errors;
    }
}

std::uint32_t crc32_big_endian(std::uint32_t crc, const std::string& bytes) {
    for (const char byte : bytes) {
        crc ^= std::uint32_t{static_cast<unsigned char>(byte)} << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}

void put_be32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// The older checksum over a whole transaction, which debugfs does not write: its journal's one
// transaction (descriptor, data blocks, commit) summed here, the sum spoiled or not. Whether the
// sum is right, e2fsck's recovery decides.
TEST_F(Journal, OlderTransactionChecksumIsChecked) {
    for (const bool spoiled : {false, true}) {
        SCOPED_TRACE(spoiled ? "spoiled" : "intact");
        const std::string crashed = crashed_image({"", 1024, "", "", second_transaction::none, 1});
        std::string image = contents_of(crashed);
        const std::vector<std::vector<std::string>> answer = ask_debugfs(crashed, {"bmap <8> 0"}, work_);
        ASSERT_EQ(answer.size(), 1u);
        ASSERT_EQ(answer[0].size(), 1u);
        // mke2fs makes the journal one run of blocks. The first commit block is the first block
        // after the superblock with the magic and type 2: a data block holding the magic is stored
        // escaped.
        const std::size_t journal = std::stoul(answer[0][0]) * 1024;
        image[journal + 0x24 + 3] = static_cast<char>(image[journal + 0x24 + 3] | 1);
        std::size_t commit = journal + 1024;
        while (commit + 1024 <= image.size() && image.compare(commit, 8, std::string("\xc0\x3b\x39\x98\0\0\0\2", 8)) != 0) {
            commit += 1024;
        }
        ASSERT_LT(commit + 1024, image.size());
        std::uint32_t crc = ~0u;
        for (std::size_t block = journal + 1024; block < commit; block += 1024) {
            crc = crc32_big_endian(crc, image.substr(block, 1024));
        }
        image[commit + 12] = 1;  // a CRC-32
        image[commit + 13] = 4;
        put_be32(image, commit + 16, spoiled ? crc ^ 1 : crc);
        write_file(crashed, image);

        const std::string recovered = work_ + "/recovered.img";
        fs::copy_file(crashed, recovered, fs::copy_options::overwrite_existing);
        std::system((e2fsck_program + " -fy '" + recovered + "' >/dev/null 2>&1").c_str());
        EXPECT_EQ(debugfs_listings(recovered, work_).count("/home/user/"), spoiled ? 0u : 1u);
        expect_served_as(crashed, recovered);
    }
}

// A journal that cannot be used, or is not there, leaves the file system as the image holds it,
// with a message.
TEST_F(Journal, UnusableJournalListsTheImageAsItStands) {
    const struct {
        const char* name;
        const char* debugfs_script;  // run on the crashed image
        const char* said;
    } cases[] = {
        {"on another device", "ssv journal_dev 0x0801\n", "on another device"},
        {"superblock zeroed", "zap_block -f <8> 0\n", "cannot be used"},
        {"longer than its inode", "zap_block -f <8> -o 16 -l 4 -p 0x7f 0\n", "cannot be used"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string crashed = crashed_image({"", 1024, "", "", second_transaction::none, 1});
        debugfs_write(crashed, c.debugfs_script, work_);
        expect_served_as(crashed, crashed);
        const tool_result tool = run_tool(temp_, {"-s/dev/hda1", "/"});
        EXPECT_EQ(tool.status, 0);
        EXPECT_NE(tool.errors.find(c.said), std::string::npos) << tool.errors;
        EXPECT_NE(tool.errors.find("recent changes may be missing"), std::string::npos) << tool.errors;
    }
}

}  // namespace
}  // namespace whole_program
