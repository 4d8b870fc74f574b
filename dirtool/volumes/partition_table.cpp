#include "partition_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace dirtool {

namespace {

constexpr std::uint64_t mbr_sector_size = 512;
constexpr std::size_t mbr_entries_at = 446;
constexpr unsigned first_logical_number = 5;
// Linux names no partition above this number, so none is read past it: it also bounds the work an
// absurd table can cause.
constexpr unsigned last_partition_number = 256;
constexpr std::uint8_t gpt_protective_type = 0xee;
constexpr std::size_t gpt_header_least_size = 92;
constexpr std::uint64_t gpt_entries_limit = 1024 * 1024;
constexpr std::uint32_t gpt_entry_least_size = 128;
constexpr std::uint64_t gpt_sector_sizes[] = {512, 4096};
constexpr std::uint64_t no_bytes_left = std::numeric_limits<std::uint64_t>::max();

std::uint32_t le32(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::uint64_t le64(const char* bytes) {
    return (std::uint64_t{le32(bytes + 4)} << 32) | le32(bytes);
}

// a * b, or the largest value where that does not fit: past the end of any disk.
std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > no_bytes_left / b ? no_bytes_left : a * b;
}

std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) {
    return a > no_bytes_left - b ? no_bytes_left : a + b;
}

std::string number_text(std::uint64_t value) {
    return std::to_string(value);
}

// Collects the partitions in the order of their numbers, refusing those that start past the disk's
// end or overlap one taken before them, and clipping those that run past its end.
class table_builder {
public:
    table_builder(std::uint64_t disk_size, partition_table& table) : disk_size_(disk_size), table_(table) {}

    void add(unsigned number, std::uint64_t first_sector, std::uint64_t sectors, std::uint64_t sector_size) {
        const std::string name = "partition " + number_text(number);
        const std::uint64_t start = saturated_product(first_sector, sector_size);
        const std::uint64_t size = saturated_product(sectors, sector_size);
        if (start >= disk_size_) {
            problem(name + " starts past the end of the image: left out");
            return;
        }
        partition found{number, start, size};
        if (size > disk_size_ - start) {
            found.size = disk_size_ - start;
            problem(name + " runs past the end of the image: clipped to " + number_text(found.size) + " of its " +
                    number_text(size) + " bytes");
        }
        const std::uint64_t end = start + found.size;
        auto after = taken_.upper_bound(start);
        if (after != taken_.end() && after->first < end) {
            problem(name + " overlaps partition " + number_text(after->second.number) + ": left out");
            return;
        }
        if (after != taken_.begin()) {
            const partition& before = std::prev(after)->second;
            if (before.start + before.size > start) {
                problem(name + " overlaps partition " + number_text(before.number) + ": left out");
                return;
            }
        }
        taken_.emplace(start, found);
        table_.partitions.push_back(found);
    }

    void problem(const std::string& text) { table_.problems.push_back(text); }

private:
    std::uint64_t disk_size_;
    partition_table& table_;
    std::map<std::uint64_t, partition> taken_;  // by start
};

struct mbr_entry {
    std::uint8_t boot;
    std::uint8_t type;
    std::uint32_t first_sector;
    std::uint32_t sectors;
};

using sector = std::array<char, mbr_sector_size>;

mbr_entry entry_of(const sector& table, unsigned slot) {
    const char* bytes = table.data() + mbr_entries_at + 16 * slot;
    return {static_cast<std::uint8_t>(bytes[0]), static_cast<std::uint8_t>(bytes[4]), le32(bytes + 8),
            le32(bytes + 12)};
}

bool used(const mbr_entry& entry) {
    return entry.type != 0 && entry.sectors != 0;
}

bool is_extended(const mbr_entry& entry) {
    return entry.type == 0x05 || entry.type == 0x0f || entry.type == 0x85;
}

bool has_table_signature(const sector& table) {
    return static_cast<unsigned char>(table[510]) == 0x55 && static_cast<unsigned char>(table[511]) == 0xaa;
}

bool read_sector(const disk_reader& read, std::uint64_t disk_size, std::uint64_t index, sector& bytes) {
    const std::uint64_t offset = saturated_product(index, mbr_sector_size);
    return offset < disk_size && disk_size - offset >= mbr_sector_size && read(offset, bytes.size(), bytes.data());
}

// Follows the chain of logical partitions of the extended partition at `first_sector`. Each link
// holds a logical partition, placed from the link's own sector, and the next link, placed from the
// extended partition's start. The chain is untrusted: it may lead back on itself or off the disk.
void read_logical_partitions(const disk_reader& read, std::uint64_t disk_size, std::uint64_t first_sector,
                             unsigned& next_number, std::set<std::uint64_t>& visited, table_builder& builder) {
    const std::string rest_left_out = ": no more logical partitions are read";
    std::uint64_t link = first_sector;
    while (true) {
        // Every link costs a read, and an absurd chain could have millions.
        if (visited.size() > last_partition_number) {
            builder.problem("the chain of logical partitions has more than " + number_text(last_partition_number) +
                            " links" + rest_left_out);
            return;
        }
        if (!visited.insert(link).second) {
            builder.problem("the chain of logical partitions leads back to sector " + number_text(link) +
                            rest_left_out);
            return;
        }
        sector table{};
        if (!read_sector(read, disk_size, link, table)) {
            builder.problem("the chain of logical partitions leads to sector " + number_text(link) +
                            ", past the end of the image" + rest_left_out);
            return;
        }
        if (!has_table_signature(table)) {
            builder.problem("the chain of logical partitions holds no table at sector " + number_text(link) +
                            rest_left_out);
            return;
        }
        std::uint64_t next = 0;
        for (unsigned slot = 0; slot < 4; ++slot) {
            const mbr_entry entry = entry_of(table, slot);
            if (!used(entry)) continue;
            if (is_extended(entry)) {
                if (next == 0) next = first_sector + entry.first_sector;
                continue;
            }
            if (next_number > last_partition_number) {
                builder.problem("more than " + number_text(last_partition_number - first_logical_number + 1) +
                                " logical partitions: the rest are left out");
                return;
            }
            const unsigned number = next_number++;
            if (entry.first_sector == 0) {
                builder.problem("partition " + number_text(number) + " starts on the sector of its own table: left out");
                continue;
            }
            builder.add(number, link + entry.first_sector, entry.sectors, mbr_sector_size);
        }
        if (next == 0) return;
        link = next;
    }
}

