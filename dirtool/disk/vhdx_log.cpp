// The VHDX log, replayed in memory: a file closed uncleanly (a virtual machine that crashed, a host
// that restarted) holds in its log the writes to its BAT and metadata that may not have reached
// their places. The file is never written: the replayed pages lie over the file's bytes instead.
#include "disk/vhdx_format.h"

#include "base/bytes.h"
#include "disk/parent_lookup.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dirtool {
namespace vhdx {

namespace {

constexpr std::size_t log_sector = 4096;
// A log is 1 MiB as written by every writer known; a larger one is scanned all the same, up to this.
constexpr std::uint64_t largest_log = 64 * mib;

struct descriptor {
    bool zero = false;
    std::uint64_t file_offset = 0;
    std::uint64_t zero_length = 0;
    std::vector<char> page;  // a data descriptor's 4 KiB, put together from its sector
};

struct entry {
    std::uint64_t position = 0;  // in the log
    std::uint32_t length = 0;
    std::uint32_t tail = 0;
    std::uint64_t sequence = 0;
    std::uint64_t flushed_file_offset = 0;
    std::uint64_t last_file_offset = 0;
    std::vector<descriptor> descriptors;
};

class log_reader {
public:
    // The log is read where it lies, a page at a time through the file's reader: a scan for
    // entries reads only the pages that start one, and no copy of the whole log is made.
    log_reader(image_reader& file, std::uint64_t offset, std::uint64_t size, const guid& id)
        : file_(file), offset_(offset), size_(size), id_(id) {}

    // Checksumming stops past this many bytes, so that a log of entries that each claim the whole
    // log with a bad checksum costs a few passes over it, not one per sector.
    bool budget_spent() const { return checksummed_ > 4 * size_ + log_sector; }

    // The entry at `position` when it is valid: signature, sizes, its log's GUID, CRC-32C, and
    // descriptors and data sectors that match its sequence number.
    bool entry_at(std::uint64_t position, entry& found) {
        const std::uint64_t size = size_;
        char head[64];
        if (!copy(position, head, sizeof head)) return false;
        const std::uint32_t length = load_le32(head + 8);
        const std::uint64_t count = load_le32(head + 24);
        found.position = position;
        found.length = length;
        found.tail = load_le32(head + 12);
        found.sequence = load_le64(head + 16);
        found.flushed_file_offset = load_le64(head + 48);
        found.last_file_offset = load_le64(head + 56);
        if (std::memcmp(head, "loge", 4) != 0 || length == 0 || length % log_sector != 0 || length > size ||
            found.tail % log_sector != 0 || found.tail >= size || load_guid(head + 32) != id_) {
            return false;
        }
        const std::uint64_t descriptor_sectors = (64 + 32 * count + log_sector - 1) / log_sector;
        if (descriptor_sectors > length / log_sector || budget_spent()) return false;
        checksummed_ += length;
        if (!checksum_is_good(position, length, load_le32(head + 4))) return false;
        std::uint64_t data_sector = descriptor_sectors;
        found.descriptors.clear();
        char at[32];
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!copy(position + 64 + 32 * i, at, sizeof at)) return false;
            descriptor d;
            d.file_offset = load_le64(at + 16);
            if (load_le64(at + 24) != found.sequence || d.file_offset % log_sector != 0) return false;
            if (std::memcmp(at, "zero", 4) == 0) {
                d.zero = true;
                d.zero_length = load_le64(at + 8);
                if (d.zero_length % log_sector != 0) return false;
            } else if (std::memcmp(at, "desc", 4) == 0) {
                if (data_sector >= length / log_sector) return false;
                d.page.resize(log_sector);
                if (!copy(position + data_sector++ * log_sector, d.page.data(), log_sector)) return false;
                const char* sector = d.page.data();
                const std::uint64_t sequence = (std::uint64_t{load_le32(sector + 4)} << 32) | load_le32(sector + 4092);
                if (std::memcmp(sector, "data", 4) != 0 || sequence != found.sequence) return false;
                // The page as written: the descriptor's leading 8 and trailing 4 bytes around the
                // data sector's own 4084.
                std::memcpy(d.page.data(), at + 8, 8);
                std::memcpy(d.page.data() + 4092, at + 4, 4);
            } else {
                return false;
            }
            found.descriptors.push_back(std::move(d));
        }
        return true;
    }

    std::uint64_t size() const { return size_; }

private:
    // The entry's CRC-32C, its checksum field taken as zero, summed where it lies in the log.
    bool checksum_is_good(std::uint64_t position, std::uint32_t length, std::uint32_t stored) const {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
        static_cast<void>(position);
        static_cast<void>(length);
        static_cast<void>(stored);
        return true;
#else
        std::uint32_t crc = 0;
        char part[4096];
        for (std::uint32_t done = 0; done < length; done += sizeof part) {
            if (!copy(position + done, part, sizeof part)) return false;
            if (done == 0) std::memset(part + 4, 0, 4);
            crc = crc32c(part, sizeof part, crc);
        }
        return crc == stored;
#endif
    }

    // The log is circular: an entry may run on from its end to its start.
    bool copy(std::uint64_t position, char* out, std::size_t count) const {
        std::uint64_t from = position % size_;
        std::string ignored;
        for (std::size_t done = 0; done < count;) {
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, size_ - from));
            if (!read_exactly(file_, offset_ + from, out + done, part, "the log", ignored)) return false;
            done += part;
            from = 0;
        }
        return true;
    }

    image_reader& file_;
    std::uint64_t offset_;
    std::uint64_t size_;
    guid id_;
    std::uint64_t checksummed_ = 0;
};

