// kovox and the stand-in tool, both as built, over ext4 images that mke2fs makes from a folder tree,
// checked against what debugfs reports of the same images. A host program: the Windows builds run
// it too, against their own kovox.exe and tool under Wine (see program_command), where kovox
// prints CR LF line ends and its paths in the OEM code page.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

void make_tree(const std::string& root) {
    tree_maker tree(root);
    const fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    for (const char* path : {"etc", "usr/bin", "usr/dev", "usr/share/icons", "var/log", "var/lib", "run", "dev",
                             "home/user/My Documents", "deep/a/b/c/d/e/f/g/h", "empty folder"}) {
        tree.folder(path);
    }
    for (int i = 0; i < 300; ++i) {
        tree.file("etc/conf-" + std::to_string(i) + ".conf", tree.random_size(3000),
                  i % 7 == 0 ? read_only : i % 11 == 0 ? fs::perms::owner_read : fs::perms::none);
    }
    for (int i = 0; i < 40; ++i) {
        const std::string package = "pkg-" + std::to_string(i);
        tree.folder("usr/share/doc/" + package);
        tree.file("usr/share/doc/" + package + "/README", tree.random_size(5000));
        tree.file("usr/share/doc/" + package + "/change log.gz", tree.random_size(20000));
        tree.folder("usr/lib/" + package + "/data");
        for (int part = 0; part < 20; ++part) {
            const std::size_t size = part == 0 ? 4096 : part == 1 ? 4097 : tree.random_size(12000);
            tree.file("usr/lib/" + package + "/data/part " + std::to_string(part) + ".bin", size);
        }
    }
    for (int i = 0; i < 1500; ++i) tree.file("usr/share/icons/icon-" + std::to_string(i) + ".png", 100 + tree.random_size(800));
    for (int i = 0; i < 200; ++i) tree.file("var/log/log." + std::to_string(i), tree.random_size(30000));
    tree.file("var/log/big.log", 2 * 1024 * 1024 + 17);
    tree.file("usr/bin/bash", 70000);
    tree.file("dev/null", 0);
    tree.file("home/user/My Documents/letter to bob.txt", 120);
    tree.file("home/user/My Documents/caf\xc3\xa9 menu.txt", 33);
    tree.file("home/user/My Documents/price $5 & more.txt", 7);
    tree.file("deep/a/b/c/d/e/f/g/h/bottom", 6);
    tree.sparse("var/lib/sparse.img", 1234567890);
    tree.sparse("var/lib/huge.img", 5368709121);
    fs::create_directory_symlink("usr/lib", root + "/lib64");
    fs::create_symlink("bash", root + "/usr/bin/sh");
    fs::create_symlink("/usr/share/zoneinfo/UTC", root + "/etc/localtime");
    ASSERT_EQ(mkfifo((root + "/run/initctl").c_str(), 0600), 0);
    tree.set_times();
}

// Entries that only debugfs can add unprivileged: device nodes and a socket.
const char debugfs_additions[] =
    "cd /usr/dev\n"
    "mknod ttyS0 c 4 64\n"
    "sif ttyS0 mode 020660\n"
    "mknod sda b 8 0\n"
    "sif sda mode 060440\n"
    "write /dev/null /run/socket\n"
    "sif /run/socket mode 0140755\n";

bool make_image(const std::string& work, const std::string& tree, const std::string& image) {
    write_file(work + "/additions", debugfs_additions);
    return std::system((mke2fs_program + " -q -F -t ext4 -b 4096 -d '" + tree + "' '" + image +
                        "' 64M >/dev/null 2>&1")
                           .c_str()) == 0 &&
           std::system((debugfs_program + " -w -f '" + work + "/additions' '" + image + "' >/dev/null 2>&1")
                           .c_str()) == 0;
}

