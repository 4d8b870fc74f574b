// What the MBR and GPT readers share: the sector of an MBR, its entries, and the builder that
// takes each partition a table names only when it lies on the disk and overlaps none before it.
#pragma once

#include "volumes/volumes.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace dirtool {
namespace tables {

constexpr std::uint64_t mbr_sector_size = 512;
constexpr std::size_t mbr_entries_at = 446;
constexpr unsigned first_logical_number = 5;
// Linux names no partition above this number, so none is read past it: it also bounds the work an
// absurd table can cause.
constexpr unsigned last_partition_number = 256;
constexpr std::uint8_t gpt_protective_type = 0xee;

using sector = std::array<char, mbr_sector_size>;

struct mbr_entry {
    std::uint8_t boot;
    std::uint8_t type;
    std::uint32_t first_sector;
    std::uint32_t sectors;
};

mbr_entry entry_of(const sector& table, unsigned slot);
bool used(const mbr_entry& entry);
bool has_table_signature(const sector& table);
bool read_sector(const disk_reader& read, std::uint64_t disk_size, std::uint64_t index, sector& bytes);

inline std::string number_text(std::uint64_t value) {
    return std::to_string(value);
}

// Collects the partitions in the order of their numbers, refusing those that start past the disk's
// end or overlap one taken before them, and clipping those that run past its end.
class table_builder {
public:
    table_builder(std::uint64_t disk_size, partition_table& table) : disk_size_(disk_size), table_(table) {}

    void add(unsigned number, std::uint64_t first_sector, std::uint64_t sectors, std::uint64_t sector_size);
    void problem(const std::string& text) { table_.problems.push_back(text); }

private:
    std::uint64_t disk_size_;
    partition_table& table_;
    std::map<std::uint64_t, partition> taken_;  // by start
};

// The primary partitions of the MBR in `table` and the logical ones of its extended partitions.
void read_mbr(const disk_reader& read, std::uint64_t disk_size, const sector& table, partition_table& result);

// The GPT that a protective MBR announces, its backup where the primary is damaged.
void read_gpt(const disk_reader& read, std::uint64_t disk_size, partition_table& result);

}  // namespace tables
}  // namespace dirtool
