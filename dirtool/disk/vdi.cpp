// VirtualBox's disk images (VDI), static and dynamic, and differencing images over a parent. The
// virtual disk is cut into blocks of a size the header gives; a block map of one 32-bit entry per
// block names the block's place among the data blocks of the file, or says that the file holds none
// for it: such a block reads as zeros, or from the parent in a differencing image. The map is read
// a page at a time as blocks are read, never whole: a 1 TiB image has a map of 4 MiB.
#include "disk/containers.h"
#include "disk/vdi.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace dirtool {
namespace vdi {

namespace {

constexpr std::uint32_t least_header_size = header_length - 0x48;
constexpr std::uint32_t least_block_size = 512;
constexpr std::uint32_t largest_block_size = 256u * 1024 * 1024;

bool is_power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

bool parse_header(const char* bytes, std::size_t length, std::uint64_t file_size, header& parsed,
                  std::string& problem) {
    if (length < header_length || file_size < header_length) {
        problem = "the file is too short for a VDI header";
        return false;
    }
    const unsigned major = load_le16(bytes + 0x46);
    const unsigned minor = load_le16(bytes + 0x44);
    const std::uint32_t header_size = load_le32(bytes + 0x48);
    if (major != 1 || header_size < least_header_size) {
        problem = "VDI version " + std::to_string(major) + "." + std::to_string(minor) +
                  " with a header of " + std::to_string(header_size) + " bytes, which this tool does not read";
        return false;
    }
    const std::uint32_t type = load_le32(bytes + 0x4C);
    if (type < 1 || type > 4) {
        problem = "unknown VDI image type " + std::to_string(type);
        return false;
    }
    parsed.type = static_cast<image_type>(type);
    parsed.block_map_offset = load_le32(bytes + 0x154);
    parsed.data_offset = load_le32(bytes + 0x158);
    parsed.disk_size = load_le64(bytes + 0x170);
    parsed.block_size = load_le32(bytes + 0x178);
    parsed.block_extra = load_le32(bytes + 0x17C);
    parsed.block_count = load_le32(bytes + 0x180);
    parsed.blocks_allocated = load_le32(bytes + 0x184);
    std::memcpy(parsed.image.data(), bytes + 0x188, 16);
    std::memcpy(parsed.parent.data(), bytes + 0x1A8, 16);

    if (!is_power_of_two(parsed.block_size) || parsed.block_size < least_block_size ||
        parsed.block_size > largest_block_size) {
        problem = "a block size of " + std::to_string(parsed.block_size) +
                  " bytes, which is not a power of two from 512 bytes to 256 MiB";
        return false;
    }
    if (parsed.disk_size > saturated_product(parsed.block_count, parsed.block_size)) {
        problem = "a disk of " + std::to_string(parsed.disk_size) + " bytes, more than its " +
                  std::to_string(parsed.block_count) + " blocks of " + std::to_string(parsed.block_size) +
                  " bytes hold";
        return false;
    }
    const std::uint64_t header_end = std::uint64_t{0x48} + header_size;
    const std::uint64_t map_length = std::uint64_t{parsed.block_count} * 4;
    if (parsed.block_map_offset < header_end || !fits_inside(parsed.block_map_offset, map_length, file_size)) {
        problem = "its block map at " + std::to_string(parsed.block_map_offset) + " (" + std::to_string(map_length) +
                  " bytes) does not lie between the header and the end of the file";
        return false;
    }
    if (parsed.data_offset < parsed.block_map_offset + map_length || parsed.data_offset > file_size) {
        problem = "its data at " + std::to_string(parsed.data_offset) +
                  " does not lie between the block map and the end of the file";
        return false;
    }
    if (parsed.blocks_allocated > parsed.block_count) {
        problem = std::to_string(parsed.blocks_allocated) + " blocks allocated of only " +
                  std::to_string(parsed.block_count);
        return false;
    }
    // A copy cut short is told at once, rather than by the first block that lies past its end.
    const std::uint64_t data_length =
        saturated_product(parsed.blocks_allocated, std::uint64_t{parsed.block_size} + parsed.block_extra);
    if (!fits_inside(parsed.data_offset, data_length, file_size)) {
        problem = "the file ends at " + std::to_string(file_size) + ", before its " +
                  std::to_string(parsed.blocks_allocated) + " allocated blocks: it is truncated";
        return false;
    }
    if (has_parent(parsed) && parsed.parent == uuid{}) {
        problem = "a differencing image that names no parent";
        return false;
    }
    return true;
}

bool has_parent(const header& parsed) {
    // An undo image stands over a parent too, when it names one.
    return parsed.type == image_type::differencing || (parsed.type == image_type::undo && parsed.parent != uuid{});
}

namespace {

// The virtual disk of an image file, with the disk of its parent beneath it where it has one.
class vdi_disk final : public image_source {
public:
    vdi_disk(std::unique_ptr<image_reader> file, std::string path, const header& parsed,
             std::unique_ptr<image_reader> parent)
        : file_(std::move(file)), path_(std::move(path)), header_(parsed), parent_(std::move(parent)) {}

