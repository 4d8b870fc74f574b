// A device described in the test, made on disk for the stand-in tool, and the listing kovox must
// print for it, derived from the description and the facts the file system reports.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace whole_program {

struct device_entry {
    std::string path;  // relative to the device root, "/" between components
    char type = '-';   // 'd' folder, '-' file, 'l' symbolic link
    std::uint64_t size = 0;
    bool read_only = false;
    std::string link_target;
};

inline device_entry folder(std::string path) {
    device_entry entry;
    entry.path = std::move(path);
    entry.type = 'd';
    return entry;
}
inline device_entry file(std::string path, std::uint64_t size, bool read_only = false) {
    device_entry entry;
    entry.path = std::move(path);
    entry.size = size;
    entry.read_only = read_only;
    return entry;
}
inline device_entry link(std::string path, std::string target) {
    device_entry entry;
    entry.path = std::move(path);
    entry.type = 'l';
    entry.link_target = std::move(target);
    return entry;
}

// Makes the entries under `root` (a fresh folder), parents before children.
void make_device(const std::string& root, const std::vector<device_entry>& entries);

// The listing kovox prints for the device at `root`: depth first, names in byte order within a
// folder, the root's "dev" printed but not entered. Line ends are line feeds.
std::string expected_listing(const std::string& root, const std::vector<device_entry>& entries);

// A device of nested folders and files that shows every rule of the walk: `folders` folders at
// least, root and deeper "dev" folders, names with spaces, read-only files, a size wider than nine
// digits and empty folders.
std::vector<device_entry> generated_device(int folders);

// A fresh empty folder for one test.
std::string fresh_folder(const std::string& name);

}  // namespace whole_program