void read_mbr(const disk_reader& read, std::uint64_t disk_size, const sector& table, partition_table& result) {
    result.kind = table_kind::mbr;
    table_builder builder(disk_size, result);
    for (unsigned slot = 0; slot < 4; ++slot) {
        const mbr_entry entry = entry_of(table, slot);
        if (!used(entry) || is_extended(entry)) continue;
        if (entry.first_sector == 0) {
            builder.problem("partition " + number_text(slot + 1) + " starts on the sector of the partition table: left out");
            continue;
        }
        builder.add(slot + 1, entry.first_sector, entry.sectors, mbr_sector_size);
    }
    // The extended partition only holds the chain of logical ones: it is no partition of its own.
    unsigned next_number = first_logical_number;
    std::set<std::uint64_t> visited{0};
    for (unsigned slot = 0; slot < 4; ++slot) {
        const mbr_entry entry = entry_of(table, slot);
        if (used(entry) && is_extended(entry)) {
            read_logical_partitions(read, disk_size, entry.first_sector, next_number, visited, builder);
        }
    }
}

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
    const std::uint32_t header_size = le32(&bytes[12]);
    if (header_size < gpt_header_least_size || header_size > sector_size) {
        why = "its size is " + number_text(header_size) + " bytes";
        return false;
    }
    const std::uint32_t stored_crc = le32(&bytes[16]);
    std::memset(&bytes[16], 0, 4);
    if (crc32(bytes.data(), header_size) != stored_crc) {
        why = "its checksum is wrong";
        return false;
    }
    const std::uint64_t own_sector = le64(&bytes[24]);
    if (own_sector != sector_index) {
        why = "it says it lies at sector " + number_text(own_sector) + ", not " + number_text(sector_index);
        return false;
    }
    header.entries_sector = le64(&bytes[72]);
    header.entry_count = le32(&bytes[80]);
    header.entry_size = le32(&bytes[84]);
    const std::uint32_t entries_crc = le32(&bytes[88]);
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
        const std::uint64_t first = le64(entry + 32);
        const std::uint64_t last = le64(entry + 40);
        if (last < first) {
            builder.problem("partition " + number_text(number) + " ends before it starts: left out");
            continue;
        }
        builder.add(number, first, saturated_sum(last - first, 1), sector_size);
    }
}

}  // namespace

partition_table read_partition_table(const disk_reader& read, std::uint64_t disk_size) {
    partition_table result;
    sector table{};
    if (!read_sector(read, disk_size, 0, table) || !has_table_signature(table)) return result;
    bool any_used = false;
    bool protective = false;
    for (unsigned slot = 0; slot < 4; ++slot) {
        const mbr_entry entry = entry_of(table, slot);
        // A boot flag other than these means the boot sector of a file system, not a table.
        if (entry.boot != 0 && entry.boot != 0x80) return result;
        any_used = any_used || used(entry);
        protective = protective || entry.type == gpt_protective_type;
    }
    if (protective) {
        read_gpt(read, disk_size, result);
    } else if (any_used) {
        read_mbr(read, disk_size, table, result);
    }
    std::sort(result.partitions.begin(), result.partitions.end(),
              [](const partition& a, const partition& b) { return a.number < b.number; });
    return result;
}

bool split_partition_name(const std::string& name, std::string& disk, unsigned& number) {
    const std::size_t digits = name.find_last_not_of("0123456789") + 1;  // 0 when all are digits
    if (digits == 0 || digits == name.size() || name[digits] == '0' || name.size() - digits > 3) return false;
    number = static_cast<unsigned>(std::stoul(name.substr(digits)));
    if (number > last_partition_number) return false;
    std::size_t disk_end = digits;
    // "p" separates the number only from a disk name that ends in a digit.
    if (name[digits - 1] == 'p' && digits >= 2 && name[digits - 2] >= '0' && name[digits - 2] <= '9') --disk_end;
    disk = name.substr(0, disk_end);
    return true;
}

bool split_pc_disk_name(const std::string& name, unsigned& disk, unsigned& number) {
    std::string disk_name = name;
    number = 0;
    if (name.size() > 3 && !split_partition_name(name, disk_name, number)) return false;
    const bool named = disk_name.size() == 3 && (disk_name.compare(0, 2, "hd") == 0 || disk_name.compare(0, 2, "sd") == 0) &&
                       disk_name[2] >= 'a' && disk_name[2] <= 'z';
    if (!named) return false;
    disk = static_cast<unsigned>(disk_name[2] - 'a');
    return true;
}

std::uint32_t crc32(const char* bytes, std::size_t count) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> values{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit) value = (value & 1u) != 0 ? (value >> 1) ^ 0xedb88320u : value >> 1;
            values[i] = value;
        }
        return values;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 0; i < count; ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(bytes[i])) & 0xffu] ^ (crc >> 8);
    }
    return crc ^ 0xffffffffu;
}

}  // namespace dirtool
