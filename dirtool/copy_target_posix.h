// The local file a copy is written into, on POSIX hosts.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirtool {

class copy_target {
public:
    copy_target() = default;
    copy_target(const copy_target&) = delete;
    copy_target& operator=(const copy_target&) = delete;
    // A copy that was not finished is removed, so no partial file is left behind.
    ~copy_target();

    // Creates `path` or empties the regular file there. Refuses a link, anything but a regular file,
    // and the file `source` itself, which emptying would destroy before it is read.
    bool open(const std::string& path, const struct stat& source, std::string& error);

    // Writes `count` bytes at `offset`. A run that is all zeros is skipped: it stays a hole.
    bool write_at(std::uint64_t offset, const char* bytes, std::size_t count, std::string& error);

    // Sets the final size, which covers a trailing hole, and closes the file.
    bool finish(std::uint64_t size, std::string& error);

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace dirtool
