// VHD, the disk file of Virtual PC and of Hyper-V before VHDX: fixed (the disk's bytes and a
// footer), dynamic (a copy of the footer, a dynamic header, a BAT and blocks each behind its
// sector bitmap) and differencing (a dynamic disk whose clear bitmap bits read from its parent).
// All fields are big-endian.
#include "disk/containers.h"

#include "base/bytes.h"
#include "disk/parent_lookup.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dirtool {

namespace {

constexpr std::size_t footer_size = 512;
constexpr std::size_t dynamic_header_size = 1024;
constexpr std::uint32_t fixed_disk = 2, dynamic_disk = 3, differencing_disk = 4;
constexpr std::uint32_t unused_block = 0xffffffffu;
constexpr std::size_t bat_page_size = 512;

// The one's complement of the byte sum, the checksum field itself left out.
std::uint32_t checksum_of(const char* bytes, std::size_t count, std::size_t checksum_at) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i < checksum_at || i >= checksum_at + 4) sum += static_cast<unsigned char>(bytes[i]);
    }
    return ~sum;
}

// A footer (511 bytes in files of the first Virtual PC, 512 since) with its cookie and checksum.
bool is_footer(const char* bytes, std::size_t count) {
    return count >= 511 && std::memcmp(bytes, "conectix", 8) == 0 &&
           checksum_matches(checksum_of(bytes, 511, 64), load_be32(bytes + 64));
}

bool recognises(const disk_probe& probe) {
    if (probe.head_length >= footer_size && is_footer(probe.head, footer_size)) return true;
    if (probe.tail_length >= 512 && is_footer(probe.tail, 512)) return true;
    return probe.tail_length >= 511 && is_footer(probe.tail + probe.tail_length - 511, 511);
}

struct dynamic_layout {
    std::uint64_t size = 0;
    std::uint64_t bat_offset = 0;
    std::uint32_t blocks = 0;
    std::uint32_t block_size = 0;
    std::uint32_t bitmap_size = 0;  // bytes, whole sectors
};

class vhd_disk final : public image_source {
public:
    vhd_disk(std::shared_ptr<image_reader> file, std::string path, dynamic_layout shape, std::shared_ptr<image_reader> parent)
        : file_(std::move(file)), path_(std::move(path)), shape_(shape), parent_(std::move(parent)) {}

