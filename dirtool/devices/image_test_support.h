// What the image tests share: a scratch folder, the tree that mke2fs puts into an image and what
// each entry of it must list as, and a disk that takes only whole aligned sectors, as a raw disk does.
#pragma once

#include "devices/devices.h"
#include "disk/disk.h"
#include "base/memory_disk.h"
#include "host/host_fs.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace dirtool {
namespace image_tests {

namespace fs = std::filesystem;

namespace fs = std::filesystem;

constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::uint64_t sparse_size = 5 * 1024 * mib + 3;  // past 32 bits
constexpr std::int64_t jan_02_2026 = 1767323045;
constexpr std::int64_t jan_01_1960 = -315619200;
constexpr std::int64_t jan_01_2040 = 2208988800;

// A fresh folder for one test, removed when the test ends.
class scratch_folder {
public:
    scratch_folder() {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = (fs::temp_directory_path() / ("kovox-image-" + name + "-" + std::to_string(getpid()))).string();
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~scratch_folder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline bool run_shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

inline std::string shell_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

inline void set_mtime(const std::string& path, std::int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A folder with every kind of entry a folder can hold unprivileged: nested and multi-block
// directories, files from empty to sparse past 4 GiB, links, a FIFO, a read-only file, names with
// spaces and UTF-8, and a time before 1970.
inline void make_source_tree(const std::string& root) {
    for (const char* folder : {"docs", "bin", "lib", "dev", "big dir", "deep/er/est"}) {
        fs::create_directories(root + "/" + folder);
    }
    write_file(root + "/docs/a letter.txt", "Dear Bob,\r\n\x1a\n");
    write_file(root + "/docs/caf\xc3\xa9", "au lait");
    std::string pattern;
    for (int i = 0; i < 70000; ++i) pattern += static_cast<char>((i * 7919) % 251);
    write_file(root + "/bin/pattern.bin", pattern);
    write_file(root + "/empty", "");
    write_file(root + "/one block", std::string(4096, 'b'));
    write_file(root + "/tiny", "12345");
    write_file(root + "/lib/libc.so.6", "library");
    write_file(root + "/deep/er/est/bottom", "bottom");
    write_at(root + "/sparse", 0, "head");
    write_at(root + "/sparse", 3 * mib, "middle");
    write_at(root + "/sparse", sparse_size - 3, "end");
    write_file(root + "/read only", "ro");
    fs::permissions(root + "/read only", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    write_file(root + "/old", "old");
    set_mtime(root + "/old", jan_01_1960);
    write_file(root + "/future", "2040");
    set_mtime(root + "/future", jan_02_2026);
    for (int i = 0; i < 300; ++i) write_file(root + "/big dir/entry " + std::to_string(i), std::to_string(i));
    fs::create_directory_symlink("lib", root + "/lib64");
    fs::create_symlink(std::string(100, 'x'), root + "/long link");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
    set_mtime(root + "/docs/a letter.txt", jan_02_2026);
}

// Entries only debugfs can add unprivileged, and the time past 2038 that mke2fs does not store.
inline const char* const debugfs_additions =
    "cd /dev\n"
    "mknod null c 1 3\n"
    "sif null mode 020666\n"
    "mknod sda b 8 0\n"
    "sif sda mode 060660\n"
    "write /dev/null sock\n"
    "sif sock mode 0140755\n"
    "sif /future mtime @2208988800\n";

struct expected_entry {
    char type;
    unsigned permissions;
    std::uint64_t size;
    std::int64_t mtime;
};

// What the source folder says of each entry of one of its folders.
inline std::map<std::string, expected_entry> expected_entries(const std::string& folder) {
    std::map<std::string, expected_entry> entries;
    for (const auto& item : fs::directory_iterator(folder)) {
        struct stat status {};
        lstat(item.path().c_str(), &status);
        const char type = S_ISDIR(status.st_mode) ? 'd' : S_ISLNK(status.st_mode) ? 'l' : S_ISFIFO(status.st_mode) ? 'p' : '-';
        entries[item.path().filename().string()] = {type, static_cast<unsigned>(status.st_mode) & 0777u,
                                                     static_cast<std::uint64_t>(status.st_size), status.st_mtime};
    }
    return entries;
}

inline std::vector<std::string> components_of(const std::string& relative) {
    std::vector<std::string> components;
    for (const auto& part : fs::path(relative)) {
        if (!part.empty() && part != ".") components.push_back(part.string());
    }
    return components;
}

// Whether two files hold the same bytes, holes reading as zeros. Stretches that are holes in both
// are skipped unread, so files of gigabytes compare quickly.
inline bool same_contents(const std::string& a, const std::string& b) {
    const int fd_a = open(a.c_str(), O_RDONLY);
    const int fd_b = open(b.c_str(), O_RDONLY);
    struct stat status_a {};
    struct stat status_b {};
    bool same = fd_a >= 0 && fd_b >= 0 && fstat(fd_a, &status_a) == 0 && fstat(fd_b, &status_b) == 0 &&
                status_a.st_size == status_b.st_size;
    std::vector<char> bytes_a(mib);
    std::vector<char> bytes_b(mib);
    const auto chunk = static_cast<off_t>(mib);
    for (off_t at = 0; same && at < status_a.st_size; at += chunk) {
        const off_t data_a = lseek(fd_a, at, SEEK_DATA);
        const off_t data_b = lseek(fd_b, at, SEEK_DATA);
        if ((data_a < 0 || data_a >= at + chunk) && (data_b < 0 || data_b >= at + chunk)) continue;
        const ssize_t got_a = pread(fd_a, bytes_a.data(), mib, at);
        const ssize_t got_b = pread(fd_b, bytes_b.data(), mib, at);
        same = got_a == got_b && got_a > 0 && std::equal(bytes_a.begin(), bytes_a.begin() + got_a, bytes_b.begin());
    }
    if (fd_a >= 0) close(fd_a);
    if (fd_b >= 0) close(fd_b);
    return same;
}

struct image_variant {
    const char* name;
    const char* options;
    bool large_inodes;  // 128-byte inodes hold no times past 2038
};

inline const image_variant variants[] = {
    {"ext2, 1 KiB blocks, 128-byte inodes", "-t ext2 -b 1024 -I 128", false},
    {"ext3", "-t ext3", true},
    {"ext4", "-t ext4", true},
    {"ext4 with inline data", "-t ext4 -O inline_data", true},
    {"ext4, 4 KiB blocks, 64-bit, no checksums", "-t ext4 -b 4096 -O 64bit,^metadata_csum", true},
};

inline bool make_image(const std::string& work, const std::string& source, const std::string& options,
                const std::string& image) {
    write_file(work + "/additions", debugfs_additions);
    return run_shell(std::string(MKE2FS_PROGRAM) + " -q -F " + options + " -d '" + source + "' '" + image +
                     "' 32M >/dev/null 2>&1") &&
           run_shell(std::string(DEBUGFS_PROGRAM) + " -w -f '" + work + "/additions' '" + image +
                     "' >/dev/null 2>&1");
}

// A disk that takes only whole aligned sectors, as a raw disk does; a test fails on any other read.
inline std::unique_ptr<image_source> strict_disk(std::string bytes, std::size_t sector,
                                                 std::shared_ptr<disk_log> log) {
    return std::make_unique<memory_disk>(std::move(bytes), sector, memory_disk::rules::raw_disk, std::move(log),
                                         jan_02_2026);
}

constexpr std::size_t sector_sizes[] = {512, 4096};

}  // namespace image_tests
}  // namespace dirtool
