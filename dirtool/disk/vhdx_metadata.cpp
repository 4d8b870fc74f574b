// The VHDX headers, the region table and the metadata region: GUIDs, the current header, and the
// metadata items that say how large the virtual disk is, how its blocks are laid out and where its
// parent is.
#include "disk/vhdx_format.h"

#include "base/bytes.h"
#include "disk/parent_lookup.h"

#include <cstring>
#include <memory>

namespace dirtool {
namespace vhdx {

namespace {

const char file_parameters_item[] = "CAA16737-FA36-4D43-B3B6-33F0AA44E76B";
const char virtual_disk_size_item[] = "2FA54224-CD1B-4876-B211-5DBED83BF4B8";
const char page83_item[] = "BECA12AB-B2E6-4523-93EF-C309E000C746";
const char logical_sector_size_item[] = "8141BF1D-A96F-4709-BA47-F233A8FAAB5F";
const char physical_sector_size_item[] = "CDA348C7-445D-4471-9CC9-E9885251C556";
const char parent_locator_item[] = "A8D35F2D-B30B-454D-ABF7-D3D84834AB0C";
const char bat_region[] = "2DC27766-F623-4200-9D64-115E9BFD4A08";
const char metadata_region[] = "8B7CA206-4790-4B9A-B8FE-575F050F886E";
const char vhdx_parent_locator_type[] = "B04AEFB7-D19E-4A81-B789-25B8E9445913";

constexpr std::size_t metadata_table_size = 64 * 1024;
constexpr std::size_t largest_parent_locator = 64 * 1024;

// Reads the metadata item of `length` bytes at `offset` in the region into `bytes`.
bool read_item(image_reader& file, std::uint64_t region, std::uint32_t offset, std::uint32_t length,
               std::vector<char>& bytes, std::string& why) {
    bytes.assign(length, '\0');
    return length == 0 || read_exactly(file, region + offset, bytes.data(), length, "a metadata item", why);
}

bool read_parent_locator(const std::vector<char>& item, metadata& items, std::string& why) {
    if (item.size() < 20 || text_of(load_guid(item.data())) != vhdx_parent_locator_type) {
        why = "its parent locator is of a kind this tool cannot read";
        return false;
    }
    const std::size_t count = load_le16(item.data() + 18);
    if (20 + 12 * count > item.size()) {
        why = "its parent locator has more entries than it holds";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char* entry = item.data() + 20 + 12 * i;
        const std::uint32_t key_at = load_le32(entry), value_at = load_le32(entry + 4);
        const std::uint16_t key_length = load_le16(entry + 8), value_length = load_le16(entry + 10);
        if (!fits_inside(key_at, key_length, item.size()) || !fits_inside(value_at, value_length, item.size())) {
            why = "an entry of its parent locator lies outside it";
            return false;
        }
        items.parent_locator[utf8_of_utf16(item.data() + key_at, key_length, false)] =
            utf8_of_utf16(item.data() + value_at, value_length, false);
    }
    return true;
}

}  // namespace

bool guid::is_zero() const {
    for (unsigned char b : bytes) {
        if (b != 0) return false;
    }
    return true;
}

bool guid::operator==(const guid& other) const { return std::memcmp(bytes, other.bytes, sizeof bytes) == 0; }

guid load_guid(const char* at) {
    guid id;
    std::memcpy(id.bytes, at, sizeof id.bytes);
    return id;
}

std::string text_of(const guid& id) {
    // The first three fields little-endian, the last eight bytes in order.
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[id.bytes[order[i]] >> 4];
        text += digits[id.bytes[order[i]] & 15];
    }
    return text;
}

bool parse_guid(const std::string& text, guid& id) {
    std::string hex;
    for (char c : text) {
        if (c == '{' || c == '}' || c == '-') continue;
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
        hex += c;
    }
    if (hex.size() != 32) return false;
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) {
        id.bytes[order[i]] = static_cast<unsigned char>(std::stoi(hex.substr(2 * static_cast<std::size_t>(i), 2), nullptr, 16));
    }
    return true;
}

