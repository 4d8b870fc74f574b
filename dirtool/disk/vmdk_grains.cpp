// The grains of a VMDK sparse extent: each grain's entry found through the grain directory and a
// grain table (the last 16 tables kept), the grain read in place or, in a streamOptimized extent,
// inflated from behind its marker (the last few inflated grains kept). The redundant directory is
// asked only where the primary one points outside the file.
#include "disk/vmdk_sparse.h"

#include "base/bytes.h"
#include "disk/inflated_clusters.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace dirtool {
namespace vmdk_sparse {
namespace {

constexpr std::size_t cached_tables = 16;
// A directory's blocks and the inode table's lie in different grains, read by turns: a few
// inflated grains are kept, up to a budget that a grain of 32 MiB keeps to one.
constexpr std::size_t cached_grains = 8;
constexpr std::uint64_t inflated_budget = 4 * 1024 * 1024;
constexpr std::size_t grain_marker_size = 12;  // the first sector (8 bytes) and the length (4)

// A zlib stream (RFC 1950) of `count` bytes inflated into `out`, as zlib's own inflate with its
// header and check would, with the check summed here 16 bytes a step (zlib's byte loop was a
// quarter of a run over a stream): unsound where it is no sound stream that fits `room` bytes,
// `produced` saying how far it got.
enum class inflated_as { sound, unsound, no_memory };
inflated_as inflate_zlib_stream(const char* bytes, std::size_t count, char* out, std::size_t room, std::size_t& produced) {
    produced = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    // The header: deflate with a window of at most 32 KiB, its check bits right, no dictionary.
    if (count < 2 || (in[0] & 0x0f) != 8 || (in[0] >> 4) > 7 || ((in[0] << 8) | in[1]) % 31 != 0 || (in[1] & 0x20) != 0) {
        return inflated_as::unsound;
    }
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return inflated_as::no_memory;
    stream.next_in = const_cast<Bytef*>(in + 2);
    stream.avail_in = static_cast<uInt>(count - 2);
    stream.next_out = reinterpret_cast<Bytef*>(out);
    stream.avail_out = static_cast<uInt>(room);
    const int outcome = inflate(&stream, Z_FINISH);
    produced = room - stream.avail_out;
    const std::size_t left = stream.avail_in;
    const unsigned char* check = stream.next_in;
    inflateEnd(&stream);
    const bool sound = outcome == Z_STREAM_END && left >= 4 && load_be32(check) == adler32(out, produced);
    return sound ? inflated_as::sound : inflated_as::unsound;
}

class sparse_extent final : public vmdk_sparse_extent {
public:
    sparse_extent(std::shared_ptr<image_reader> file, std::string name, const sparse_header& header,
                  std::vector<std::uint64_t> directories, std::string descriptor)
        : file_(std::move(file)), name_(std::move(name)), header_(header), file_size_(file_->source().size()),
          directories_(std::move(directories)), descriptor_(std::move(descriptor)),
          grains_("vmdk-zlib", static_cast<std::size_t>(header.grain_sectors * sector),
                  static_cast<std::size_t>(std::min<std::uint64_t>(cached_grains, inflated_budget / (header.grain_sectors * sector))),
                  file_->source().version()) {
        tables_.reserve(cached_tables);
    }

    std::uint64_t sectors() const override { return header_.capacity; }
    std::uint64_t grain_bytes() const override { return header_.grain_sectors * sector; }
    const std::string& embedded_descriptor() const override { return descriptor_; }

    grain_state read(std::uint64_t offset, char* data, std::size_t count, std::string& error) override {
        const std::uint64_t grain = offset / grain_bytes();
        const std::uint64_t within = offset % grain_bytes();
        std::uint32_t entry = 0;
        std::string damage;
        lookup found = lookup::damaged;
        // The redundant directory is asked only where the primary one points outside the file.
        for (std::uint64_t directory : directories_) {
            found = entry_for(directory, grain, entry, damage, error);
            if (found != lookup::damaged) break;
        }
        switch (found) {
            case lookup::absent: return grain_state::absent;
            case lookup::zero: return grain_state::zero;
            case lookup::failed: return grain_state::failed;
            case lookup::damaged: error = name_ + ": " + damage; return grain_state::failed;
            case lookup::found: break;
        }
        if (header_.flags & compressed_flag) {
            return read_compressed(grain, entry, within, data, count, error) ? grain_state::data : grain_state::failed;
        }
        return read_bytes(std::uint64_t{entry} * sector + within, data, count, error) ? grain_state::data
                                                                                        : grain_state::failed;
    }

private:
    enum class lookup { found, absent, zero, damaged, failed };

    bool read_bytes(std::uint64_t offset, char* data, std::size_t count, std::string& error) {
        switch (file_->read(offset, data, count, error)) {
            case image_reader::result::done: return true;
            case image_reader::result::past_the_end: error = name_ + ": the file is cut short"; return false;
            case image_reader::result::failed: return false;
        }
        return false;
    }

