// The device names that stand for a partition, and for one of the PC's own disks.
#include "volumes/volumes.h"

#include <gtest/gtest.h>

namespace dirtool {
namespace {

TEST(PartitionName, SplitsLinuxPartitionNamesOnly) {
    const struct {
        const char* name;
        const char* disk;  // null when the name stands for no partition
        unsigned number;
    } rows[] = {
        {"sda2", "sda", 2},       {"hda1", "hda", 1},          {"vdb5", "vdb", 5},
        {"sdc256", "sdc", 256},   {"nvme0n1p2", "nvme0n1", 2}, {"mmcblk0p1", "mmcblk0", 1},
        {"loop0p12", "loop0", 12},
        // A "p" after a letter is part of the disk's name.
        {"sdap1", "sdap", 1},
        // Read as Linux would name partition 1 of a disk "nvme0n".
        {"nvme0n1", "nvme0n", 1},
        {"sda", nullptr, 0},      {"sda0", nullptr, 0},        {"sda01", nullptr, 0},
        {"sda257", nullptr, 0},   {"sda1000", nullptr, 0},     {"12", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const auto& row : rows) {
        std::string disk = "unchanged";
        unsigned number = 0;
        EXPECT_EQ(split_partition_name(row.name, disk, number), row.disk != nullptr) << row.name;
        if (row.disk != nullptr) {
            EXPECT_EQ(disk, row.disk) << row.name;
            EXPECT_EQ(number, row.number) << row.name;
        }
    }
}

TEST(PartitionName, NamesThePcsOwnDisksByLetter) {
    const struct {
        const char* name;
        bool names_a_disk;
        unsigned disk;
        unsigned number;  // 0 for the whole disk
    } rows[] = {
        {"hda1", true, 0, 1},   {"sda", true, 0, 0},    {"sdb", true, 1, 0},    {"hdb5", true, 1, 5},
        {"sdz256", true, 25, 256},
        {"hda0", false, 0, 0},  {"sda01", false, 0, 0}, {"sda257", false, 0, 0}, {"vda1", false, 0, 0},
        {"sdA1", false, 0, 0},  {"sdab", false, 0, 0},  {"sdap1", false, 0, 0}, {"sd", false, 0, 0},
        {"sd1", false, 0, 0},   {"nvme0n1p1", false, 0, 0}, {"", false, 0, 0},
    };
    for (const auto& row : rows) {
        unsigned disk = 99;
        unsigned number = 99;
        ASSERT_EQ(split_pc_disk_name(row.name, disk, number), row.names_a_disk) << row.name;
        if (!row.names_a_disk) continue;
        EXPECT_EQ(disk, row.disk) << row.name;
        EXPECT_EQ(number, row.number) << row.name;
    }
}

}  // namespace
}  // namespace dirtool