bool read_current_header(image_reader& file, header& current, std::string& why) {
    bool found = false;
    why = "neither of its headers is valid";
    std::vector<char> bytes(header_size);
    for (std::uint64_t offset : header_offsets) {
        std::string ignored;
        if (!read_exactly(file, offset, bytes.data(), header_size, "a header", ignored)) continue;
        const std::uint32_t stored = load_le32(bytes.data() + 4);
        std::memset(bytes.data() + 4, 0, 4);
        if (std::memcmp(bytes.data(), "head", 4) != 0 || !crc32c_matches(bytes.data(), header_size, stored)) continue;
        header h;
        h.sequence = load_le64(bytes.data() + 8);
        h.file_write = load_guid(bytes.data() + 16);
        h.data_write = load_guid(bytes.data() + 32);
        h.log = load_guid(bytes.data() + 48);
        h.log_version = load_le16(bytes.data() + 64);
        h.version = load_le16(bytes.data() + 66);
        h.log_length = load_le32(bytes.data() + 68);
        h.log_offset = load_le64(bytes.data() + 72);
        if (h.version != 1) {
            why = "its header is of version " + std::to_string(h.version) + ", not 1";
            continue;
        }
        if (!found || h.sequence > current.sequence) current = h;
        found = true;
    }
    return found;
}

bool read_metadata(image_reader& file, std::uint64_t offset, std::uint64_t length, metadata& items,
                   std::string& why) {
    // The table's first page holds its header and the entries of any disk known; more is read
    // only for a table that has more entries.
    std::vector<char> table(4096);
    if (length < metadata_table_size) {
        why = "its metadata region is too small for its table";
        return false;
    }
    if (!read_exactly(file, offset, table.data(), table.size(), "the metadata region", why)) return false;
    if (std::memcmp(table.data(), "metadata", 8) != 0) {
        why = "its metadata region has no metadata signature";
        return false;
    }
    const std::size_t count = load_le16(table.data() + 10);
    if (count > 2047) {
        why = "its metadata table has more than 2047 entries";
        return false;
    }
    if (32 + 32 * count > table.size()) {
        table.resize(metadata_table_size);
        if (!read_exactly(file, offset, table.data(), table.size(), "the metadata region", why)) return false;
    }
    bool seen_parameters = false, seen_size = false, seen_logical = false;
    std::vector<char> item;
    for (std::size_t i = 0; i < count; ++i) {
        const char* entry = table.data() + 32 + 32 * i;
        const std::string id = text_of(load_guid(entry));
        const std::uint32_t item_offset = load_le32(entry + 16), item_length = load_le32(entry + 20);
        const bool required = (load_le32(entry + 24) & 4) != 0;
        if (item_length != 0 && (item_offset < metadata_table_size || !fits_inside(item_offset, item_length, length))) {
            why = "metadata item " + id + " lies outside the metadata region";
            return false;
        }
        const auto fixed = [&](std::size_t size) {
            if (item_length < size) {
                why = "metadata item " + id + " is too short";
                return false;
            }
            return read_item(file, offset, item_offset, static_cast<std::uint32_t>(size), item, why);
        };
        if (id == file_parameters_item) {
            if (!fixed(8)) return false;
            items.block_size = load_le32(item.data());
            items.leave_allocated = (load_le32(item.data() + 4) & 1) != 0;
            items.has_parent = (load_le32(item.data() + 4) & 2) != 0;
            seen_parameters = true;
        } else if (id == virtual_disk_size_item) {
            if (!fixed(8)) return false;
            items.virtual_size = load_le64(item.data());
            seen_size = true;
        } else if (id == page83_item) {
            if (!fixed(16)) return false;
            items.page83 = load_guid(item.data());
        } else if (id == logical_sector_size_item) {
            if (!fixed(4)) return false;
            items.logical_sector_size = load_le32(item.data());
            seen_logical = true;
        } else if (id == physical_sector_size_item) {
            if (!fixed(4)) return false;
            items.physical_sector_size = load_le32(item.data());
        } else if (id == parent_locator_item) {
            if (item_length > largest_parent_locator) {
                why = "its parent locator is larger than 64 KiB";
                return false;
            }
            if (!read_item(file, offset, item_offset, item_length, item, why) || !read_parent_locator(item, items, why)) {
                return false;
            }
        } else if (required) {
            why = "it holds a required metadata item this tool does not know, " + id;
            return false;
        }
    }
    if (!seen_parameters || !seen_size || !seen_logical) {
        why = "its metadata lacks the file parameters, the virtual disk size or the logical sector size";
        return false;
    }
    return true;
}

