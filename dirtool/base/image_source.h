// A disk image opened for reading only: a file of the host, or a whole disk. The image reading above
// it (the channel, the partition tables, the ext file system) is portable and asks the host for
// nothing but this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// Which file a copy must never be written over: the image it is read from.
struct file_identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool known = false;
};

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

    // Reads `count` bytes at `offset`, both whole sectors, into `data`, whose address is a multiple
    // of the sector size too. The read ends at the image's last sector at most. `got` is less than
    // `count` only at the end of the image. False, with a message in `error`, when the host fails.
    virtual bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                              std::string& error) = 0;
};

// Reads any byte range of an image through whole-sector reads into sector-aligned memory, as a raw
// disk requires, keeping the last sectors read in a window: blocks come in one at a time, mostly in
// a row, and the window serves the ones after the first without another read of the host.
class image_reader {
public:
    explicit image_reader(std::unique_ptr<image_source> source);

    image_source& source() { return *source_; }

    enum class result { done, past_the_end, failed };

    // Fills `data` with `count` bytes from `offset`. Bytes past the end of the image read as zeros
    // and the read ends as past_the_end; a failure of the host leaves its message in `error`.
    result read(std::uint64_t offset, char* data, std::size_t count, std::string& error);

private:
    bool fill_window(std::uint64_t offset, std::string& error);
    // How much of `wanted` bytes from the sector at `offset` lies on the image, in whole sectors.
    std::size_t sectors_on_image(std::uint64_t offset, std::size_t wanted) const;

    std::unique_ptr<image_source> source_;
    std::size_t sector_;
    std::vector<char> window_storage_;  // the window and room to align it
    char* window_ = nullptr;            // sector-aligned, inside window_storage_
    std::size_t window_size_ = 0;
    std::uint64_t window_start_ = 0;
    std::size_t window_length_ = 0;
};

}  // namespace dirtool