// The sequence that starts at `position`: valid entries one after another, each numbered one
// above the one before, never more than the log holds.
std::vector<entry> sequence_from(log_reader& log, std::uint64_t position) {
    std::vector<entry> sequence;
    std::uint64_t covered = 0;
    entry next;
    while (covered < log.size() && log.entry_at((position + covered) % log.size(), next)) {
        if (!sequence.empty() && next.sequence != sequence.back().sequence + 1) break;
        if (covered + next.length > log.size()) break;
        covered += next.length;
        sequence.push_back(std::move(next));
        next = entry();
    }
    return sequence;
}

void apply(const entry& e, log_overlay& overlay) {
    for (const descriptor& d : e.descriptors) {
        if (d.zero) {
            const std::uint64_t end = saturated_sum(d.file_offset, d.zero_length);
            overlay.pages.erase(overlay.pages.lower_bound(d.file_offset), overlay.pages.lower_bound(end));
            if (end > d.file_offset) overlay.zeroed.emplace_back(d.file_offset, end);
        } else {
            overlay.pages[d.file_offset] = d.page;
        }
    }
}

}  // namespace

bool replay_log(image_reader& file, const header& current, log_overlay& overlay, std::string& why) {
    const std::uint64_t file_size = file.source().size();
    overlay = log_overlay();
    overlay.size = file_size;
    if (current.log.is_zero()) return true;
    if (current.log_version != 0) {
        why = "its log is of version " + std::to_string(current.log_version) + ", which this tool cannot replay";
        return false;
    }
    if (current.log_length == 0 || current.log_length % mib != 0 || current.log_offset % mib != 0 ||
        current.log_offset < header_section_size || !fits_inside(current.log_offset, current.log_length, file_size)) {
        why = "its log lies outside the file or is not aligned to 1 MiB";
        return false;
    }
    if (current.log_length > largest_log) {
        why = "its log is larger than 64 MiB";
        return false;
    }
    log_reader log(file, current.log_offset, current.log_length, current.log);

    // The active sequence: of the sequences whose head's tail is an entry of their own, the one
    // with the highest sequence number, replayed from that tail.
    std::vector<entry> active;
    for (std::uint64_t position = 0; position < log.size() && !log.budget_spent();) {
        std::vector<entry> sequence = sequence_from(log, position);
        if (sequence.empty()) {
            position += log_sector;
            continue;
        }
        std::uint64_t covered = 0;
        for (const entry& e : sequence) covered += e.length;
        position += covered;
        const std::uint64_t tail = sequence.back().tail;
        const auto from = std::find_if(sequence.begin(), sequence.end(), [tail](const entry& e) { return e.position == tail; });
        if (from == sequence.end()) continue;
        if (active.empty() || sequence.back().sequence > active.back().sequence) active.assign(from, sequence.end());
    }
    if (active.empty()) return true;  // nothing that was written but not yet in place
    const entry& head = active.back();
    if (file_size < head.flushed_file_offset) {
        why = "the file is shorter than its log says it was: it was cut off";
        return false;
    }
    overlay.size = std::max(file_size, head.last_file_offset);
    for (const entry& e : active) {
        for (const descriptor& d : e.descriptors) {
            const std::uint64_t length = d.zero ? d.zero_length : log_sector;
            if (d.file_offset < header_section_size || !fits_inside(d.file_offset, length, overlay.size)) {
                why = "its log writes outside the file's regions";
                return false;
            }
        }
        apply(e, overlay);
    }
    return true;
}

namespace {

class overlay_source final : public image_source {
public:
    overlay_source(std::shared_ptr<image_reader> file, log_overlay overlay)
        : file_(std::move(file)), overlay_(std::move(overlay)) {}

    std::uint64_t size() const override { return overlay_.size; }
    std::size_t sector_size() const override { return file_->source().sector_size(); }
    std::int64_t modified() const override { return file_->source().modified(); }
    file_identity identity() const override { return file_->source().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= overlay_.size) return true;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, overlay_.size - offset));
        // Past the file's own end (the log made it longer) the bytes are zeros.
        if (file_->read(offset, data, wanted, error) == image_reader::result::failed) return false;
        const std::uint64_t end = offset + wanted;
        for (const auto& [start, stop] : overlay_.zeroed) {
            const std::uint64_t from = std::max(start, offset), to = std::min(stop, end);
            if (from < to) std::memset(data + (from - offset), 0, static_cast<std::size_t>(to - from));
        }
        const std::uint64_t first = offset < log_sector ? 0 : offset - (log_sector - 1);
        for (auto page = overlay_.pages.lower_bound(first); page != overlay_.pages.end() && page->first < end; ++page) {
            const std::uint64_t from = std::max(page->first, offset), to = std::min(page->first + log_sector, end);
            if (from < to) std::memcpy(data + (from - offset), page->second.data() + (from - page->first), static_cast<std::size_t>(to - from));
        }
        got = wanted;
        return true;
    }

private:
    std::shared_ptr<image_reader> file_;
    log_overlay overlay_;
};

}  // namespace

std::unique_ptr<image_source> open_overlay(std::shared_ptr<image_reader> file, log_overlay overlay) {
    return std::make_unique<overlay_source>(std::move(file), std::move(overlay));
}

}  // namespace vhdx
}  // namespace dirtool