// The BAT and metadata regions from the first region table with a good signature and CRC-32C.
bool read_regions(image_reader& file, region& bat, region& meta, std::string& why) {
    // 64 KiB read into page-aligned memory goes straight from the file, with no copy; it is not
    // zeroed first, since the read fills all of it or fails.
    constexpr std::size_t align = 4096;
    const std::unique_ptr<char[]> storage(new char[region_table_size + align]);
    char* const table = storage.get() + (align - reinterpret_cast<std::uintptr_t>(storage.get()) % align) % align;
    why = "neither of its region tables is valid";
    for (std::uint64_t offset : region_table_offsets) {
        std::string ignored;
        if (!read_exactly(file, offset, table, region_table_size, "a region table", ignored)) continue;
        const std::uint32_t stored = load_le32(table + 4);
        std::memset(table + 4, 0, 4);
        const std::uint32_t count = load_le32(table + 8);
        if (std::memcmp(table, "regi", 4) != 0 || !crc32c_matches(table, region_table_size, stored) || count > 2047) {
            continue;
        }
        bat = meta = region();
        for (std::uint32_t i = 0; i < count; ++i) {
            const char* entry = table + 16 + 32 * i;
            const std::string id = text_of(load_guid(entry));
            region* known = id == bat_region ? &bat : id == metadata_region ? &meta : nullptr;
            if (known == nullptr) {
                if ((load_le32(entry + 28) & 1) == 0) continue;
                why = "it holds a required region this tool does not know, " + id;
                return false;
            }
            known->offset = load_le64(entry + 16);
            known->length = load_le32(entry + 24);
        }
        for (const region* r : {&bat, &meta}) {
            if (r->length == 0 || r->offset % mib != 0 || r->length % mib != 0 || r->offset < header_section_size ||
                !fits_inside(r->offset, r->length, file.source().size())) {
                why = r == &bat ? "its BAT region lies outside the file or is not aligned to 1 MiB"
                                : "its metadata region lies outside the file or is not aligned to 1 MiB";
                return false;
            }
        }
        if (bat.offset < meta.offset + meta.length && meta.offset < bat.offset + bat.length) {
            why = "its BAT and metadata regions overlap";
            return false;
        }
        return true;
    }
    return false;
}

bool check_layout(layout& shape, std::string& why) {
    const metadata& m = shape.items;
    if (m.block_size < mib || m.block_size > 256 * mib || (m.block_size & (m.block_size - 1)) != 0) {
        why = "its block size, " + std::to_string(m.block_size) + ", is not a power of two from 1 MiB to 256 MiB";
        return false;
    }
    if (m.logical_sector_size != 512 && m.logical_sector_size != 4096) {
        why = "its logical sector size, " + std::to_string(m.logical_sector_size) + ", is neither 512 nor 4096";
        return false;
    }
    if (m.physical_sector_size != 0 && m.physical_sector_size != 512 && m.physical_sector_size != 4096) {
        why = "its physical sector size, " + std::to_string(m.physical_sector_size) + ", is neither 512 nor 4096";
        return false;
    }
    if (m.virtual_size == 0 || m.virtual_size % m.logical_sector_size != 0 || m.virtual_size > 64 * mib * mib) {
        why = "its virtual disk size, " + std::to_string(m.virtual_size) + ", is not a whole number of sectors up to 64 TiB";
        return false;
    }
    shape.chunk_ratio = sectors_per_bitmap_block * m.logical_sector_size / m.block_size;
    const std::uint64_t blocks = (m.virtual_size + m.block_size - 1) / m.block_size;
    const std::uint64_t chunks = (blocks + shape.chunk_ratio - 1) / shape.chunk_ratio;
    const std::uint64_t entries = m.has_parent ? chunks * (shape.chunk_ratio + 1) : blocks + (blocks - 1) / shape.chunk_ratio;
    if (saturated_product(entries, 8) > shape.bat.length) {
        why = "its virtual disk size is more than its BAT can map";
        return false;
    }
    return true;
}

}  // namespace vhdx
}  // namespace dirtool
