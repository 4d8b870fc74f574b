// kovox and the stand-in tool over ext4 images whose primary superblock or group descriptors are
// destroyed. The oracle is e2fsck: its repair of a copy through the backup the tool must find, then
// a walk of the repaired copy with debugfs, is what kovox must list of the damaged image, which the
// tool must leave as it was, byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string e2fsck_program = E2FSCK_PROGRAM;

// A small system's folders, a folder spanning several directory blocks, files from empty to a few
// blocks, and a link; after mke2fs, debugfs adds a folder, which leaves the backups' group
// descriptors behind the primary ones, as a mounted system does.
void make_tree(const std::string& root) {
    tree_maker tree(root, 88172645u);
    for (const char* path : {"etc/default", "home/user/Documents", "usr/share/doc", "var/log", "empty"}) {
        tree.folder(path);
    }
    for (int i = 0; i < 400; ++i) {
        tree.file("usr/share/doc/entry with a long name " + std::to_string(i), tree.random_size(3000));
    }
    for (int i = 0; i < 30; ++i) tree.file("etc/conf-" + std::to_string(i), tree.random_size(9000));
    tree.file("home/user/Documents/letter.txt", 120);
    tree.file("var/log/big.log", 300000);
    tree.file("var/log/empty.log", 0);
    fs::create_symlink("../usr/share/doc", root + "/etc/docs");
    tree.set_times();
}

void write_zeros(const std::string& image, std::uint64_t offset, std::size_t count) {
    const std::string zeros(count, '\0');
    const int fd = open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << image;
    EXPECT_EQ(pwrite(fd, zeros.data(), count, static_cast<off_t>(offset)), static_cast<ssize_t>(count));
    close(fd);
}

// FNV-1a over the image's bytes, to tell that nothing wrote to it.
std::uint64_t image_digest(const std::string& image) {
    std::uint64_t digest = 14695981039346656037ull;
    const std::string bytes = contents_of(image);
    for (const char byte : bytes) digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
    return digest;
}

std::string sparse_copy(const std::string& from, const std::string& to) {
    EXPECT_EQ(std::system(("cp --sparse=always '" + from + "' '" + to + "'").c_str()), 0) << from;
    return to;
}

enum class damage { primary_superblock, group_descriptors, descriptors_and_first_backup_from_elsewhere };

struct damage_case {
    const char* name;
    unsigned block_size;
    const char* features;
    damage what;
    const char* size;
    std::uint64_t backup_used;  // the block e2fsck is told to repair from
};

// Names the case in test names and messages, rather than its bytes.
void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.name;
}

class DamagedSuperblocks : public ::testing::TestWithParam<damage_case> {
protected:
    static void SetUpTestSuite() {
        work_ = fresh_folder("ext-damage-" + std::to_string(getpid()));
        tree_ = work_ + "/tree";
        make_tree(tree_);
        write_file(work_ + "/note", "added after mke2fs\n");
        write_file(work_ + "/additions", "mkdir /added\nwrite " + work_ + "/note /added/note\n");
    }
    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override { old_path_ = set_up_runs(work_, devices_, temp_); }
    void TearDown() override { set_environment("PATH", old_path_); }

    // The image of the tree, made by mke2fs and then changed by debugfs.
    bool make_image(const damage_case& c, const std::string& image) {
        // Without dir_index: e2fsck indexes a folder of many blocks that has no index, and so
        // reorders it, which says nothing of the damage repaired.
        const std::string features = std::string(c.features) + ",^dir_index";
        return std::system((mke2fs_program + " -q -F -t ext4 -b " + std::to_string(c.block_size) + " -O " + features +
                            " -d '" + tree_ + "' '" + image + "' " + c.size + " >/dev/null 2>&1")
                               .c_str()) == 0 &&
               std::system((debugfs_program + " -w -f '" + work_ + "/additions' '" + image + "' >/dev/null 2>&1")
                               .c_str()) == 0;
    }

    static std::string work_, tree_;
    std::string devices_, temp_, old_path_;
};

std::string DamagedSuperblocks::work_, DamagedSuperblocks::tree_;

