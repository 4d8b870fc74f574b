// The physical volume's label and header, and the metadata areas they point at: each area starts
// with a header of its own, whose first raw location says where in the area's circular buffer the
// current description stands and what its checksum is.
#include "volumes/lvm.h"

#include "base/bytes.h"

#include <array>
#include <cstring>

namespace dirtool {
namespace lvm {
namespace {

constexpr std::size_t label_sector_size = 512;
constexpr unsigned label_sectors = 4;  // the label stands in one of the first four
constexpr std::size_t label_checked_from = 20;  // the CRC covers the sector after its own field
constexpr std::size_t pv_header_fixed_size = 32 + 8;  // the UUID and the device's size
constexpr std::size_t disk_locn_size = 16;
constexpr std::size_t mda_header_size = 512;
constexpr std::size_t raw_locn_at = 40;
constexpr std::uint32_t raw_locn_ignored = 1;
// A volume has one or two metadata areas; a header that lists more than this is not believed.
constexpr std::size_t most_metadata_areas = 8;
constexpr char mda_magic[] = "\x20LVM2\x20x[5A%r0N*>";

using label_sector = std::array<char, label_sector_size>;

std::string number_text(std::uint64_t value) {
    return std::to_string(value);
}

// Reads a list of disk locations, ended by one whose offset is 0, from `at` in the sector; false
// when the sector ends before the list does.
bool read_locations(const label_sector& bytes, std::size_t& at, std::vector<disk_area>& areas) {
    while (at + disk_locn_size <= bytes.size()) {
        const disk_area area{load_le64(bytes.data() + at), load_le64(bytes.data() + at + 8)};
        at += disk_locn_size;
        if (area.offset == 0) return true;
        areas.push_back(area);
    }
    return false;
}

label_found read_header(const label_sector& bytes, std::uint64_t index, pv_label& label, std::string& problem) {
    const std::string where = "the LVM label in sector " + number_text(index);
    if (load_le64(bytes.data() + 8) != index) {
        problem = where + " says it stands elsewhere";
        return label_found::damaged;
    }
    if (load_le32(bytes.data() + 16) != lvm_crc(bytes.data() + label_checked_from, bytes.size() - label_checked_from)) {
        problem = where + ": its checksum is wrong";
        return label_found::damaged;
    }
    if (std::memcmp(bytes.data() + 24, "LVM2 001", 8) != 0) {
        problem = where + " is of a kind this tool does not read";
        return label_found::damaged;
    }
    std::size_t at = load_le32(bytes.data() + 20);
    if (at < 32 || at > bytes.size() - pv_header_fixed_size) {
        problem = where + " places its header outside its sector";
        return label_found::damaged;
    }
    label = pv_label{};
    label.uuid.assign(bytes.data() + at, 32);
    label.device_size = load_le64(bytes.data() + at + 32);
    at += pv_header_fixed_size;
    if (!read_locations(bytes, at, label.data_areas) || !read_locations(bytes, at, label.metadata_areas)) {
        problem = where + ": its lists of areas run past its sector";
        return label_found::damaged;
    }
    return label_found::found;
}

// The current text of one metadata area, or a message in `problem`; false with neither when the
// area holds none (a volume in no group) or is marked to be ignored.
bool read_area_text(const disk_reader& read, std::uint64_t disk_size, const disk_area& area, std::string& text,
                    std::string& problem) {
    if (area.size <= mda_header_size || !fits_inside(area.offset, area.size, disk_size)) {
        problem = "it lies outside the disk";
        return false;
    }
    std::array<char, mda_header_size> header{};
    if (!read(area.offset, header.size(), header.data())) {
        problem = "its header cannot be read";
        return false;
    }
    if (load_le32(header.data()) != lvm_crc(header.data() + 4, header.size() - 4)) {
        problem = "its header's checksum is wrong";
        return false;
    }
    if (std::memcmp(header.data() + 4, mda_magic, 16) != 0 || load_le32(header.data() + 20) != 1) {
        problem = "its header is of a kind this tool does not read";
        return false;
    }
    if (load_le64(header.data() + 24) != area.offset || load_le64(header.data() + 32) != area.size) {
        problem = "its header says it stands elsewhere";
        return false;
    }
    const char* raw = header.data() + raw_locn_at;
    const std::uint64_t offset = load_le64(raw);
    const std::uint64_t size = load_le64(raw + 8);
    const std::uint32_t checksum = load_le32(raw + 16);
    if ((load_le32(raw + 20) & raw_locn_ignored) != 0 || offset == 0 || size == 0) return false;
    const std::uint64_t buffer = area.size - mda_header_size;
    if (offset < mda_header_size || offset >= area.size || size > buffer) {
        problem = "its description lies outside its buffer";
        return false;
    }
    if (size > largest_metadata_text) {
        problem = "its description of " + number_text(size) + " bytes is larger than any this tool reads";
        return false;
    }
    // The buffer is circular: a description that reaches its end goes on after the header.
    const std::uint64_t first_part = size < area.size - offset ? size : area.size - offset;
    text.assign(static_cast<std::size_t>(size), '\0');
    if (!read(area.offset + offset, static_cast<std::size_t>(first_part), &text[0]) ||
        (first_part < size && !read(area.offset + mda_header_size, static_cast<std::size_t>(size - first_part),
                                    &text[static_cast<std::size_t>(first_part)]))) {
        problem = "its description cannot be read";
        return false;
    }
    if (lvm_crc(text.data(), text.size()) != checksum) {
        problem = "its description's checksum is wrong";
        return false;
    }
    return true;
}

}  // namespace

std::uint32_t lvm_crc(const void* bytes, std::size_t count) {
    // The IEEE CRC-32 inverts before and after; LVM's does neither, from its own start value.
    return ~crc32(bytes, count, ~std::uint32_t{0xf597a6cf});
}

label_found read_pv_label(const disk_reader& read, std::uint64_t disk_size, pv_label& label, std::string& problem) {
    label_found result = label_found::none;
    for (unsigned index = 0; index < label_sectors; ++index) {
        label_sector bytes{};
        const std::uint64_t offset = std::uint64_t{index} * label_sector_size;
        if (!fits_inside(offset, label_sector_size, disk_size) || !read(offset, bytes.size(), bytes.data())) break;
        if (std::memcmp(bytes.data(), "LABELONE", 8) != 0) continue;
        std::string damage;
        if (read_header(bytes, index, label, damage) == label_found::found) {
            problem.clear();
            return label_found::found;
        }
        // A damaged copy is told only when no sector holds a sound one.
        if (result == label_found::none) problem = damage;
        result = label_found::damaged;
    }
    return result;
}

std::vector<std::string> read_metadata_texts(const disk_reader& read, std::uint64_t disk_size, const pv_label& label,
                                             std::vector<std::string>& problems) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < label.metadata_areas.size() && i < most_metadata_areas; ++i) {
        std::string text;
        std::string problem;
        if (read_area_text(read, disk_size, label.metadata_areas[i], text, problem)) {
            texts.push_back(std::move(text));
        } else if (!problem.empty()) {
            problems.push_back("metadata area " + number_text(i + 1) + ": " + problem);
        }
    }
    return texts;
}

}  // namespace lvm
}  // namespace dirtool
