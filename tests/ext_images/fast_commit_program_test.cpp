// kovox and the stand-in tool over ext4 file systems left by a crash with fast commits in their
// journals, after a full commit: images the kernel wrote (make_fast_commit_images.sh), kept
// compressed. e2fsck's recovery of a copy, walked with debugfs, is what the tool must list and copy
// out of the untouched image; damaged fast commits must end the replay with one message.
#include <gtest/gtest.h>

#include <algorithm>
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
const std::string xz_program = XZ_PROGRAM;
const std::string image_folder = FAST_COMMIT_IMAGES;

// The size debugfs lists for `path` (as "/dir/name"), or -1 when it lists no such entry.
long long listed_size(const std::map<std::string, std::vector<image_entry>>& listings, const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const auto folder = listings.find(path.substr(0, slash + 1));
    if (folder == listings.end()) return -1;
    for (const image_entry& entry : folder->second) {
        if (entry.name == path.substr(slash + 1)) return static_cast<long long>(entry.size);
    }
    return -1;
}

std::uint32_t load_le(const std::string& bytes, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void store_le(std::string& bytes, std::size_t at, std::uint32_t value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t crc32c_raw(std::uint32_t crc, const std::string& bytes) {
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0x82f63b78u : crc >> 1;
    }
    return crc;
}

// The records of the image's fast-commit area, from its HEAD (found at a block's start) to the
// first zero tag: where each starts, by tag.
struct fast_commit_area {
    std::vector<std::pair<std::uint16_t, std::size_t>> records;

    fast_commit_area(const std::string& image, std::size_t block_size) {
        std::size_t head = 0;
        for (std::size_t at = 0; at + block_size <= image.size() && head == 0; at += block_size) {
            if (load_le(image, at, 2) == 9 && load_le(image, at + 2, 2) == 8) head = at;
        }
        EXPECT_NE(head, 0u) << "no fast-commit HEAD in the image";
        for (std::size_t block = head; head != 0 && block + block_size <= image.size(); block += block_size) {
            std::size_t at = block;
            while (at + 4 <= block + block_size && load_le(image, at, 2) != 0) {
                records.emplace_back(static_cast<std::uint16_t>(load_le(image, at, 2)), at);
                at += 4 + load_le(image, at + 2, 2);
            }
            if (at + 4 <= block + block_size) break;
        }
    }

    // The `n`-th record of tag `tag`, from 0.
    std::size_t at(std::uint16_t tag, std::size_t n = 0) const {
        for (const auto& [found, offset] : records) {
            if (found == tag && n-- == 0) return offset;
        }
        ADD_FAILURE() << "no record " << tag;
        return 0;
    }

    // Makes the first fast commit's CRC right again after its records were changed.
    void seal_first(std::string& image) const {
        std::uint32_t crc = 0;
        for (const auto& [tag, offset] : records) {
            const std::size_t length = tag == 8 ? 8 : 4 + load_le(image, offset + 2, 2);
            crc = crc32c_raw(crc, image.substr(offset, length));
            if (tag == 8) {
                store_le(image, offset + 8, crc, 4);
                return;
            }
        }
    }
};

class FastCommit : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = fresh_folder("fast-commit-" + std::to_string(getpid()));
        old_path_ = set_up_runs(work_, devices_, temp_);
    }
    void TearDown() override {
        set_environment("PATH", old_path_);
        fs::remove_all(work_);
    }

    std::string unpacked(const std::string& name) {
        const std::string image = work_ + "/" + name + ".img";
        const std::string command = xz_program + " -dc '" + image_folder + "/" + name + ".img.xz' >'" + image + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return image;
    }

    // A copy of `image` recovered by e2fsck.
    std::string recovered_by_e2fsck(const std::string& image) {
        const std::string recovered = image + ".recovered";
        fs::copy_file(image, recovered, fs::copy_options::overwrite_existing);
        // Exit status 1: errors corrected, as recovery leaves counts for e2fsck to mend.
        const int status = std::system((e2fsck_program + " -fy '" + recovered + "' >/dev/null 2>&1").c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "e2fsck failed on " << image;
        // e2fsck's replay of an UNLINK leaves the inode's link count, and its check then finds the
        // inode in no directory and links it into lost+found as "#N": a repair of its own, after
        // the replay, which the kernel's replay (dropping the last link deletes the inode) never
        // needs. The images' lost+found is empty otherwise.
        const auto listings = debugfs_listings(recovered, work_);
        const auto found = listings.find("/lost+found/");
        for (const image_entry& entry : found != listings.end() ? found->second : std::vector<image_entry>{}) {
            if (entry.name[0] != '#') continue;
            const std::string remove = debugfs_program + " -w -R 'rm /lost+found/" + entry.name + "' '" + recovered + "'";
            EXPECT_EQ(std::system((remove + " >/dev/null 2>&1").c_str()), 0) << remove;
        }
        return recovered;
    }

    // A copy of `image` whose fast-commit area starts with no HEAD, which recovery reads as none.
    std::string without_fast_commits(const std::string& image, std::size_t block_size) {
        std::string bytes = contents_of(image);
        const fast_commit_area area(bytes, block_size);
        store_le(bytes, area.at(9), 0, 2);
        const std::string copy = work_ + "/without-fast-commits.img";
        write_file(copy, bytes);
        return copy;
    }

    tool_result run_on(const std::string& image) {
        fs::copy_file(image, devices_ + "/hda1.img", fs::copy_options::overwrite_existing);
        return run_tool(temp_, {"-s/dev/hda1", "/"});
    }

    std::string work_, devices_, temp_, old_path_;
};