TEST_P(DamagedSuperblocks, ListWhatE2fsckRepairsThroughTheBackup) {
    const damage_case& c = GetParam();
    const std::string image = devices_ + "/hda1.img";
    ASSERT_TRUE(make_image(c, image));
    const std::uint64_t block = c.block_size;
    // With 1 KiB blocks the superblock is block 1, else the first 1024 bytes after the boot block of
    // block 0; the group descriptors follow in the next block.
    const std::uint64_t descriptors = c.block_size == 1024 ? 2 * block : block;
    switch (c.what) {
        case damage::primary_superblock:
            write_zeros(image, 1024, 1024);
            break;
        case damage::group_descriptors:
            write_zeros(image, descriptors, c.block_size);
            break;
        case damage::descriptors_and_first_backup_from_elsewhere: {
            write_zeros(image, descriptors, c.block_size);
            // Group 1's backup given another file system's UUID: it must be refused, not used.
            std::string uuid(16, '\x5a');
            const int fd = open(image.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(pwrite(fd, uuid.data(), uuid.size(), static_cast<off_t>(8193 * block + 104)), 16);
            close(fd);
            break;
        }
    }

    const std::string repaired = sparse_copy(image, work_ + "/repaired.img");
    const int repair = std::system((e2fsck_program + " -fy -b " + std::to_string(c.backup_used) + " -B " +
                                    std::to_string(c.block_size) + " '" + repaired + "' >/dev/null 2>&1")
                                       .c_str());
    ASSERT_TRUE(WIFEXITED(repair) && WEXITSTATUS(repair) <= 1) << "e2fsck could not repair the copy: " << repair;
    std::vector<std::string> walk;
    expected_walk(debugfs_listings(repaired, work_), "/", walk);
    const std::vector<std::string> expected = as_kovox_prints(walk, work_);
    ASSERT_GE(expected.size(), 440u);

    const std::uint64_t before = image_digest(image);
    const run_result result = run_in(binary_directory(), "kovox", {"hda1.img"});
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> listed;
    for (const std::string& line : lines_of(with_line_feeds(result.output))) {
        listed.push_back(comparable_kovox_line(line));
    }
    EXPECT_EQ(listed.size(), expected.size());
    const auto differ = std::mismatch(listed.begin(), listed.end(), expected.begin(), expected.end());
    if (differ.first != listed.end() || differ.second != expected.end()) {
        ADD_FAILURE() << "first difference at line " << (differ.first - listed.begin()) << ":\n  kovox:   "
                      << (differ.first != listed.end() ? *differ.first : "(end)")
                      << "\n  debugfs: " << (differ.second != expected.end() ? *differ.second : "(end)");
    }

    // The tool lists the root completely and says which backup it reads through, and which it refused.
    const tool_result tool = run_tool(work_, {"-s/dev/hda1", "/"});
    EXPECT_EQ(tool.status, 0) << tool.errors;
    EXPECT_NE(tool.output.find("\nDisk space: "), std::string::npos);
    const std::string used = "reading through the backup superblock at block " + std::to_string(c.backup_used) + " (";
    EXPECT_NE(tool.errors.find(used), std::string::npos) << tool.errors;
    const bool refuses = c.what == damage::descriptors_and_first_backup_from_elsewhere;
    const std::string refused = "ignoring the backup superblock at block 8193 (1024-byte blocks): it belongs to "
                                "another file system";
    EXPECT_EQ(tool.errors.find(refused) != std::string::npos, refuses) << tool.errors;
    EXPECT_EQ(image_digest(image), before);
}

// 1 KiB blocks: groups of 8 MiB, the first backup at block 8193; 4 KiB: 128 MiB, block 32768.
INSTANTIATE_TEST_SUITE_P(
    Images, DamagedSuperblocks,
    ::testing::Values(
        damage_case{"superblock_1k_csum", 1024, "metadata_csum", damage::primary_superblock, "20M", 8193},
        damage_case{"superblock_1k", 1024, "^metadata_csum", damage::primary_superblock, "20M", 8193},
        damage_case{"superblock_2k", 2048, "metadata_csum", damage::primary_superblock, "70M", 16384},
        damage_case{"superblock_4k_csum", 4096, "metadata_csum", damage::primary_superblock, "140M", 32768},
        damage_case{"superblock_4k", 4096, "^metadata_csum", damage::primary_superblock, "140M", 32768},
        damage_case{"descriptors_1k_csum", 1024, "metadata_csum", damage::group_descriptors, "20M", 8193},
        damage_case{"descriptors_1k", 1024, "^metadata_csum", damage::group_descriptors, "20M", 8193},
        damage_case{"descriptors_4k_csum", 4096, "metadata_csum", damage::group_descriptors, "140M", 32768},
        damage_case{"descriptors_4k", 4096, "^metadata_csum", damage::group_descriptors, "140M", 32768},
        // The copies of a meta group's descriptors lie in its second group and its last.
        damage_case{"descriptors_1k_meta_bg", 1024, "metadata_csum,meta_bg,^resize_inode", damage::group_descriptors,
                    "20M", 8193},
        damage_case{"foreign_first_backup_1k", 1024, "metadata_csum",
                    damage::descriptors_and_first_backup_from_elsewhere, "40M", 3 * 8192 + 1}),
    [](const ::testing::TestParamInfo<damage_case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace whole_program