    std::uint64_t size() const override { return shape_.size; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return file_->source().modified(); }
    file_identity identity() const override { return file_->source().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= size()) return true;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, size() - offset));
        for (std::size_t done = 0; done < wanted;) {
            const std::uint64_t at = offset + done;
            const std::uint64_t block = at / shape_.block_size, in_block = at % shape_.block_size;
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - done, shape_.block_size - in_block));
            if (!read_piece(static_cast<std::uint32_t>(block), in_block, data + done, piece, error)) return false;
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

    bool block_sector(std::uint32_t block, std::uint32_t& sector, std::string& error) {
        const std::uint64_t page = std::uint64_t{block} * 4 / bat_page_size;
        if (page != cached_page_) {
            cached_page_ = no_bytes_left;
            page_.resize(bat_page_size);
            std::string why;
            const std::uint64_t start = page * bat_page_size;
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(bat_page_size, std::uint64_t{shape_.blocks} * 4 - start));
            if (!read_exactly(*file_, shape_.bat_offset + start, page_.data(), length, "the BAT", why)) return fail(error, why);
            cached_page_ = page;
        }
        sector = load_be32(page_.data() + block * 4 % bat_page_size);
        return true;
    }

    bool read_here(std::uint64_t where, char* data, std::size_t length, std::string& error) {
        std::string why;
        return read_exactly(*file_, where, data, length, "a block", why) || fail(error, why);
    }

    bool read_parent(std::uint64_t at, char* data, std::size_t length, std::string& error) {
        std::string why;
        return read_from_parent(parent_.get(), at, data, length, why) || fail(error, "reading its parent: " + why);
    }

    bool read_piece(std::uint32_t block, std::uint64_t in_block, char* data, std::size_t length, std::string& error) {
        std::uint32_t sector = 0;
        if (!block_sector(block, sector, error)) return false;
        const std::uint64_t at = std::uint64_t{block} * shape_.block_size + in_block;
        if (sector == unused_block) return read_parent(at, data, length, error);
        const std::uint64_t bitmap = std::uint64_t{sector} * 512;
        const std::uint64_t start = bitmap + shape_.bitmap_size;
        // A block starts past the dynamic header's BAT and must lie inside the file.
        if (bitmap < shape_.bat_offset + std::uint64_t{shape_.blocks} * 4 && bitmap + shape_.bitmap_size + shape_.block_size > shape_.bat_offset) {
            return fail(error, "block " + std::to_string(block) + " overlaps the BAT");
        }
        if (!fits_inside(start + in_block, length, file_->source().size())) {
            return fail(error, "block " + std::to_string(block) + " lies past the end of the file");
        }
        if (!parent_) return read_here(start + in_block, data, length, error);
        // A differencing disk: a sector whose bit (the first sector's the byte's highest) is clear
        // reads from the parent.
        const std::uint64_t first = in_block / 512, sectors = length / 512;
        std::vector<char> bits(static_cast<std::size_t>((first + sectors + 7) / 8 - first / 8));
        if (!read_here(bitmap + first / 8, bits.data(), bits.size(), error)) return false;
        const auto present = [&](std::uint64_t i) {
            const std::uint64_t bit = first % 8 + i;
            return (static_cast<unsigned char>(bits[static_cast<std::size_t>(bit / 8)]) >> (7 - bit % 8) & 1) != 0;
        };
        for (std::uint64_t i = 0; i < sectors;) {
            std::uint64_t run = 1;
            while (i + run < sectors && present(i + run) == present(i)) ++run;
            const std::size_t from = static_cast<std::size_t>(i * 512), count = static_cast<std::size_t>(run * 512);
            if (!(present(i) ? read_here(start + in_block + from, data + from, count, error)
                             : read_parent(at + from, data + from, count, error))) {
                return false;
            }
            i += run;
        }
        return true;
    }

    std::shared_ptr<image_reader> file_;
    std::string path_;
    dynamic_layout shape_;
    std::shared_ptr<image_reader> parent_;
    std::uint64_t cached_page_ = no_bytes_left;
    std::vector<char> page_;
};

// The footer: the one at the end of the file, else (a dynamic disk cut short) its copy at the start.
bool read_footer(image_reader& file, char* footer, std::uint64_t& footer_at, std::string& why) {
    const std::uint64_t size = file.source().size();
    for (std::size_t length : {footer_size, footer_size - 1}) {
        std::memset(footer, 0, footer_size);
        std::string ignored;
        if (size >= length && read_exactly(file, size - length, footer, length, "", ignored) && is_footer(footer, length)) {
            footer_at = size - length;
            return true;
        }
    }
    std::string ignored;
    if (size >= footer_size && read_exactly(file, 0, footer, footer_size, "", ignored) && is_footer(footer, footer_size)) {
        footer_at = 0;
        return true;
    }
    why = "it has no valid footer";
    return false;
}

// Where the parent of a differencing disk may be: its parent locators and its parent's name.
parent_locations parent_places(image_reader& file, const char* header) {
    parent_locations where;
    where.file_names.push_back(last_component(utf8_of_utf16(header + 64, 512, true)));
    for (int i = 0; i < 8; ++i) {
        const char* locator = header + 576 + 24 * i;
        const std::uint32_t code = load_be32(locator), length = load_be32(locator + 8);
        const std::uint64_t offset = load_be64(locator + 16);
        if (code == 0 || length == 0 || length > 64 * 1024) continue;
        std::vector<char> bytes(length);
        std::string ignored;
        if (!read_exactly(file, offset, bytes.data(), length, "", ignored)) continue;
        if (code == 0x57327275 /* W2ru */) where.relative_paths.push_back(utf8_of_utf16(bytes.data(), length, false));
        if (code == 0x57326b75 /* W2ku */) where.absolute_paths.push_back(utf8_of_utf16(bytes.data(), length, false));
        if (code == 0x4d616358 /* MacX: a file URL */) {
            std::string url(bytes.data(), strnlen(bytes.data(), length));
            if (url.compare(0, 7, "file://") == 0) {
                url.erase(0, 7);
                const std::size_t path = url.find('/');
                if (path != std::string::npos) where.absolute_paths.push_back(url.substr(path));
            }
        }
    }
    return where;
}

