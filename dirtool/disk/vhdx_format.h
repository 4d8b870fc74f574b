// What the parts of the VHDX reader share: the file's fixed layout, its GUIDs, the current header,
// the metadata items and the in-memory replay of the log. Private to disk/vhdx*.cpp.
#pragma once

#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dirtool {
namespace vhdx {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;
// The header section: the file type identifier, two headers, two region tables, each in 64 KiB.
constexpr std::uint64_t header_section_size = mib;
constexpr std::uint64_t header_offsets[2] = {64 * kib, 128 * kib};
constexpr std::uint64_t region_table_offsets[2] = {192 * kib, 256 * kib};
constexpr std::size_t header_size = 4096;
constexpr std::size_t region_table_size = 64 * 1024;

// A GUID as the file stores it: its first three fields little-endian.
struct guid {
    unsigned char bytes[16] = {};
    bool is_zero() const;
    bool operator==(const guid& other) const;
    bool operator!=(const guid& other) const { return !(*this == other); }
};
guid load_guid(const char* at);
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, as GUID text is written.
std::string text_of(const guid& id);
// The GUID that text such as "{6b0d9b5a-...}" names; false when it names none.
bool parse_guid(const std::string& text, guid& id);

struct header {
    std::uint64_t sequence = 0;
    guid file_write, data_write, log;
    std::uint16_t log_version = 0;
    std::uint16_t version = 0;
    std::uint32_t log_length = 0;
    std::uint64_t log_offset = 0;
};

// Of the two headers, the valid one (signature, CRC-32C, version 1) with the higher sequence
// number; false with the reason in `why` when neither is valid.
bool read_current_header(image_reader& file, header& current, std::string& why);

// The metadata items the reader uses.
struct metadata {
    std::uint32_t block_size = 0;
    bool leave_allocated = false;
    bool has_parent = false;
    std::uint64_t virtual_size = 0;
    std::uint32_t logical_sector_size = 0;
    std::uint32_t physical_sector_size = 0;
    guid page83;
    std::map<std::string, std::string> parent_locator;  // key -> value, both as UTF-8
};

// Reads and checks the metadata region at [offset, offset + length) of the file.
bool read_metadata(image_reader& file, std::uint64_t offset, std::uint64_t length, metadata& items,
                   std::string& why);

// One logical sector's bit in each bitmap block: a chunk of payload blocks is this many sectors.
constexpr std::uint64_t sectors_per_bitmap_block = std::uint64_t{1} << 23;

struct region {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The layout of the blocks once the metadata has been read.
struct layout {
    metadata items;
    region bat;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reserved;  // [start, end): no block lies there
    std::uint64_t chunk_ratio = 0;
};

// The BAT and metadata regions from the first region table with a good signature and CRC-32C.
bool read_regions(image_reader& file, region& bat, region& meta, std::string& why);

// Checks the metadata's sizes against each other and the BAT, and sets the chunk ratio.
bool check_layout(layout& shape, std::string& why);

// The file's bytes as its log says they are once replayed: writes the log holds, over the file.
struct log_overlay {
    std::map<std::uint64_t, std::vector<char>> pages;              // 4 KiB pages written, by offset
    std::vector<std::pair<std::uint64_t, std::uint64_t>> zeroed;   // [start, end) zeroed before them
    std::uint64_t size = 0;                                        // the file's size after the log
    bool empty() const { return pages.empty() && zeroed.empty(); }
};

// Finds the log's active sequence of entries and replays it into `overlay`, reading only; false
// with the reason in `why` when the log cannot be read or is inconsistent with the file.
bool replay_log(image_reader& file, const header& current, log_overlay& overlay, std::string& why);

// The file as `overlay` changes it.
std::unique_ptr<image_source> open_overlay(std::shared_ptr<image_reader> file, log_overlay overlay);

}  // namespace vhdx
}  // namespace dirtool