    // The grain table entry of `grain` through the directory at sector `directory`.
    lookup entry_for(std::uint64_t directory, std::uint64_t grain, std::uint32_t& entry, std::string& damage,
                     std::string& error) {
        const std::uint64_t table = grain / header_.table_entries;
        char raw[4];
        if (!read_bytes(directory * sector + table * 4, raw, sizeof raw, error)) return lookup::failed;
        const std::uint64_t table_sector = load_le32(raw);
        if (table_sector == 0) return lookup::absent;
        if (!fits_inside(table_sector * sector, std::uint64_t{header_.table_entries} * 4, file_size_)) {
            damage = "its grain directory entry " + std::to_string(table) + " points past the end of the file";
            return lookup::damaged;
        }
        const std::vector<std::uint32_t>* entries = table_at(table_sector, error);
        if (entries == nullptr) return lookup::failed;
        entry = (*entries)[static_cast<std::size_t>(grain % header_.table_entries)];
        if (entry == 0) return lookup::absent;
        if (entry == 1 && (header_.flags & zeroed_grain_flag)) return lookup::zero;
        // A grain in the file: the whole of it, or its marker when it is compressed.
        const std::uint64_t left = (header_.capacity - grain * header_.grain_sectors) * sector;
        const std::uint64_t needed =
            (header_.flags & compressed_flag) ? grain_marker_size : std::min(grain_bytes(), left);
        if (!fits_inside(std::uint64_t{entry} * sector, needed, file_size_)) {
            damage = "its grain table entry for sector " + std::to_string(grain * header_.grain_sectors) +
                     " points past the end of the file";
            return lookup::damaged;
        }
        return lookup::found;
    }

    const std::vector<std::uint32_t>* table_at(std::uint64_t table_sector, std::string& error) {
        ++clock_;
        for (cached_table& table : tables_) {
            if (table.sector == table_sector) {
                table.used = clock_;
                return &table.entries;
            }
        }
        cached_table* slot = nullptr;
        if (tables_.size() < cached_tables) {
            slot = &tables_.emplace_back();
        } else {
            slot = &*std::min_element(tables_.begin(), tables_.end(),
                                      [](const cached_table& a, const cached_table& b) { return a.used < b.used; });
        }
        slot->sector = 0;  // no table lies at sector 0, the header's
        raw_table_.resize(std::size_t{header_.table_entries} * 4);
        if (!read_bytes(table_sector * sector, raw_table_.data(), raw_table_.size(), error)) return nullptr;
        slot->entries.resize(header_.table_entries);
        for (std::size_t i = 0; i < slot->entries.size(); ++i) slot->entries[i] = load_le32(raw_table_.data() + 4 * i);
        slot->sector = table_sector;
        slot->used = clock_;
        return &slot->entries;
    }

    // `count` bytes at `within` of the grain whose compressed marker is at sector `at`, inflated to
    // at most a grain.
    bool read_compressed(std::uint64_t grain, std::uint32_t at, std::uint64_t within, char* data, std::size_t count,
                         std::string& error) {
        const auto inflate = [&](char* out, std::string& why) {
            char marker[grain_marker_size];
            const std::uint64_t start = std::uint64_t{at} * sector;
            if (!read_bytes(start, marker, sizeof marker, why)) return false;
            const std::uint64_t first_sector = load_le64(marker);
            const std::uint32_t length = load_le32(marker + 8);
            const std::string where = name_ + ": the compressed grain at sector " + std::to_string(at);
            if (first_sector != grain * header_.grain_sectors) {
                why = where + " holds sector " + std::to_string(first_sector) + ", not " +
                      std::to_string(grain * header_.grain_sectors);
                return false;
            }
            // Deflate makes data that does not shrink a little longer, never by a tenth.
            if (length == 0 || length > grain_bytes() + grain_bytes() / 10 + 1024 ||
                !fits_inside(start + grain_marker_size, length, file_size_)) {
                why = where + " is " + std::to_string(length) + " bytes long, which the file cannot hold";
                return false;
            }
            // The deflated bytes in one read of the file, not a window at a time.
            const char* compressed = nullptr;
            switch (compressed_.read(*file_, start + grain_marker_size, length, compressed, why)) {
                case image_reader::result::done: break;
                case image_reader::result::past_the_end: why = name_ + ": the file is cut short"; return false;
                case image_reader::result::failed: return false;
            }
            const auto size = static_cast<std::size_t>(grain_bytes());
            std::size_t produced = 0;
            switch (inflate_zlib_stream(compressed, length, out, size, produced)) {
                case inflated_as::sound: break;
                case inflated_as::no_memory: why = where + " cannot be inflated: no memory"; return false;
                case inflated_as::unsound:
                    why = where + (produced == size ? " inflates past the grain's size" : " does not inflate");
                    return false;
            }
            // The disk's last grain may stop short of a whole grain.
            std::memset(out + produced, 0, size - produced);
            return true;
        };
        return grains_.read(at, grain, within, data, count, inflate, error);
    }

    struct cached_table {
        std::uint64_t sector = 0;
        std::uint64_t used = 0;
        std::vector<std::uint32_t> entries;
    };

    std::shared_ptr<image_reader> file_;
    std::string name_;
    sparse_header header_;
    std::uint64_t file_size_;
    std::vector<std::uint64_t> directories_;  // the primary first, then the redundant one
    std::string descriptor_;
    std::vector<cached_table> tables_;
    std::uint64_t clock_ = 0;
    std::vector<char> raw_table_;
    span_buffer compressed_;
    inflated_clusters grains_;
};

}  // namespace

std::unique_ptr<vmdk_sparse_extent> make_extent(std::shared_ptr<image_reader> file, std::string name,
                                                const sparse_header& header, std::vector<std::uint64_t> directories,
                                                std::string descriptor) {
    return std::make_unique<sparse_extent>(std::move(file), std::move(name), header, std::move(directories),
                                           std::move(descriptor));
}

}  // namespace vmdk_sparse
}  // namespace dirtool