std::unique_ptr<image_source> open_vhd(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                       std::string& error) {
    const std::string name = path.empty() ? "the VHD" : path;
    auto reader = std::make_shared<image_reader>(std::move(file));
    const std::uint64_t file_size = reader->source().size();
    char footer[footer_size];
    std::uint64_t footer_at = 0;
    std::string why;
    const auto refuse = [&](const std::string& reason) {
        error = name + ": not a VHD that can be read: " + reason;
        return nullptr;
    };
    if (!read_footer(*reader, footer, footer_at, why)) return refuse(why);
    const std::uint32_t type = load_be32(footer + 60);
    const std::uint64_t current_size = load_be64(footer + 48);
    if (type == fixed_disk) {
        if (footer_at == 0) return refuse("a fixed disk without its footer at the end");
        if (current_size > footer_at) return refuse("the file is shorter than its disk: it was cut off");
        return open_window(reader, 0, current_size);
    }
    if (type != dynamic_disk && type != differencing_disk) return refuse("its disk type, " + std::to_string(type) + ", is unknown");
    char header[dynamic_header_size];
    const std::uint64_t header_at = load_be64(footer + 16);
    if (!read_exactly(*reader, header_at, header, sizeof header, "its dynamic header", why)) return refuse(why);
    if (std::memcmp(header, "cxsparse", 8) != 0 || !checksum_matches(checksum_of(header, sizeof header, 36), load_be32(header + 36))) {
        return refuse("its dynamic header is damaged");
    }
    dynamic_layout shape;
    shape.size = current_size;
    shape.bat_offset = load_be64(header + 16);
    shape.blocks = load_be32(header + 28);
    shape.block_size = load_be32(header + 32);
    if (shape.block_size < 4096 || shape.block_size > 256 * 1024 * 1024 || (shape.block_size & (shape.block_size - 1)) != 0) {
        return refuse("its block size, " + std::to_string(shape.block_size) + ", is not a power of two from 4 KiB to 256 MiB");
    }
    shape.bitmap_size = (shape.block_size / 512 / 8 + 511) / 512 * 512;
    if (current_size % 512 != 0 || current_size > saturated_product(shape.blocks, shape.block_size)) {
        return refuse("its disk size is more than its BAT can map");
    }
    if (shape.bat_offset < footer_size || !fits_inside(shape.bat_offset, std::uint64_t{shape.blocks} * 4, file_size)) {
        return refuse("its BAT lies outside the file");
    }
    std::shared_ptr<image_reader> parent;
    if (type == differencing_disk) {
        const std::string wanted(header + 40, 16);
        const parent_check matches = [&wanted](image_reader& candidate, std::string& reason) {
            char theirs[footer_size];
            std::uint64_t at = 0;
            if (!read_footer(candidate, theirs, at, reason)) {
                reason = "it is no VHD";
                return false;
            }
            if (std::string(theirs + 68, 16) == wanted) return true;
            reason = "its unique id is not the one the child records";
            return false;
        };
        std::unique_ptr<image_source> opened = open_parent(path, parent_places(*reader, header), depth, matches, error);
        if (!opened) return nullptr;
        parent = std::make_shared<image_reader>(std::move(opened));
    }
    return std::make_unique<vhd_disk>(reader, name, shape, std::move(parent));
}

}  // namespace

extern const container_format vhd_format{"VHD", recognises, open_vhd};

}  // namespace dirtool