class ExtImages : public ::testing::Test {
protected:
    // The tree, its image and what debugfs reports of it are made once, by the first test to run;
    // a failure there fails that test rather than skipping the suite.
    static bool prepare() {
        work_ = fresh_folder("ext-images-" + std::to_string(getpid()));
        tree_ = work_ + "/tree";
        intact_ = work_ + "/intact.img";
        make_tree(tree_);
        if (::testing::Test::HasFailure() || !make_image(work_, tree_, intact_)) return false;
        listings_ = debugfs_listings(intact_, work_);
        std::vector<std::string> walk;
        expected_walk(listings_, "/", walk);
        expected_ = as_kovox_prints(walk, work_);
        EXPECT_EQ(expected_.size(), walk.size());
        return !::testing::Test::HasFailure();
    }
    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    // The listing, cut to what debugfs can tell; `printed` gets it whole, with line feeds alone.
    std::vector<std::string> kovox_listing(std::string* printed = nullptr) {
        const run_result result = run_in(binary_directory(), "kovox", {"hda1.img"});
        EXPECT_EQ(result.status, 0);
        const std::string text = with_line_feeds(result.output);
        if (printed != nullptr) *printed = text;
        std::vector<std::string> lines;
        for (const std::string& line : lines_of(text)) lines.push_back(comparable_kovox_line(line));
        return lines;
    }

    // What the Linux build of kovox and the tool, beside this test program, print for the device.
    std::string linux_listing() {
        const std::string self = fs::read_symlink("/proc/self/exe").parent_path().string();
        return shell_output("cd '" + self + "' && PATH='" + self + "':\"$PATH\" KOVO_DEVICES='" + devices_ +
                            "' TEMP='" + temp_ + "' ./kovox hda1.img");
    }

    // Every regular file up to 8 MiB, one in `step`, with its path on the image.
    static std::vector<std::string> sample_files(std::size_t step) {
        std::vector<std::string> files;
        std::size_t seen = 0;
        for (const auto& [folder, entries] : listings_) {
            for (const image_entry& entry : entries) {
                if (is_regular(entry) && entry.size <= 8 * 1024 * 1024 && seen++ % step == 0) {
                    files.push_back(folder + entry.name);
                }
            }
        }
        return files;
    }

    // What debugfs dumps of each file: the N-th file into dumped/N.
    static std::string dump_with_debugfs(const std::string& image, const std::vector<std::string>& files) {
        const std::string dumped = work_ + "/dumped";
        fs::remove_all(dumped);
        fs::create_directories(dumped);
        std::vector<std::string> requests;
        for (std::size_t i = 0; i < files.size(); ++i) {
            requests.push_back("dump \"" + files[i] + "\" \"" + dumped + "/" + std::to_string(i) + "\"");
        }
        ask_debugfs(image, requests, work_);
        return dumped;
    }

    static std::string work_, tree_, intact_;
    static std::map<std::string, std::vector<image_entry>> listings_;
    static std::vector<std::string> expected_;
    std::string devices_, temp_, old_path_;
};

std::string ExtImages::work_, ExtImages::tree_, ExtImages::intact_;
std::map<std::string, std::vector<image_entry>> ExtImages::listings_;
std::vector<std::string> ExtImages::expected_;

TEST_F(ExtImages, ListsExactlyWhatDebugfsReports) {
    fs::copy_file(intact_, devices_ + "/hda1.img");
    // The order is the image's: mke2fs stores a folder's entries by name, debugfs appends the ones
    // it adds, so /usr/dev holds "ttyS0" before "sda".
    ASSERT_GE(expected_.size(), 3000u);
    std::string printed;
    const std::vector<std::string> listed = kovox_listing(&printed);
    EXPECT_EQ(listed.size(), expected_.size());
    const auto differ = std::mismatch(listed.begin(), listed.end(), expected_.begin(), expected_.end());
    if (differ.first != listed.end() || differ.second != expected_.end()) {
        ADD_FAILURE() << "first difference at line " << (differ.first - listed.begin()) << ":\n  kovox:   "
                      << (differ.first != listed.end() ? *differ.first : "(end)")
                      << "\n  debugfs: " << (differ.second != expected_.end() ? *differ.second : "(end)");
    }
    // To the second, and every byte: the Windows build prints what the Linux build prints, its
    // line ends and code page aside.
    if (on_windows()) {
        EXPECT_TRUE(printed == as_kovox_prints(linux_listing(), work_));
    }
}

