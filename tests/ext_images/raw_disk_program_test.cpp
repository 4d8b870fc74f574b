// kovox and the stand-in tool over the PC's own disk. Under Wine a drive of the test's own Wine
// prefix, mapped onto a whole-disk image that sfdisk partitions, is a raw disk, and KOVO_DISK0 names
// it: `kovox.exe HDA1.IMG`, with nothing of that name in the devices folder, must list exactly what
// the Linux build lists for partition 1 of the same image, and copy its files out byte for byte.
// The Linux build has no PC disks: there the same names find nothing.
//
// RawDisk runs against the Windows build only (the Windows builds register it); LinuxBuild runs
// against the build the test program belongs to (the host build registers it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"
#include "sfdisk_report.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string sfdisk_program = SFDISK_PROGRAM;
const char raw_disk_path[] = "\\\\.\\X:";

// The folder of this test program, where the Linux build's kovox and tool are in either mode.
std::string host_programs() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    return self.substr(0, self.rfind('/'));
}

// A whole disk of two ext4 partitions with trees of their own, one of 4 KiB blocks and one of 1 KiB.
struct test_disk {
    std::string work;
    std::string image;                  // hda.img, alone in a devices folder of its own
    std::vector<std::string> trees;     // what each partition was made from, by number from 1
    std::vector<std::string> files;     // regular files to copy out, relative to their partition
};

void make_tree(const std::string& root, std::uint32_t seed) {
    tree_maker tree(root, seed);
    for (const char* folder : {"etc", "usr/share/doc", "home/user/My Documents"}) tree.folder(folder);
    for (int i = 0; i < 40; ++i) tree.file("etc/file-" + std::to_string(i) + ".conf", tree.random_size(9000));
    for (int i = 0; i < 10; ++i) tree.file("usr/share/doc/doc " + std::to_string(i), tree.random_size(70000));
    tree.file("usr/big.bin", 1024 * 1024 + 3);
    tree.file("home/user/My Documents/caf\xc3\xa9.txt", 33);
    tree.sparse("home/user/sparse", 5 * 1024 * 1024 + 1);
    fs::create_symlink("../etc", root + "/usr/etc");
    tree.set_times();
}

bool make_disk(test_disk& disk) {
    disk.work = fresh_folder("raw-disk-" + std::to_string(getpid()));
    fs::create_directories(disk.work + "/linux-devices");
    disk.image = disk.work + "/linux-devices/hda.img";
    std::ofstream(disk.image).close();
    fs::resize_file(disk.image, 48 * 1024 * 1024);
    write_file(disk.work + "/script", "label: dos\nstart=2048, size=20MiB, type=83\nsize=24MiB, type=83\n");
    if (std::system((sfdisk_program + " -q '" + disk.image + "' < '" + disk.work + "/script' >/dev/null 2>&1").c_str()) != 0) {
        ADD_FAILURE() << "sfdisk failed";
        return false;
    }
    const std::vector<sfdisk_report::reported_partition> places = sfdisk_report::partitions_of(sfdisk_program, disk.image);
    if (places.size() != 2) {
        ADD_FAILURE() << "sfdisk made " << places.size() << " partitions";
        return false;
    }
    const char* const block_sizes[] = {"4096", "1024"};
    for (std::size_t i = 0; i < places.size(); ++i) {
        const std::string tree = disk.work + "/tree-" + std::to_string(i + 1);
        make_tree(tree, static_cast<std::uint32_t>(i + 7) * 2654435761u);
        disk.trees.push_back(tree);
        const std::string command = mke2fs_program + " -q -F -t ext4 -b " + block_sizes[i] + " -E offset=" +
                                    std::to_string(places[i].start_sector * 512) + " -d '" + tree + "' '" +
                                    disk.image + "' " + std::to_string(places[i].sectors / 2) + "k >/dev/null 2>&1";
        if (::testing::Test::HasFailure() || std::system(command.c_str()) != 0) {
            ADD_FAILURE() << command;
            return false;
        }
    }
    disk.files = {"usr/big.bin", "home/user/sparse", "etc/file-0.conf", "etc/file-17.conf", "usr/share/doc/doc 3"};
    return true;
}

class DiskTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() {
        if (!disk_.work.empty()) fs::remove_all(disk_.work);
    }

    void SetUp() override {
        static const bool made = make_disk(disk_);
        ASSERT_TRUE(made);
        old_path_ = set_up_runs(disk_.work, devices_, temp_);
    }
    void TearDown() override {
        set_environment("PATH", old_path_);
        set_environment("KOVO_DISK0", "");
        set_environment("KOVO_DISK1", "");
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        return with_line_feeds(result.output);
    }

    // What the Linux build's kovox lists for `archive` with hda.img in its devices folder.
    static std::string linux_listing(const std::string& archive) {
        const std::string host = host_programs();
        return shell_output("cd '" + disk_.work + "' && PATH='" + host + "':/usr/bin:/bin KOVO_DEVICES='" + disk_.work +
                            "/linux-devices' '" + host + "/kovox' '" + archive + "'");
    }

    static test_disk disk_;
    std::string devices_, temp_, old_path_;
};

test_disk DiskTest::disk_;

