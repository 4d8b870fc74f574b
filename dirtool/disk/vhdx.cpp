// VHDX, the disk file of Hyper-V and of every WSL2 distribution: fixed, dynamic and differencing.
// Opening reads the headers, the region table and the metadata (and replays the log of a file
// closed uncleanly); the BAT is read a page at a time, for the blocks a read asks for.
#include "disk/containers.h"

#include "base/bytes.h"
#include "disk/parent_lookup.h"
#include "disk/vhdx_format.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dirtool {

namespace {

using namespace vhdx;

enum block_state : unsigned {
    not_present = 0, undefined = 1, zero = 2, unmapped = 3, fully_present = 6, partially_present = 7
};
constexpr std::size_t bat_page_size = 4096;

class vhdx_disk final : public image_source {
public:
    vhdx_disk(std::shared_ptr<image_reader> file, std::string path, layout shape, std::shared_ptr<image_reader> parent)
        : file_(std::move(file)), path_(std::move(path)), shape_(std::move(shape)), parent_(std::move(parent)) {}

    std::uint64_t size() const override { return shape_.items.virtual_size; }
    std::size_t sector_size() const override { return shape_.items.logical_sector_size; }
    std::int64_t modified() const override { return file_->source().modified(); }
    file_identity identity() const override { return file_->source().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= size()) return true;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, size() - offset));
        const std::uint64_t block_size = shape_.items.block_size;
        for (std::size_t done = 0; done < wanted;) {
            const std::uint64_t at = offset + done;
            const std::uint64_t block = at / block_size, in_block = at % block_size;
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - done, block_size - in_block));
            if (!read_piece(block, in_block, data + done, piece, error)) return false;
            done += piece;
        }
        got = wanted;
        return true;
    }

private:
    bool fail(std::string& error, const std::string& what) {
        error = path_ + ": " + what;
        return false;
    }

    bool bat_entry(std::uint64_t index, std::uint64_t& entry, std::string& error) {
        const std::uint64_t page = index * 8 / bat_page_size;
        cache& hit = cached_[0].page == page ? cached_[0] : cached_[1];
        if (hit.page != page) {
            cache& slot = cached_[next_slot_];
            next_slot_ ^= 1;
            slot.page = no_bytes_left;
            slot.bytes.resize(bat_page_size);
            std::string why;
            if (!read_exactly(*file_, shape_.bat.offset + page * bat_page_size, slot.bytes.data(), bat_page_size,
                              "the BAT", why)) {
                return fail(error, why);
            }
            slot.page = page;
            entry = load_le64(slot.bytes.data() + index * 8 % bat_page_size);
            return true;
        }
        entry = load_le64(hit.bytes.data() + index * 8 % bat_page_size);
        return true;
    }

    // Where the `length` bytes at `in_block` of the block that `entry` places lie in the file,
    // checked: past the header section, clear of the regions, inside the file.
    bool place(std::uint64_t entry, std::uint64_t block_length, std::uint64_t in_block, std::size_t length,
               const char* what, std::uint64_t number, std::uint64_t& where, std::string& error) {
        const std::uint64_t start = saturated_product(entry >> 20, mib);
        const std::uint64_t end = saturated_sum(start, block_length);
        for (const auto& [from, to] : shape_.reserved) {
            if (start < to && from < end) {
                return fail(error, std::string(what) + " " + std::to_string(number) + " overlaps the headers or a region");
            }
        }
        where = start + in_block;
        if (!fits_inside(where, length, file_->source().size())) {
            return fail(error, std::string(what) + " " + std::to_string(number) + " lies past the end of the file");
        }
        return true;
    }

    bool read_file(std::uint64_t where, char* data, std::size_t length, std::string& error) {
        std::string why;
        return read_exactly(*file_, where, data, length, "a block", why) || fail(error, why);
    }

    bool read_parent(std::uint64_t at, char* data, std::size_t length, std::string& error) {
        std::string why;
        return read_from_parent(parent_.get(), at, data, length, why) || fail(error, "reading its parent: " + why);
    }

    bool read_piece(std::uint64_t block, std::uint64_t in_block, char* data, std::size_t length, std::string& error) {
        const std::uint64_t chunk = block / shape_.chunk_ratio;
        std::uint64_t entry = 0;
        if (!bat_entry(block + chunk, entry, error)) return false;
        const std::uint64_t at = block * shape_.items.block_size + in_block;
        std::uint64_t where = 0;
        switch (entry & 7) {
            case not_present:
                return read_parent(at, data, length, error);
            case undefined:
            case zero:
            case unmapped:
                std::memset(data, 0, length);
                return true;
            case fully_present:
                return place(entry, shape_.items.block_size, in_block, length, "block", block, where, error) &&
                       read_file(where, data, length, error);
            case partially_present:
                if (parent_) break;
                return fail(error, "block " + std::to_string(block) + " is partially present in a disk without a parent");
            default:
                return fail(error, "block " + std::to_string(block) + " has an unknown state in the BAT");
        }
        // Sector by sector as the chunk's sector bitmap says: from this file where its bit is set.
        std::uint64_t bitmap_entry = 0;
        const std::uint64_t bitmap_index = chunk * (shape_.chunk_ratio + 1) + shape_.chunk_ratio;
        if (!bat_entry(bitmap_index, bitmap_entry, error)) return false;
        if ((bitmap_entry & 7) != fully_present) {
            return fail(error, "block " + std::to_string(block) + " is partially present, but its sector bitmap is not");
        }
        const std::uint64_t sector = shape_.items.logical_sector_size;
        const std::uint64_t first_bit = (at / sector) % sectors_per_bitmap_block;
        const std::uint64_t bits = length / sector;
        const std::size_t first_byte = static_cast<std::size_t>(first_bit / 8);
        const std::size_t bytes = static_cast<std::size_t>((first_bit + bits + 7) / 8) - first_byte;
        std::uint64_t bitmap_at = 0;
        std::vector<char> bitmap(bytes);
        if (!place(bitmap_entry, mib, first_byte, bytes, "sector bitmap block", chunk, bitmap_at, error) ||
            !place(entry, shape_.items.block_size, in_block, length, "block", block, where, error) ||
            !read_file(bitmap_at, bitmap.data(), bytes, error)) {
            return false;
        }
        const auto present = [&](std::uint64_t i) {
            const std::uint64_t bit = first_bit + i - first_byte * 8;
            return (static_cast<unsigned char>(bitmap[static_cast<std::size_t>(bit / 8)]) >> (bit % 8) & 1) != 0;
        };
        for (std::uint64_t i = 0; i < bits;) {
            std::uint64_t run = 1;
            while (i + run < bits && present(i + run) == present(i)) ++run;
            const std::size_t from = static_cast<std::size_t>(i * sector), count = static_cast<std::size_t>(run * sector);
            if (!(present(i) ? read_file(where + from, data + from, count, error)
                             : read_parent(at + from, data + from, count, error))) {
                return false;
            }
            i += run;
        }
        return true;
    }

    struct cache {
        std::uint64_t page = no_bytes_left;
        std::vector<char> bytes;
    };

    std::shared_ptr<image_reader> file_;
    std::string path_;
    layout shape_;
    std::shared_ptr<image_reader> parent_;
    cache cached_[2];
    unsigned next_slot_ = 0;
};

