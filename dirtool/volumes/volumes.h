// What divides a disk into volumes: the partition table of a whole disk, an MBR with its extended
// and logical partitions, or a GPT. Each partition is a window of the disk (open_window), a disk
// again to the layers above. The tables are read through a callback, so that a test or a fuzzer
// can hand them any bytes. The table is untrusted: whatever does not add up is left out or
// clipped, with a message, and nothing is read outside the disk.
#pragma once

#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dirtool {

// Fills `data` with the `size` bytes at `offset` of the disk; false when they cannot be read. Only
// ever asked for bytes inside the disk's size.
using disk_reader = std::function<bool(std::uint64_t offset, std::size_t size, char* data)>;

enum class table_kind { none, mbr, gpt };

struct partition {
    unsigned number = 0;      // as Linux numbers it: 1 to 4 primary, 5 up logical; a GPT entry's index from 1
    std::uint64_t start = 0;  // in bytes from the disk's start
    std::uint64_t size = 0;   // in bytes, clipped to the disk's end
};

struct partition_table {
    table_kind kind = table_kind::none;
    std::uint32_t sector_size = 512;
    std::vector<partition> partitions;  // by number
    // What was wrong with the table: each refused or clipped partition, a damaged GPT header, a
    // broken chain of logical partitions. The partitions above are still sound.
    std::vector<std::string> problems;
};

// Reads the table of a disk of `disk_size` bytes. `kind` stays none when the disk holds neither an
// MBR nor a GPT; a GPT that cannot be read at all comes back with no partitions and a problem.
partition_table read_partition_table(const disk_reader& read, std::uint64_t disk_size);

// The partition a Linux device name stands for: "sda2" is partition 2 of "sda", and where the disk's
// name ends in a digit a "p" comes before the number ("nvme0n1p2", "mmcblk0p1"). False for a name
// that is no disk name followed by a partition number.
bool split_partition_name(const std::string& name, std::string& disk, unsigned& number);

// The PC's own disk a device name stands for on Windows: "hd" or "sd", a letter that numbers the
// disk ("a" is disk 0) and optionally a partition number. "hda1" is partition 1 of disk 0; "sdb" is
// the whole of disk 1, and `number` is 0 for it. False for any other name.
bool split_pc_disk_name(const std::string& name, unsigned& disk, unsigned& number);

// The table of a whole disk read through the disk layer.
partition_table read_partition_table(image_reader& disk);

}  // namespace dirtool