TEST_F(FastCommit, ListsAndCopiesWhatRecoveryWouldLeave) {
    const struct {
        const char* image;
        std::size_t block_size;
        const char* path;          // what the fast commits changed
        long long size_recovered;  // its size after recovery, -1 for no such entry
        long long size_before;     // and after the full commit alone
        const char* said;
    } cases[] = {
        {"created-1024", 1024, "/dir/two", 15000, -1, "1 committed transaction and 3 fast commits applied"},
        {"created-4096", 4096, "/three", 12000, -1, "1 committed transaction and 3 fast commits applied"},
        {"grown-1024", 1024, "/dir/log", 28893, 8893, "and 1 fast commit applied"},
        {"grown-4096", 4096, "/dir/log", 28893, 8893, "and 1 fast commit applied"},
        {"removed-1024", 1024, "/dir/b", -1, 1200, "and 1 fast commit applied"},
        {"removed-4096", 4096, "/dir/b", -1, 1200, "and 1 fast commit applied"},
        {"linked-1024", 1024, "/other/link-to-a", 2692, -1, "and 1 fast commit applied"},
        {"linked-4096", 4096, "/other/link-to-a", 2692, -1, "and 1 fast commit applied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string crashed = unpacked(c.image);
        const std::string recovered = recovered_by_e2fsck(crashed);
        // The change is in the oracle, and only the fast commits make it.
        EXPECT_EQ(listed_size(debugfs_listings(recovered, work_), c.path), c.size_recovered);
        const std::string full_commit_only = recovered_by_e2fsck(without_fast_commits(crashed, c.block_size));
        EXPECT_EQ(listed_size(debugfs_listings(full_commit_only, work_), c.path), c.size_before);
        expect_image_served_as(crashed, recovered_by_e2fsck(crashed), work_, devices_);

        const tool_result tool = run_on(crashed);
        EXPECT_EQ(tool.status, 0);
        EXPECT_NE(tool.errors.find(c.said), std::string::npos) << tool.errors;
        EXPECT_EQ(std::count(tool.errors.begin(), tool.errors.end(), '\n'), 1) << tool.errors;
    }
}

// A folder that a fast commit made, with a file in it: fast commits log no directory blocks, so the
// replay makes its first block. e2fsck 1.47's replay loses such a folder; the kernel's, kept when
// the image was made, is the oracle.
TEST_F(FastCommit, FolderMadeByAFastCommitHoldsItsFiles) {
    for (const char* name : {"folder-1024", "folder-4096"}) {
        SCOPED_TRACE(name);
        const std::string crashed = unpacked(name);
        const std::string by_kernel = unpacked(std::string(name) + ".kernel");
        EXPECT_EQ(listed_size(debugfs_listings(by_kernel, work_), "/dir/new/f"), 1892);
        expect_image_served_as(crashed, by_kernel, work_, devices_);
        const tool_result tool = run_on(crashed);
        EXPECT_NE(tool.errors.find("and 1 fast commit applied"), std::string::npos) << tool.errors;
    }
}

// The first of three fast commits damaged: the replay stops before it, with one message, and the
// file system is as the full commit left it. Where e2fsck reads the damage too, its recovery is the
// oracle; the others change a record and make the CRC right again, so that only the tool's own
// checks of the record stand between it and a write outside the file system.
TEST_F(FastCommit, DamagedFastCommitsEndTheReplayWithOneMessage) {
    const struct {
        const char* name;
        void (*damage)(std::string& image, const fast_commit_area& area);
        bool resealed;
        const char* said;
        unsigned applied;
    } cases[] = {
        {"a TAIL's CRC", [](std::string& image, const fast_commit_area& area) { image[area.at(8, 1) + 8] ^= 1; },
         false, "and 1 fast commit applied", 1},
        {"a TAIL of another transaction",
         [](std::string& image, const fast_commit_area& area) { store_le(image, area.at(8) + 4, 7, 4); }, false,
         "and 0 fast commits applied in memory, the image left unchanged\n", 0},
        {"a record past its block",
         [](std::string& image, const fast_commit_area& area) { store_le(image, area.at(6) + 2, 0xfff0, 2); }, false,
         "a fast-commit record runs past its block", 0},
        {"blocks past the file system's end",
         [](std::string& image, const fast_commit_area& area) { store_le(image, area.at(1) + 16, 8192, 4); }, true,
         "maps blocks outside the file system", 0},
        {"a range past a file's last block",
         [](std::string& image, const fast_commit_area& area) {
             store_le(image, area.at(1) + 8, 0xffffffff, 4);
             store_le(image, area.at(1) + 12, 2, 2);
         },
         true, "past a file's last possible block", 0},
        {"an inode past the last",
         [](std::string& image, const fast_commit_area& area) { store_le(image, area.at(3) + 8, 0x7fffffff, 4); },
         true, "names inode 2147483647, outside the file system", 0},
        {"a name with a slash",
         [](std::string& image, const fast_commit_area& area) { image[area.at(3) + 12] = '/'; }, true,
         "names an entry no directory may hold", 0},
        {"a HEAD with unknown features",
         [](std::string& image, const fast_commit_area& area) { store_le(image, area.at(9) + 4, 0x80, 4); }, true,
         "uses features this tool does not know", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string crashed = unpacked("created-1024");
        std::string bytes = contents_of(crashed);
        const fast_commit_area area(bytes, 1024);
        c.damage(bytes, area);
        if (c.resealed) area.seal_first(bytes);
        write_file(crashed, bytes);

        const tool_result tool = run_on(crashed);
        EXPECT_EQ(tool.status, 0);
        // The Windows tool ends its lines with CR LF.
        std::string said = tool.errors;
        said.erase(std::remove(said.begin(), said.end(), '\r'), said.end());
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_NE(said.find("and " + std::to_string(c.applied) + " fast commit"), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        // Where a fast commit was applied, e2fsck reads the same damage; otherwise the full commit
        // alone is what recovery leaves.
        const std::string oracle = c.applied > 0 ? crashed : without_fast_commits(crashed, 1024);
        expect_image_served_as(crashed, recovered_by_e2fsck(oracle), work_, devices_);
    }
}

}  // namespace
}  // namespace whole_program
