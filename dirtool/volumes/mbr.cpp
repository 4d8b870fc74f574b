// The partitions of an MBR: four primary entries, and the chain of logical partitions that an
// extended partition holds.
#include "volumes/table_reading.h"

#include "base/bytes.h"

#include <set>

namespace dirtool {
namespace tables {
namespace {

bool is_extended(const mbr_entry& entry) {
    return entry.type == 0x05 || entry.type == 0x0f || entry.type == 0x85;
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

}  // namespace

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

}  // namespace tables
}  // namespace dirtool