TEST_F(ExtImages, ExtractsWhatDebugfsDumps) {
    fs::copy_file(intact_, devices_ + "/hda1.img");
    const std::vector<std::string> files = sample_files(23);
    ASSERT_GE(files.size(), 100u);
    const std::string dumped = dump_with_debugfs(intact_, files);
    const std::string here = work_ + "/here";
    for (std::size_t i = 0; i < files.size(); ++i) {
        fs::remove_all(here);
        fs::create_directories(here);
        const run_result result = run_in(here, "kovox", {"-READ", "hda1.img", as_asked_for(files[i], i)});
        EXPECT_EQ(result.status, 0);
        const std::string local = copied_file(here, files[i]);
        ASSERT_TRUE(fs::exists(local)) << files[i];
        EXPECT_TRUE(contents_of(local) == contents_of(dumped + "/" + std::to_string(i))) << files[i];
    }

    // Links, device nodes, sockets, FIFOs and folders are refused: nothing is written.
    for (const char* path : {"/lib64", "/usr/bin/sh", "/usr/dev/ttyS0", "/usr/dev/sda", "/run/socket",
                                    "/run/initctl", "/etc", "/missing"}) {
        fs::remove_all(here);
        fs::create_directories(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", path}).status, 0);
        EXPECT_TRUE(fs::is_empty(here)) << path;
        const tool_result tool = run_tool(here, {"-READ", "-s/dev/hda1", path, "copy"});
        EXPECT_NE(tool.status, 0) << path;
        EXPECT_NE(tool.errors, "") << path;
        EXPECT_FALSE(fs::exists(here + "/copy")) << path;
    }
}

// Writes pseudo-random bytes over `count` bytes of the image from `offset`.
void overwrite_with_garbage(const std::string& image, std::uint64_t offset, std::size_t count) {
    std::string garbage(count, '\0');
    std::uint32_t state = 12345;
    for (char& byte : garbage) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    const int fd = open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, garbage.data(), count, static_cast<off_t>(offset)), static_cast<ssize_t>(count));
    close(fd);
}

// Where the inode of `path` lies in the image, in bytes, as debugfs says.
std::uint64_t inode_offset(const std::string& image, const std::string& path) {
    const std::string text =
        shell_output(debugfs_program + " -R 'imap \"" + path + "\"' '" + image + "' 2>/dev/null");
    unsigned long long block = 0;
    unsigned offset = 0;
    const std::size_t located = text.find("located at block");
    if (located != std::string::npos) std::sscanf(text.c_str() + located, "located at block %llu, offset 0x%x", &block, &offset);
    EXPECT_NE(block, 0u) << text;
    return block * 4096 + offset;
}

// A damaged image: kovox lists only what the intact image holds and ends with status 0; the tool
// answers every directory either completely with status 0 or with a message and another status;
// an extracted file is whole or not there.
TEST_F(ExtImages, DamagedImagesListWhatCanBeReadAndNeverHang) {
    const struct {
        const char* name;
        void (*damage)(const std::string& image);
    } cases[] = {
        {"truncated to 8 MiB", [](const std::string& image) { fs::resize_file(image, 8 * 1024 * 1024); }},
        {"inode table overwritten from the inode of /usr/share/doc",
         [](const std::string& image) { overwrite_with_garbage(image, inode_offset(image, "/usr/share/doc"), 64 * 1024); }},
    };
    const std::set<std::string> intact_lines(expected_.begin(), expected_.end());
    const std::vector<std::string> files = sample_files(31);
    const std::string dumped = dump_with_debugfs(intact_, files);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = devices_ + "/hda1.img";
        fs::remove(image);
        fs::copy_file(intact_, image);
        c.damage(image);

        const std::vector<std::string> listed = kovox_listing();
        EXPECT_LT(listed.size(), expected_.size());
        for (const std::string& line : listed) EXPECT_EQ(intact_lines.count(line), 1u) << line;

        std::size_t failures = 0;
        for (const auto& listing : listings_) {
            const tool_result tool = run_tool(work_, {"-s/dev/hda1", listing.first});
            if (tool.status == 0) {
                EXPECT_EQ(tool.errors, "") << listing.first;
                EXPECT_NE(tool.output.find("\nDisk space: "), std::string::npos) << listing.first;
            } else {
                ++failures;
                EXPECT_NE(tool.errors, "") << listing.first;
                EXPECT_EQ(tool.output.find("Disk space: "), std::string::npos) << listing.first;
            }
        }
        EXPECT_GT(failures, 0u);

        const std::string here = work_ + "/here";
        for (std::size_t i = 0; i < files.size(); ++i) {
            fs::remove_all(here);
            fs::create_directories(here);
            EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", as_asked_for(files[i], i)}).status, 0);
            const std::string local = copied_file(here, files[i]);
            if (fs::exists(local)) {
                EXPECT_TRUE(contents_of(local) == contents_of(dumped + "/" + std::to_string(i))) << files[i];
            }
        }
    }
}

