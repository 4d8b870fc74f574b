// A disk's volumes served as folders: the partitions of a whole disk, or the logical volumes of the
// volume group on a physical volume. Each folder holds what its volume does: an ext2/3/4 file system,
// the logical volumes of a physical volume, or, in a logical volume, partitions again. A volume of
// another kind, an encrypted one, or one that cannot be read is listed all the same, and entering
// it says what it is.
#pragma once

#include "base/device.h"
#include "disk/disk.h"
#include "volumes/volumes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

struct volume_folder {
    std::string folder;                  // its name in the listing: "2", "root"
    std::string name;                    // in messages: "partition 2", "logical volume vg/root"
    std::uint64_t size = 0;              // in bytes
    std::shared_ptr<image_reader> disk;  // null for a volume that is not read
    std::string not_read;                // why, when there is no disk
    bool may_hold_table = false;         // a logical volume may be partitioned; a partition is not read so
};

// The disks of a partition table's partitions, where a physical volume looks for the others of its
// group.
using sibling_disks = std::vector<std::shared_ptr<image_reader>>;

// What `volume` holds, as a device; null with one message in `error`. `depth` counts the volumes
// this one stands in, which bounds a description that leads back into itself.
std::unique_ptr<device> open_volume(const volume_folder& volume, const sibling_disks& siblings, unsigned depth,
                                    std::string& error);

// A folder per volume. `disk` gives the root's own time; `problems`, prefixed with `name`, are
// said after the root's listing.
std::unique_ptr<device> open_volume_folders(std::shared_ptr<image_reader> disk, std::string name,
                                            std::vector<volume_folder> volumes, std::vector<std::string> problems,
                                            sibling_disks siblings, unsigned depth);

// The folders of a partition table's partitions, and their disks as each other's siblings.
std::vector<volume_folder> partition_folders(const std::shared_ptr<image_reader>& disk,
                                             const std::vector<partition>& partitions,
                                             sibling_disks& siblings);

// The logical volumes of the physical volume on `disk`, as a device; null with one message in
// `error` when it holds no physical volume (`error` then empty) or its group cannot be read.
std::unique_ptr<device> open_physical_volume(const std::shared_ptr<image_reader>& disk, const std::string& name,
                                             const sibling_disks& siblings, unsigned depth, std::string& error);

}  // namespace dirtool