    std::uint64_t size() const override { return header_.disk_size; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return file_->source().modified(); }
    file_identity identity() const override { return file_->source().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= header_.disk_size) return true;
        const std::uint64_t left = header_.disk_size - offset;
        const std::size_t wanted = left < count ? static_cast<std::size_t>(left) : count;
        while (got < wanted) {
            const std::uint64_t at = offset + got;
            const std::uint64_t block = at / header_.block_size;
            const std::uint64_t in_block = at % header_.block_size;
            const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(header_.block_size - in_block, wanted - got));
            if (!read_in_block(static_cast<std::uint32_t>(block), in_block, data + got, room, error)) return false;
            got += room;
        }
        return true;
    }

private:
    static constexpr std::uint32_t entries_per_page = 1024;
    // Enough pages of the map for the blocks of a long run of reads; past this it is read again.
    static constexpr std::size_t most_pages_kept = 64;

    bool read_in_block(std::uint32_t block, std::uint64_t in_block, char* data, std::size_t count, std::string& error) {
        std::uint32_t entry = 0;
        if (!map_entry(block, entry, error)) return false;
        if (entry == block_not_allocated && parent_) {
            if (parent_->read(std::uint64_t{block} * header_.block_size + in_block, data, count, error) !=
                image_reader::result::failed) {
                return true;  // past the end of a smaller parent, its reader gave zeros
            }
            return false;
        }
        if (entry == block_not_allocated || entry == block_zeroed) {
            std::memset(data, 0, count);
            return true;
        }
        const std::uint64_t stride = std::uint64_t{header_.block_size} + header_.block_extra;
        const std::uint64_t start = saturated_sum(header_.data_offset, saturated_product(entry, stride));
        const std::uint64_t place = saturated_sum(start, header_.block_extra + in_block);
        if (!fits_inside(place, count, file_->source().size())) {
            error = path_ + ": block " + std::to_string(block) + " of the disk is mapped to data block " +
                    std::to_string(entry) + ", past the end of the file";
            return false;
        }
        return read_file(place, data, count, error);
    }

    bool map_entry(std::uint32_t block, std::uint32_t& entry, std::string& error) {
        const std::uint32_t page_number = block / entries_per_page;
        auto found = map_pages_.find(page_number);
        if (found == map_pages_.end()) {
            if (map_pages_.size() >= most_pages_kept) map_pages_.clear();
            const std::uint32_t first = page_number * entries_per_page;
            const std::uint32_t entries = std::min(entries_per_page, header_.block_count - first);
            std::vector<char> bytes(std::size_t{entries} * 4);
            if (!read_file(header_.block_map_offset + std::uint64_t{first} * 4, bytes.data(), bytes.size(), error)) {
                return false;
            }
            std::vector<std::uint32_t> page(entries);
            for (std::uint32_t i = 0; i < entries; ++i) page[i] = load_le32(bytes.data() + std::size_t{i} * 4);
            found = map_pages_.emplace(page_number, std::move(page)).first;
        }
        entry = found->second[block % entries_per_page];
        return true;
    }

    // The bytes lie inside the file, as checked before.
    bool read_file(std::uint64_t offset, char* data, std::size_t count, std::string& error) {
        std::string failure;
        if (file_->read(offset, data, count, failure) == image_reader::result::done) return true;
        error = path_ + ": " + (failure.empty() ? "the file ended early" : failure);
        return false;
    }

    std::unique_ptr<image_reader> file_;
    std::string path_;
    header header_;
    std::unique_ptr<image_reader> parent_;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> map_pages_;
};

bool recognises(const disk_probe& probe) {
    return probe.head_length >= signature_offset + 4 && load_le32(probe.head + signature_offset) == signature;
}

std::unique_ptr<image_source> open(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                   std::string& error) {
    const std::uint64_t file_size = file->size();
    auto reader = std::make_unique<image_reader>(std::move(file));
    char bytes[header_length];
    std::string failure;
    const image_reader::result read = reader->read(0, bytes, sizeof bytes, failure);
    if (read == image_reader::result::failed) {
        error = path + ": " + failure;
        return nullptr;
    }
    header parsed;
    std::string problem;
    if (!parse_header(bytes, read == image_reader::result::done ? sizeof bytes : 0, file_size, parsed, problem)) {
        error = path + ": " + problem;
        return nullptr;
    }
    std::unique_ptr<image_reader> parent;
    if (has_parent(parsed)) {
        if (parsed.parent == parsed.image) {
            error = path + ": a differencing image that names itself as its parent";
            return nullptr;
        }
        const std::string parent_path = find_parent(path, parsed.parent, error);
        if (parent_path.empty()) return nullptr;
        std::unique_ptr<image_source> parent_disk = open_disk_file(parent_path, depth + 1, error);
        if (!parent_disk) return nullptr;
        parent = std::make_unique<image_reader>(std::move(parent_disk));
    }
    return std::make_unique<vdi_disk>(std::move(reader), path, parsed, std::move(parent));
}

}  // namespace
}  // namespace vdi

const container_format vdi_format = {"VDI", vdi::recognises, vdi::open};

}  // namespace dirtool
