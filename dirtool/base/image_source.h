// A disk opened for reading only, in whole sectors: an image file of the host, one of the PC's own
// disks, a window of another disk, or a virtual disk that a container file holds. Everything that
// reads a disk (partition tables, volumes, file systems) asks for nothing but this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirtool {

// Which file a copy must never be written over: the image it is read from.
struct file_identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool known = false;
};

// Which state of which file a disk is read from: the file written since, or another file in its
// place, is another version. Known only for regular files of the host and windows of them, and
// only once the file has not changed for a while: the file system's clock moves in ticks, and a
// change within the tick of the last one would leave the times as they were.
struct file_version {
    file_identity file;
    std::uint64_t file_size = 0;
    std::int64_t modified_ns = 0;  // last written, in nanoseconds since 1970
    std::int64_t changed_ns = 0;   // last changed in any way, which no program sets at will
    std::uint64_t start = 0;       // where the disk starts in the file, and its length
    std::uint64_t length = 0;
    bool known = false;
};

// How long a file must have stood unchanged before its version is known.
constexpr std::int64_t settling_ns = 2000000000;

class image_source {
public:
    virtual ~image_source() = default;

    // The image's length in bytes.
    virtual std::uint64_t size() const = 0;

    // Raw disks take only whole sectors: every read's offset and length are multiples of this.
    virtual std::size_t sector_size() const = 0;

    // When the image itself was last written, in seconds since 1970-01-01 00:00:00 UTC.
    virtual std::int64_t modified() const = 0;

    virtual file_identity identity() const = 0;

    // Unknown unless the disk is a regular file, or a window of one, that the host can tell.
    virtual file_version version() const { return {}; }

    // Reads `count` bytes at `offset`, both whole sectors, into `data`, whose address is a multiple
    // of the sector size too. The read ends at the image's last sector at most. `got` is less than
    // `count` only at the end of the image. False, with a message in `error`, when the host fails.
    virtual bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                              std::string& error) = 0;
};

}  // namespace dirtool