// The Windows build, reading the disk raw through the drive X: of its Wine prefix.
class RawDisk : public DiskTest {
protected:
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove(drive_, ignored);
        DiskTest::TearDownTestSuite();
    }

    void SetUp() override {
        const char* const prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(on_windows() && prefix != nullptr) << "this suite tests the Windows build under Wine";
        DiskTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        if (drive_.empty()) {
            drive_ = std::string(prefix) + "/dosdevices/x::";
            std::error_code ignored;
            fs::remove(drive_, ignored);  // left by a run that did not end
            fs::create_symlink(disk_.image, drive_);
        }
        set_environment("KOVO_DISK0", raw_disk_path);
    }

    static std::string drive_;
};

std::string RawDisk::drive_;

// Each partition, by its name and by the disk's, and the whole disk list what the Linux build lists
// for the image; the letter numbers the disk.
TEST_F(RawDisk, ListsWhatTheLinuxBuildListsForTheImage) {
    const struct {
        const char* archive;
        const char* linux_archive;
        const char* setting;
    } cases[] = {
        {"HDA1.IMG", "hda1.img", "KOVO_DISK0"}, {"HDA2.IMG", "hda2.img", "KOVO_DISK0"},
        {"hda.img", "hda.img", "KOVO_DISK0"},   {"SDB1.IMG", "hda1.img", "KOVO_DISK1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        set_environment("KOVO_DISK0", "");
        set_environment(c.setting, raw_disk_path);
        const std::string expected = linux_listing(c.linux_archive);
        EXPECT_GT(lines_of(expected).size(), 50u);
        EXPECT_EQ(kovox_listing(c.archive), as_kovox_prints(expected, disk_.work));
        set_environment(c.setting, "");
    }
}

TEST_F(RawDisk, CopiesFilesOutByteForByte) {
    const std::string here = disk_.work + "/here";
    for (const std::string partition : {"1", "2"}) {
        for (const std::string& file : disk_.files) {
            SCOPED_TRACE("partition " + partition + ": " + file);
            fs::remove_all(here);
            fs::create_directories(here);
            EXPECT_EQ(run_in(here, "kovox", {"-READ", "HDA" + partition + ".IMG", "/" + file}).status, 0);
            const std::string copied = copied_file(here, file);
            ASSERT_TRUE(fs::exists(copied));
            EXPECT_TRUE(contents_of(copied) == contents_of(disk_.trees[std::stoul(partition) - 1] + "/" + file));
        }
    }
}

// An image or a folder of the name in the devices folder comes before the PC's disk, and so does a
// whole-disk image there that holds the partition.
TEST_F(RawDisk, WhatTheDevicesFolderHoldsComesFirst) {
    fs::create_directories(devices_ + "/hda2");
    write_file(devices_ + "/hda2/only-in-the-folder", "x");
    const std::vector<std::string> lines = lines_of(kovox_listing("HDA2.IMG"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(45), " only-in-the-folder");
    fs::copy_file(disk_.image, devices_ + "/sda.img");
    set_environment("KOVO_DISK0", "\\\\.\\Y:");
    EXPECT_EQ(kovox_listing("SDA2.IMG"), as_kovox_prints(linux_listing("hda2.img"), disk_.work));
}

// A disk that cannot be opened is a device that is not there: the tool's "Can't find" line, and
// on standard error one line that names the disk and says why.
TEST_F(RawDisk, ADiskThatCannotBeOpenedIsNotFound) {
    fs::create_directories(disk_.work + "/a folder");
    const struct {
        std::string setting;
        std::string why;
    } cases[] = {
        {"\\\\.\\Y:", "\\\\.\\Y:: "},
        {disk_.work + "/a folder", "\\a folder: not a disk: a folder"},  // passed on as a Z: path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        set_environment("KOVO_DISK0", c.setting);
        const tool_result tool = run_tool(disk_.work, {"-s/dev/hda1", "/"});
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(with_line_feeds(tool.output), "Can't find / on /dev/hda1\n");
        const std::string errors = with_line_feeds(tool.errors);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_NE(errors.find(c.why), std::string::npos) << errors;
        EXPECT_EQ(kovox_listing("HDA1.IMG"), "");
    }
}

// The Linux build serves its devices folder alone, whatever the setting names.
class LinuxBuild : public DiskTest {};

TEST_F(LinuxBuild, ReadsNoPcDisk) {
    ASSERT_FALSE(on_windows()) << "this suite tests the build it belongs to";
    set_environment("KOVO_DISK0", disk_.image);
    for (const char* device : {"hda1", "hda", "sdb2"}) {
        SCOPED_TRACE(device);
        const tool_result tool = run_tool(disk_.work, {"-s/dev/" + std::string(device), "/"});
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(tool.output, "Can't find / on /dev/" + std::string(device) + "\n");
        EXPECT_EQ(tool.errors, "");
        EXPECT_EQ(kovox_listing(std::string(device) + ".img"), "");
    }
    // The same disk as an image in the devices folder is served.
    fs::copy_file(disk_.image, devices_ + "/hda.img");
    EXPECT_GT(lines_of(kovox_listing("hda1.img")).size(), 50u);
}

}  // namespace
}  // namespace whole_program
