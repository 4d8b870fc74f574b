// The disk layer: a disk read in whole sectors, from an image file, one of the PC's disks, or a
// window of another disk (a partition, a logical volume). The layers above read any byte range
// through an image_reader and never ask what lies beneath it.
#pragma once

#include "base/image_source.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// Reads any byte range of a disk through whole-sector reads into sector-aligned memory, as a raw
// disk requires, keeping the last sectors read in a window: blocks come in one at a time, mostly in
// a row, and the window serves the ones after the first without another read of the host.
class image_reader {
public:
    explicit image_reader(std::unique_ptr<image_source> source);

    image_source& source() { return *source_; }

    enum class result { done, past_the_end, failed };

    // Fills `data` with `count` bytes from `offset`. Bytes past the end of the disk read as zeros
    // and the read ends as past_the_end; a failure of the host leaves its message in `error`.
    result read(std::uint64_t offset, char* data, std::size_t count, std::string& error);

private:
    bool fill_window(std::uint64_t offset, std::string& error);
    // How much of `wanted` bytes from the sector at `offset` lies on the disk, in whole sectors.
    std::size_t sectors_on_image(std::uint64_t offset, std::size_t wanted) const;

    std::unique_ptr<image_source> source_;
    std::size_t sector_;
    std::unique_ptr<char[]> window_storage_;  // the window and room to align it, left unset
    char* window_ = nullptr;                  // sector-aligned, inside window_storage_
    std::size_t window_size_ = 0;
    std::uint64_t window_start_ = 0;
    std::size_t window_length_ = 0;
};

// A buffer for reads of many kilobytes in one piece (a compressed cluster or grain): it starts
// each read at a whole sector, in sector-aligned memory, so that the reader passes the bytes
// straight from the file in one read of the host instead of a window at a time.
class span_buffer {
public:
    // Reads the `count` bytes at `offset` of `file` and points `bytes` at them. Bytes past the
    // end of the file read as zeros and the read ends as past_the_end, as image_reader's.
    image_reader::result read(image_reader& file, std::uint64_t offset, std::size_t count, const char*& bytes,
                              std::string& error);

private:
    std::unique_ptr<char[]> storage_;  // left unset: only what a read fills is looked at
    std::size_t capacity_ = 0;
};

// The bytes [start, start + length) of `disk` as a disk of its own, clipped to the disk's end: a
// partition or a logical volume. It shares the disk's sector size, time and identity.
std::unique_ptr<image_source> open_window(std::shared_ptr<image_reader> disk, std::uint64_t start,
                                          std::uint64_t length);

// The disk in the file at `path`: the virtual disk a container file holds (VHD, VHDX, VDI, ...),
// recognised by its content, or else the file's own bytes, a raw image. `depth` counts the disks
// that stand on this one as their parent (0 for the one the user named). Null with one message in
// `error` when the file cannot be opened or its container cannot be read.
std::unique_ptr<image_source> open_disk_file(const std::string& path, unsigned depth, std::string& error);

// The same over a file already open.
std::unique_ptr<image_source> open_disk(std::unique_ptr<image_source> file, const std::string& path,
                                        unsigned depth, std::string& error);

}  // namespace dirtool
