// What the whole-program tests over ext images share: folder trees to make images from, and the
// oracle: what debugfs reports of an image, as the listing kovox must print for it. Host only, as
// mke2fs and debugfs are.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace whole_program {

extern const std::string mke2fs_program;
extern const std::string debugfs_program;

std::string contents_of(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::string shell_output(const std::string& command);
std::vector<std::string> lines_of(const std::string& text);

// Every how many files a test copies out: under Wine each copy starts three Windows programs, so
// the Windows builds copy a third as many of the same files; the host copies `host_stride`.
std::size_t copy_stride(std::size_t host_stride);

// What `list` gives for the image file at `image`, asked once for each content and time the file
// has: the raw oracles of many variants are the same image byte for byte, and under Wine each
// listing of it costs seconds.
std::string once_per_image(const std::string& image, const std::function<std::string()>& list);

// A folder tree as a small Linux system holds one: about three thousand entries in nested
// folders, a folder of 1500 entries that spans many directory blocks, files from empty to sparse
// past 4 GiB, read-only files, links, a FIFO, names with spaces and UTF-8, and many times.
class tree_maker {
public:
    // `seed` varies the bytes and the times, so that two trees made alike still differ.
    explicit tree_maker(std::string root, std::uint32_t seed = 2463534242u) : root_(std::move(root)), state_(seed) {}

    void folder(const std::string& path) { std::filesystem::create_directories(root_ + "/" + path); }

    void file(const std::string& path, std::size_t size, std::filesystem::perms permissions = std::filesystem::perms::none) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) byte = static_cast<char>(next() >> 24);
        write_file(root_ + "/" + path, bytes);
        if (permissions != std::filesystem::perms::none) std::filesystem::permissions(root_ + "/" + path, permissions);
    }

    void sparse(const std::string& path, std::uint64_t size) {
        const std::string full = root_ + "/" + path;
        write_file(full, "head");
        std::filesystem::resize_file(full, size);
        const int fd = open(full.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(pwrite(fd, "tail", 4, static_cast<off_t>(size - 4)), 4);
        close(fd);
    }

    std::size_t random_size(std::size_t limit) { return next() % (limit + 1); }

    // Times between 2001 and 2033, deepest entries first, since creating an entry changes its
    // folder's time.
    void set_times() {
        std::vector<std::string> paths;
        for (const auto& item : std::filesystem::recursive_directory_iterator(root_)) paths.push_back(item.path().string());
        std::sort(paths.rbegin(), paths.rend());
        for (const std::string& path : paths) {
            const time_t seconds = 978307200 + static_cast<time_t>(next() % 1000000000u);
            const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
            utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
    }

private:
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

    std::string root_;
    std::uint32_t state_;
};

// Runs debugfs once for all `requests` and returns the lines each one printed.
std::vector<std::vector<std::string>> ask_debugfs(const std::string& image, const std::vector<std::string>& requests,
                                                  const std::string& work);

struct image_entry {
    std::string name;
    unsigned mode = 0;
    unsigned long long size = 0;
    std::string minute;  // "Jan 02 03:04 2026": debugfs shows no seconds
};

inline bool is_directory(const image_entry& entry) { return (entry.mode & 0170000) == 0040000; }
inline bool is_regular(const image_entry& entry) { return (entry.mode & 0170000) == 0100000; }

// What debugfs reports of every directory below the root, in the order it stores its entries:
// "ls -p" gives the names as stored and the modes, "ls -l" the sizes and, to the minute, the times.
std::map<std::string, std::vector<image_entry>> debugfs_listings(const std::string& image, const std::string& work);

// A listing line cut to what debugfs can tell: mode, size, time to the minute and path.
std::string comparable(const std::string& mode, unsigned long long size, const std::string& minute,
                       const std::string& path);
std::string comparable_kovox_line(const std::string& line);

// The listing kovox must print for the image: depth first in the order the image stores its
// entries, the root's "dev" listed but not entered, links and special files never entered.
void expected_walk(const std::map<std::string, std::vector<image_entry>>& listings, const std::string& folder,
                   std::vector<std::string>& lines);

// Makes `devices` (emptied) and `temp` in `work` the devices folder and the temporary directory of
// the runs of kovox and the tool to come, and puts the binary directory on PATH. Returns the PATH
// it replaced.
std::string set_up_runs(const std::string& work, std::string& devices, std::string& temp);

struct tool_result {
    std::string output;
    std::string errors;
    int status = -1;
};

// Runs the stand-in tool directly, standard output and standard error each captured.
tool_result run_tool(const std::string& directory, const std::vector<std::string>& arguments);

// kovox's output with line feeds alone: on Windows every line must end in CR LF.
std::string with_line_feeds(const std::string& output);

// `text` as kovox prints the tool's bytes: on Windows through the ANSI-to-OEM conversion, asked
// of Wine itself.
std::string as_kovox_prints(const std::string& text, const std::string& work);
std::vector<std::string> as_kovox_prints(const std::vector<std::string>& lines, const std::string& work);

// Where kovox's copy of `device_path` lands in the empty folder `here`: under the path's last
// component. On Windows that name's bytes are ANSI text, which Wine stores in the host's encoding,
// so a name outside ASCII is found as the one file there.
std::string copied_file(const std::string& here, const std::string& device_path);

// Windows file managers hand stored names back with "\\" between the components: on Windows the
// `i`-th copy asks that way when `i` is odd.
std::string as_asked_for(const std::string& device_path, std::size_t i);

// kovox lists and copies out of `image` exactly what debugfs reports of `oracle`, and leaves
// `image` as it was; the runs use `work` and the devices folder `devices` (see set_up_runs).
void expect_image_served_as(const std::string& image, const std::string& oracle, const std::string& work,
                            const std::string& devices);

}  // namespace whole_program
