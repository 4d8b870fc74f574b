// The partition table of a disk: which of MBR or GPT its first sector announces, and the Linux
// names of partitions.
#include "volumes/table_reading.h"

#include "base/bytes.h"

#include <algorithm>
#include <iterator>

namespace dirtool {
namespace tables {

void table_builder::add(unsigned number, std::uint64_t first_sector, std::uint64_t sectors, std::uint64_t sector_size) {
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

mbr_entry entry_of(const sector& table, unsigned slot) {
    const char* bytes = table.data() + mbr_entries_at + 16 * slot;
    return {static_cast<std::uint8_t>(bytes[0]), static_cast<std::uint8_t>(bytes[4]), load_le32(bytes + 8),
            load_le32(bytes + 12)};
}

bool used(const mbr_entry& entry) {
    return entry.type != 0 && entry.sectors != 0;
}

bool has_table_signature(const sector& table) {
    return static_cast<unsigned char>(table[510]) == 0x55 && static_cast<unsigned char>(table[511]) == 0xaa;
}

bool read_sector(const disk_reader& read, std::uint64_t disk_size, std::uint64_t index, sector& bytes) {
    const std::uint64_t offset = saturated_product(index, mbr_sector_size);
    return offset < disk_size && disk_size - offset >= mbr_sector_size && read(offset, bytes.size(), bytes.data());
}

}  // namespace tables

using namespace tables;

partition_table read_partition_table(image_reader& disk) {
    const disk_reader read = [&disk](std::uint64_t offset, std::size_t size, char* data) {
        std::string ignored;
        return disk.read(offset, data, size, ignored) == image_reader::result::done;
    };
    return read_partition_table(read, disk.source().size());
}

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

}  // namespace dirtool
