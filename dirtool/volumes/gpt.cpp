// The partitions of a GPT disk: the primary header and its entries, or the backup at the disk's end
// where the primary does not match its CRC32.
#include "volumes/table_reading.h"

#include "base/bytes.h"

#include <cstring>
#include <vector>

namespace dirtool {
namespace tables {
namespace {

constexpr std::size_t gpt_header_least_size = 92;
constexpr std::uint64_t gpt_entries_limit = 1024 * 1024;
constexpr std::uint32_t gpt_entry_least_size = 128;
constexpr std::uint64_t gpt_sector_sizes[] = {512, 4096};

struct gpt_header {
    std::uint64_t entries_sector = 0;
    std::uint32_t entry_count = 0;
    std::uint32_t entry_size = 0;
    std::vector<char> entries;
};

bool has_gpt_signature(const disk_reader& read, std::uint64_t disk_size, std::uint64_t offset) {
    char signature[8];
    return offset < disk_size && disk_size - offset >= sizeof signature &&
           read(offset, sizeof signature, signature) && std::memcmp(signature, "EFI PART", 8) == 0;
}

// The GPT header at `sector_index` and the entries it points to, each checked against its CRC32.
// False with the reason in `why` for a header that cannot be trusted.
bool read_gpt_header(const disk_reader& read, std::uint64_t disk_size, std::uint64_t sector_size,
                     std::uint64_t sector_index, gpt_header& header, std::string& why) {
    const std::uint64_t offset = saturated_product(sector_index, sector_size);
    if (offset >= disk_size || disk_size - offset < sector_size) {
        why = "it lies past the end of the image";
        return false;
    }
    std::vector<char> bytes(static_cast<std::size_t>(sector_size));
    if (!read(offset, bytes.size(), bytes.data())) {
        why = "it cannot be read";
        return false;
    }
    if (std::memcmp(bytes.data(), "EFI PART", 8) != 0) {
        why = "it has no GPT signature";
        return false;
    }
    const std::uint32_t header_size = load_le32(&bytes[12]);
    if (header_size < gpt_header_least_size || header_size > sector_size) {
        why = "its size is " + number_text(header_size) + " bytes";
        return false;
    }
    const std::uint32_t stored_crc = load_le32(&bytes[16]);
    std::memset(&bytes[16], 0, 4);
    if (crc32(bytes.data(), header_size) != stored_crc) {
        why = "its checksum is wrong";
        return false;
    }
    const std::uint64_t own_sector = load_le64(&bytes[24]);
    if (own_sector != sector_index) {
        why = "it says it lies at sector " + number_text(own_sector) + ", not " + number_text(sector_index);
        return false;
    }
    header.entries_sector = load_le64(&bytes[72]);
    header.entry_count = load_le32(&bytes[80]);
    header.entry_size = load_le32(&bytes[84]);
    const std::uint32_t entries_crc = load_le32(&bytes[88]);
    if (header.entry_size < gpt_entry_least_size || header.entry_size % 8 != 0) {
        why = "its entries are " + number_text(header.entry_size) + " bytes each";
        return false;
    }
    const std::uint64_t entries_size = std::uint64_t{header.entry_count} * header.entry_size;
    if (entries_size > gpt_entries_limit) {
        why = "it claims " + number_text(header.entry_count) + " entries of " + number_text(header.entry_size) +
              " bytes, more than " + number_text(gpt_entries_limit) + " bytes of them";
        return false;
    }
    const std::uint64_t entries_offset = saturated_product(header.entries_sector, sector_size);
    if (entries_offset >= disk_size || disk_size - entries_offset < entries_size) {
        why = "its partition entries lie past the end of the image";
        return false;
    }
    header.entries.assign(static_cast<std::size_t>(entries_size), 0);
    if (!read(entries_offset, header.entries.size(), header.entries.data())) {
        why = "its partition entries cannot be read";
        return false;
    }
    if (crc32(header.entries.data(), header.entries.size()) != entries_crc) {
        why = "the checksum of its partition entries is wrong";
        return false;
    }
    return true;
}

}  // namespace

void read_gpt(const disk_reader& read, std::uint64_t disk_size, partition_table& result) {
    result.kind = table_kind::gpt;
    table_builder builder(disk_size, result);
    // The header follows the protective MBR in the disk's first sector; a disk of 4096-byte sectors
    // has it at 4096, and nothing at 512. Either header, primary or backup, tells the sector size.
    std::uint64_t sector_size = 0;
    for (const std::uint64_t size : gpt_sector_sizes) {
        if (disk_size / size < 2) break;
        if (has_gpt_signature(read, disk_size, size) ||
            has_gpt_signature(read, disk_size, (disk_size / size - 1) * size)) {
            sector_size = size;
            break;
        }
    }
    if (sector_size == 0) {
        builder.problem("the protective MBR of a GPT disk, but no GPT header: no partitions can be read");
        return;
    }
    result.sector_size = static_cast<std::uint32_t>(sector_size);

    gpt_header header;
    std::string why;
    if (!read_gpt_header(read, disk_size, sector_size, 1, header, why)) {
        builder.problem("the primary GPT is damaged: " + why + "; reading the backup at the image's end");
        if (!read_gpt_header(read, disk_size, sector_size, disk_size / sector_size - 1, header, why)) {
            builder.problem("the backup GPT is damaged too: " + why + ": no partitions can be read");
            return;
        }
    }
    for (std::uint32_t index = 0; index < header.entry_count; ++index) {
        const char* entry = header.entries.data() + std::size_t{index} * header.entry_size;
        static const char unused_type[16] = {};
        if (std::memcmp(entry, unused_type, sizeof unused_type) == 0) continue;
        if (index >= last_partition_number) {
            builder.problem("partition entries past number " + number_text(last_partition_number) + " are left out");
            return;
        }
        const unsigned number = index + 1;
        const std::uint64_t first = load_le64(entry + 32);
        const std::uint64_t last = load_le64(entry + 40);
        if (last < first) {
            builder.problem("partition " + number_text(number) + " ends before it starts: left out");
            continue;
        }
        builder.add(number, first, saturated_sum(last - first, 1), sector_size);
    }
}

}  // namespace tables
}  // namespace dirtool