bool recognises(const disk_probe& probe) {
    return probe.head_length >= 8 && std::memcmp(probe.head, "vhdxfile", 8) == 0;
}

std::unique_ptr<image_source> open_vhdx(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                        std::string& error) {
    const std::string name = path.empty() ? "the VHDX" : path;
    auto raw = std::make_shared<image_reader>(std::move(file));
    header current;
    std::string why;
    layout shape;
    region meta;
    log_overlay overlay;
    if (!read_current_header(*raw, current, why) || !replay_log(*raw, current, overlay, why)) {
        error = name + ": not a VHDX that can be read: " + why;
        return nullptr;
    }
    std::shared_ptr<image_reader> reader = raw;
    if (!overlay.empty()) reader = std::make_shared<image_reader>(open_overlay(raw, std::move(overlay)));
    if (!read_regions(*reader, shape.bat, meta, why) ||
        !read_metadata(*reader, meta.offset, meta.length, shape.items, why) || !check_layout(shape, why)) {
        error = name + ": not a VHDX that can be read: " + why;
        return nullptr;
    }
    shape.reserved = {{0, header_section_size}, {shape.bat.offset, shape.bat.offset + shape.bat.length},
                      {meta.offset, meta.offset + meta.length}};
    if (!current.log.is_zero() || current.log_length != 0) {
        shape.reserved.emplace_back(current.log_offset, saturated_sum(current.log_offset, current.log_length));
    }
    std::shared_ptr<image_reader> parent;
    if (shape.items.has_parent) {
        const std::map<std::string, std::string>& locator = shape.items.parent_locator;
        const auto value = [&locator](const char* key) {
            const auto found = locator.find(key);
            return found == locator.end() ? std::string() : found->second;
        };
        std::vector<guid> linkage(1);
        if (!parse_guid(value("parent_linkage"), linkage[0])) {
            error = name + ": a differencing VHDX whose parent locator has no parent_linkage";
            return nullptr;
        }
        guid second;
        if (parse_guid(value("parent_linkage2"), second)) linkage.push_back(second);
        parent_locations where;
        where.relative_paths = {value("relative_path")};
        where.absolute_paths = {value("absolute_win32_path"), value("volume_path")};
        const parent_check matches = [&linkage](image_reader& candidate, std::string& reason) {
            header theirs;
            char signature[8];
            std::string ignored;
            if (!read_exactly(candidate, 0, signature, sizeof signature, "", ignored) ||
                std::memcmp(signature, "vhdxfile", 8) != 0 || !read_current_header(candidate, theirs, ignored)) {
                reason = "it is no VHDX";
                return false;
            }
            if (std::find(linkage.begin(), linkage.end(), theirs.data_write) != linkage.end()) return true;
            reason = "it was written since (its data write GUID is not the one the child records)";
            return false;
        };
        std::unique_ptr<image_source> opened = open_parent(path, where, depth, matches, error);
        if (!opened) return nullptr;
        parent = std::make_shared<image_reader>(std::move(opened));
    }
    return std::make_unique<vhdx_disk>(reader, name, std::move(shape), std::move(parent));
}

}  // namespace

extern const container_format vhdx_format{"VHDX", recognises, open_vhdx};

}  // namespace dirtool
