// The ext layer over images that mke2fs and debugfs make: where it looks for backup superblocks,
// against where dumpe2fs says mke2fs put them, and a damaged group descriptor, which must fail the
// reads of its own group and no others.
#include "ext/ext.h"
#include "ext/ext_open.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dirtool {
namespace {

namespace fs = std::filesystem;

std::string shell_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

class ExtOpen : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        work_ = (fs::temp_directory_path() / ("kovox-ext-open-" + name + "-" + std::to_string(getpid()))).string();
        fs::remove_all(work_);
        fs::create_directories(work_);
    }
    void TearDown() override { fs::remove_all(work_); }

    std::string make_image(const std::string& options, const std::string& size) {
        const std::string image = work_ + "/image";
        fs::remove(image);
        EXPECT_EQ(std::system((std::string(MKE2FS_PROGRAM) + " -q -F -t ext4 " + options + " '" + image + "' " + size +
                               " >/dev/null 2>&1")
                                  .c_str()),
                  0)
            << options;
        return image;
    }

    std::string work_;
};

std::vector<std::uint64_t> dumpe2fs_backups(const std::string& image) {
    std::vector<std::uint64_t> blocks;
    std::istringstream lines(shell_output(std::string(DUMPE2FS_PROGRAM) + " '" + image + "' 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        unsigned long long block = 0;
        if (std::sscanf(line.c_str(), " Backup superblock at %llu", &block) == 1) blocks.push_back(block);
    }
    return blocks;
}

TEST_F(ExtOpen, LooksForBackupsWhereMke2fsPutsThem) {
    const struct {
        const char* options;
        const char* size;
    } cases[] = {
        {"-b 1024", "40M"},                            // sparse_super: groups 1 and 3
        {"-b 4096 -g 1024", "200M"},                   // 50 groups: 1, 3, 5, 7, 9, 25, 27, 49
        {"-b 2048 -g 512 -O ^resize_inode", "300M"},   // 300 groups: powers of 3, 5 and 7 up to 243
        {"-b 1024 -g 1024 -O ^sparse_super,^resize_inode", "12M"},  // every group
        {"-b 4096 -g 1024 -O sparse_super2", "100M"},  // groups 1 and the last
        {"-b 1024 -O meta_bg,^resize_inode", "64M"},   // descriptors elsewhere, superblocks where they were
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string image = make_image(c.options, c.size);
        ext2_super_block primary;
        std::ifstream file(image, std::ios::binary);
        file.seekg(1024);
        file.read(reinterpret_cast<char*>(&primary), sizeof primary);
        ASSERT_TRUE(file);
        const std::vector<std::uint64_t> expected = dumpe2fs_backups(image);
        ASSERT_GE(expected.size(), 2u);
        std::vector<std::uint64_t> found;
        for (const ext::superblock_place& place : ext::backup_places(primary, fs::file_size(image))) {
            found.push_back(place.block);
        }
        EXPECT_EQ(found, expected);
    }
}

// Sixteen inodes a group: root's folders and /near's files lie in group 0, /far's twenty files run
// on through groups 1 and 2.
const char layout[] = "mkdir near\nwrite {note} near/a\nwrite {note} near/b\nmkdir far\n";

TEST_F(ExtOpen, DamagedDescriptorFailsOnlyTheReadsOfItsGroup) {
    const char* const features[] = {"metadata_csum", "^metadata_csum", "^metadata_csum,uninit_bg"};
    const std::string note = work_ + "/note";
    std::ofstream(note) << "x\n";
    std::string script = layout;
    script.replace(script.find("{note}"), 6, note);
    script.replace(script.find("{note}"), 6, note);
    for (int i = 1; i <= 20; ++i) script += "write " + note + " far/f" + std::to_string(i) + "\n";
    std::ofstream(work_ + "/script") << script;

    for (const char* feature : features) {
        SCOPED_TRACE(feature);
        const std::string image = make_image(std::string("-b 1024 -N 64 -O ") + feature, "32M");
        ASSERT_EQ(std::system((std::string(DEBUGFS_PROGRAM) + " -w -f '" + work_ + "/script' '" + image +
                               "' >/dev/null 2>&1")
                                  .c_str()),
                  0);
        // Group 2's descriptor, in the block after the superblock, overwritten with ones.
        const int fd = open(image.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string ones(32, '\xff');
        EXPECT_EQ(pwrite(fd, ones.data(), ones.size(), 2048 + 2 * 64), 32);
        close(fd);

        std::string error;
        auto disk = std::make_shared<image_reader>(open_disk_file(image, 0, error));
        std::unique_ptr<device> ext = open_ext_device(disk, "image", error);
        ASSERT_TRUE(ext) << error;
        const struct {
            std::vector<std::string> folder;
            outcome result;
            std::size_t entries;
        } listings[] = {
            {{}, outcome::done, 5},
            {{"near"}, outcome::done, 4},
            {{"far"}, outcome::failed, 2 + 17},
        };
        for (const auto& listing : listings) {
            std::vector<entry_info> entries;
            error.clear();
            EXPECT_EQ(ext->list(listing.folder, entries, error), listing.result) << error;
            EXPECT_EQ(entries.size(), listing.entries);
            if (listing.result == outcome::failed) {
                const std::string expected = "cannot read \"f18\" in /far: the descriptor of block group 2 ";
                EXPECT_NE(error.find(expected), std::string::npos) << error;
                EXPECT_NE(error.find("(and 2 more entries)"), std::string::npos) << error;
            }
        }
    }
}

}  // namespace
}  // namespace dirtool
