// A window of a disk served as a disk of its own: a partition, or a logical volume. Reads go
// through the reader of the disk beneath, which also serves the window's first and last sectors
// where the window does not start on one of the disk's own.
#include "disk/disk.h"

#include <utility>

namespace dirtool {
namespace {

class window_source final : public image_source {
public:
    window_source(std::shared_ptr<image_reader> disk, std::uint64_t start, std::uint64_t length)
        : disk_(std::move(disk)), start_(start), length_(length) {}

    std::uint64_t size() const override { return length_; }
    std::size_t sector_size() const override { return disk_->source().sector_size(); }
    std::int64_t modified() const override { return disk_->source().modified(); }
    file_identity identity() const override { return disk_->source().identity(); }
    file_version version() const override {
        file_version inside = disk_->source().version();
        inside.start += start_;
        inside.length = length_;
        return inside;
    }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= length_) return true;
        const std::uint64_t left = length_ - offset;
        const std::size_t wanted = left < count ? static_cast<std::size_t>(left) : count;
        switch (disk_->read(start_ + offset, data, wanted, error)) {
            case image_reader::result::done:
                got = wanted;
                return true;
            case image_reader::result::past_the_end:
                return true;  // the window was clipped to the disk on opening
            case image_reader::result::failed:
                break;
        }
        return false;
    }

private:
    std::shared_ptr<image_reader> disk_;
    std::uint64_t start_;
    std::uint64_t length_;
};

}  // namespace

std::unique_ptr<image_source> open_window(std::shared_ptr<image_reader> disk, std::uint64_t start,
                                          std::uint64_t length) {
    const std::uint64_t disk_size = disk->source().size();
    const std::uint64_t clipped_start = start < disk_size ? start : disk_size;
    const std::uint64_t room = disk_size - clipped_start;
    return std::make_unique<window_source>(std::move(disk), clipped_start, length < room ? length : room);
}

}  // namespace dirtool