// A name holding a line feed cannot stand on one line of the tool's listing: what follows it would
// read as an entry of its own. The tool leaves such an entry out and says so.
TEST_F(ExtImages, NameHoldingALineFeedIsLeftOut) {
    const std::string forged = "x\ndrwxr-xr-x   1 root          0     Jan 02 03:04:05 2026 forged";
    const std::string folder = work_ + "/line feed";
    fs::remove_all(folder);
    fs::create_directories(folder);
    write_file(folder + "/" + forged, "");
    write_file(folder + "/kept", "kept");
    write_file(folder + "/kept\r", "would read back as kept");
    const struct {
        const char* name;
        std::string device;
    } cases[] = {{"folder", devices_ + "/hda1"}, {"image", devices_ + "/hda1.img"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // No Windows name holds a line feed: there only an image can bring one.
        if (on_windows() && std::string(c.name) == "folder") continue;
        fs::remove_all(devices_);
        fs::create_directories(devices_);
        if (std::string(c.name) == "folder") {
            fs::copy(folder, c.device, fs::copy_options::recursive);
        } else {
            ASSERT_EQ(std::system((mke2fs_program + " -q -F -t ext4 -d '" + folder + "' '" + c.device +
                                   "' 4M >/dev/null 2>&1")
                                      .c_str()),
                      0);
        }
        const std::string listing = with_line_feeds(run_in(binary_directory(), "kovox", {"hda1.img"}).output);
        EXPECT_NE(listing.find(" kept\n"), std::string::npos) << listing;
        EXPECT_EQ(listing.find("forged"), std::string::npos) << listing;
        EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), std::string(c.name) == "image" ? 2 : 1)
            << listing;
        const tool_result tool = run_tool(work_, {"-s/dev/hda1", "/"});
        EXPECT_EQ(tool.status, 1);
        EXPECT_NE(tool.errors.find("line feed"), std::string::npos) << tool.errors;
        EXPECT_NE(tool.output.find("Disk space: "), std::string::npos);
    }
}

// On an image, names follow the Linux file system's rules, not the host's: folders named "a:b",
// "what?" and "x|y" are entered on Windows too. A file whose name Windows cannot give a file of its
// own is listed, and copying it out there ends with one message, leaving nothing.
TEST_F(ExtImages, NamesWindowsCannotHoldAreEnteredOnAnImage) {
    const std::string tree = work_ + "/windows names";
    fs::remove_all(tree);
    const char* const folders[] = {"a:b", "what?", "x|y"};
    for (const char* name : folders) {
        fs::create_directories(tree + "/" + name);
        write_file(tree + "/" + name + "/inside", std::string("in ") + name + "\n");
    }
    write_file(tree + "/a:b/c:d", "colon\n");
    fs::remove_all(devices_);
    fs::create_directories(devices_);
    ASSERT_EQ(std::system((mke2fs_program + " -q -F -t ext4 -d '" + tree + "' '" + devices_ +
                           "/hda1.img' 4M >/dev/null 2>&1").c_str()),
              0);
    const std::string listing = with_line_feeds(run_in(binary_directory(), "kovox", {"hda1.img"}).output);
    for (const char* path : {"a:b/inside", "a:b/c:d", "what?/inside", "x|y/inside"}) {
        EXPECT_NE(listing.find(" " + as_kovox_prints(path, work_) + "\n"), std::string::npos) << path << "\n" << listing;
    }
    const std::string here = work_ + "/here";
    fs::remove_all(here);
    fs::create_directories(here);
    EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", "/a:b/inside"}).status, 0);
    EXPECT_EQ(contents_of(here + "/inside"), "in a:b\n");

    const tool_result colon = run_tool(here, {"-READ", "-s/dev/hda1", "/a:b/c:d", "c:d"});
    if (on_windows()) {
        EXPECT_EQ(colon.status, 2);
        EXPECT_NE(colon.errors.find("Windows file names cannot hold"), std::string::npos) << colon.errors;
        EXPECT_EQ(std::count(colon.errors.begin(), colon.errors.end(), '\n'), 1) << colon.errors;
        fs::remove(here + "/inside");
        EXPECT_TRUE(fs::is_empty(here));
    } else {
        EXPECT_EQ(colon.status, 0) << colon.errors;
        EXPECT_EQ(contents_of(here + "/c:d"), "colon\n");
    }
}

}  // namespace
}  // namespace whole_program
