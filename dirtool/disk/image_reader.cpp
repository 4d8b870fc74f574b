#include "disk/disk.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace dirtool {
namespace {

// Large enough that a directory's or an inode table's blocks in a row cost one read of the host.
constexpr std::size_t least_window_size = 4 * 1024;

}  // namespace

image_reader::image_reader(std::unique_ptr<image_source> source)
    : source_(std::move(source)), sector_(std::max<std::size_t>(1, source_->sector_size())) {
    // Whole sectors, so that a window read is a valid read of a raw disk.
    const std::size_t sectors = (std::max(least_window_size, sector_) + sector_ - 1) / sector_;
    window_size_ = sectors * sector_;
    // Only what a read fills is served from it, so it is not zeroed first.
    window_storage_.reset(new char[window_size_ + sector_]);
    const auto address = reinterpret_cast<std::uintptr_t>(window_storage_.get());
    window_ = window_storage_.get() + (sector_ - address % sector_) % sector_;
}

std::size_t image_reader::sectors_on_image(std::uint64_t offset, std::size_t wanted) const {
    // A raw disk refuses a read that runs past its last sector; an image file may end inside one.
    const std::uint64_t left = source_->size() - offset;
    const std::uint64_t left_in_sectors = left + (sector_ - left % sector_) % sector_;
    return left_in_sectors < wanted ? static_cast<std::size_t>(left_in_sectors) : wanted;
}

bool image_reader::fill_window(std::uint64_t offset, std::string& error) {
    window_start_ = offset - offset % sector_;
    window_length_ = 0;
    std::size_t got = 0;
    if (!source_->read_sectors(window_start_, window_, sectors_on_image(window_start_, window_size_), got, error)) {
        return false;
    }
    window_length_ = got;
    return true;
}

image_reader::result image_reader::read(std::uint64_t offset, char* data, std::size_t count, std::string& error) {
    std::size_t done = 0;
    const auto past_the_end_from = [&](std::size_t from) {
        std::memset(data + from, 0, count - from);
        return result::past_the_end;
    };
    if (offset > std::numeric_limits<std::uint64_t>::max() - count) return past_the_end_from(0);
    while (done < count) {
        const std::uint64_t at = offset + done;
        const std::size_t rest = count - done;
        if (at >= window_start_ && at - window_start_ < window_length_) {
            const std::size_t from = static_cast<std::size_t>(at - window_start_);
            const std::size_t part = std::min(rest, window_length_ - from);
            std::memcpy(data + done, window_ + from, part);
            done += part;
            continue;
        }
        if (at >= source_->size()) return past_the_end_from(done);
        // A long aligned run into aligned memory goes straight into the caller's buffer, past the
        // window.
        if (at % sector_ == 0 && rest >= window_size_ && reinterpret_cast<std::uintptr_t>(data + done) % sector_ == 0) {
            const std::size_t direct = sectors_on_image(at, rest - rest % sector_);
            std::size_t got = 0;
            if (!source_->read_sectors(at, data + done, direct, got, error)) return result::failed;
            done += got;
            if (got < direct) return past_the_end_from(done);
            continue;
        }
        if (!fill_window(at, error)) return result::failed;
        if (at - window_start_ >= window_length_) return past_the_end_from(done);
    }
    return result::done;
}

image_reader::result span_buffer::read(image_reader& file, std::uint64_t offset, std::size_t count, const char*& bytes,
                                       std::string& error) {
    const std::size_t sector = std::max<std::size_t>(1, file.source().sector_size());
    const auto lead = static_cast<std::size_t>(offset % sector);
    const std::size_t wanted = lead + count;
    const std::size_t whole = wanted + (sector - wanted % sector) % sector;
    if (whole + sector > capacity_) {
        capacity_ = whole + sector;
        storage_.reset(new char[capacity_]);
    }
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
    char* aligned = storage_.get() + (sector - address % sector) % sector;
    bytes = aligned + lead;
    // Whole sectors where the file has them, so that the read goes past the window; a read that
    // ends in the file's last, partial sector asks for no more than it wants.
    const std::uint64_t start = offset - lead;
    const bool inside = fits_inside(start, whole, file.source().size());
    return file.read(start, aligned, inside ? whole : wanted, error);
}

}  // namespace dirtool
