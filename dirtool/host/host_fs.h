// The host layer: what the stand-in directory tool needs of the host's file system, folders, image
// files, the PC's raw disks and the local file a copy goes into. The *_posix.cpp and *_win32.cpp
// files answer for each host; everything else in the tool is portable. Host paths use "/" between
// components on every host; the Win32 API accepts it as well as the backslash.
#pragma once

#include "base/entry.h"
#include "base/image_source.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

extern const host_kind this_host;

// The folder that holds the running executable, without a trailing separator.
bool executable_folder(std::string& folder);

// The entry at `path`; a symbolic link is followed only when `follow_link` is set. `name` is
// left empty.
bool stat_entry(const std::string& path, bool follow_link, entry_info& entry);

// Every entry of the folder except "." and "..", in no particular order.
bool read_folder(const std::string& folder, std::vector<entry_info>& entries, std::string& error);

// Free space of the file system that holds `folder`, in bytes available to this user.
bool free_space(const std::string& folder, std::uint64_t& bytes);

// Copies the regular file `source` to `target`, byte for byte, replacing `target`. Runs of
// zeros become holes where the host supports them, so sparse files stay fast and small. On
// failure no partial `target` is left behind.
bool copy_regular_file(const std::string& source, const std::string& target, std::string& error);

// The image file at `path`, opened for reading only. Null, with a message in `error`, for
// anything that is not a regular file or a disk: a FIFO, for one, would wait for a writer.
std::unique_ptr<image_source> open_image_file(const std::string& path, std::string& error);

// `path` with every link in it followed, as an absolute path: the folder a disk file's parents and
// extents are found from is the real file's, not that of a link to it. `path` itself when that
// cannot be told.
std::string resolved_path(const std::string& path);

// The PC's own disk `number` (0 for the first), read raw: the path the setting KOVO_DISK<number>
// names (such as "\\.\X:"), else Windows' own "\\.\PhysicalDrive<number>"; `path` is the one opened.
// Windows only. Null with a message in `error` when it cannot be opened.
std::unique_ptr<image_source> open_pc_disk(unsigned number, std::string& path, std::string& error);

// Files kept from one run to the next, in a folder of the user's own (the inflated clusters of
// compressed images, which every run would otherwise inflate again).

// The folder such files go in unless told otherwise: $XDG_CACHE_HOME/kovont or ~/.cache/kovont,
// and %LOCALAPPDATA%\kovont on Windows. Empty when the environment names no such place.
std::string default_cache_folder();

// Makes `folder`, and the folders above it, where they are missing. False when that fails or when
// it is no folder of this user's that only this user can write into: what is read back from it is
// trusted.
bool prepare_private_folder(const std::string& folder);

// One such file, read at any offset.
class kept_file {
public:
    kept_file() = default;
    kept_file(const kept_file&) = delete;
    kept_file& operator=(const kept_file&) = delete;
    ~kept_file() { close(); }

    // Opens the regular file at `path`; false when there is none.
    bool open(const std::string& path);
    // Exactly `count` bytes at `offset`; false when the file holds fewer or the host fails.
    bool read_at(std::uint64_t offset, char* data, std::size_t count);
    void close();

private:
    std::intptr_t handle_ = -1;  // the host's descriptor or handle; -1 while none is open
};

// Writes the parts, one after another, as the whole of the file at `path`. They go into a file
// beside it that then takes its place, so a reader finds the old file or the new one, whole, and a
// run cut short leaves at most that file behind. False when it cannot be done.
struct file_part {
    const char* bytes;
    std::size_t count;
};
bool replace_file(const std::string& path, const file_part* parts, std::size_t part_count);

// The local file a copy is written into.
class copy_target {
public:
    copy_target() = default;
    copy_target(const copy_target&) = delete;
    copy_target& operator=(const copy_target&) = delete;
    // A copy that was not finished is removed, so no partial file is left behind.
    ~copy_target();

    // Creates `path` or empties the regular file there. Refuses a link, anything but a regular file,
    // and the file `source` itself, which emptying would destroy before it is read.
    bool open(const std::string& path, const file_identity& source, std::string& error);

    // Writes `count` bytes at `offset`. A run that is all zeros is skipped: it stays a hole.
    bool write_at(std::uint64_t offset, const char* bytes, std::size_t count, std::string& error);

    // Sets the final size, which covers a trailing hole, and closes the file.
    bool finish(std::uint64_t size, std::string& error);

private:
    std::intptr_t handle_ = -1;  // the host's descriptor or handle; -1 while none is open
    std::string path_;
};

}  // namespace dirtool
