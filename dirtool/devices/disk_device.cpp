// A disk served as a device: the file system it holds from its first byte, or else, on a whole
// disk, one folder per partition, named by the partition's number, each holding what that
// partition holds (see volume_device.h), read exactly as a bare image of it would be; or, on a
// physical volume, one folder per logical volume of its group.
#include "devices/devices.h"

#include "devices/volume_device.h"
#include "disk/disk.h"
#include "ext/ext.h"
#include "host/host_fs.h"
#include "volumes/lvm.h"
#include "volumes/volumes.h"

#include <algorithm>
#include <utility>

namespace dirtool {

std::unique_ptr<device> open_image_device(const std::string& image_file, std::string& error) {
    std::unique_ptr<image_source> source = open_disk_file(image_file, 0, error);
    if (!source) return nullptr;
    return open_image_device(std::move(source), image_file, error);
}

std::unique_ptr<device> open_image_device(std::unique_ptr<image_source> source, const std::string& name,
                                          std::string& error) {
    auto disk = std::make_shared<image_reader>(std::move(source));
    std::unique_ptr<device> bare = open_ext_device(disk, name, error);
    if (bare) return bare;
    // No file system from the image's first byte: a whole disk holds a partition table there, a
    // physical volume its label, an encrypted volume its signature; an image that holds none of
    // these keeps the file system's message.
    partition_table table = read_partition_table(*disk);
    if (table.kind != table_kind::none) {
        sibling_disks siblings;
        std::vector<volume_folder> folders = partition_folders(disk, table.partitions, siblings);
        return open_volume_folders(disk, name, std::move(folders), std::move(table.problems), std::move(siblings), 0);
    }
    std::string refused;
    std::unique_ptr<device> group = open_physical_volume(disk, name, {}, 0, refused);
    if (group || !refused.empty()) {
        error = refused;
        return group;
    }
    const std::string encryption = encryption_of(*disk);
    if (!encryption.empty()) error = name + ": encrypted (" + encryption + "): not read";
    return nullptr;
}

std::unique_ptr<device> open_partition_device(const std::string& image_file, unsigned number, std::string& error) {
    std::unique_ptr<image_source> source = open_disk_file(image_file, 0, error);
    if (!source) return nullptr;
    return open_partition_device(std::move(source), image_file, number, error);
}

std::unique_ptr<device> open_partition_device(std::unique_ptr<image_source> source, const std::string& image_file,
                                              unsigned number, std::string& error) {
    const auto disk = std::make_shared<image_reader>(std::move(source));
    const partition_table table = read_partition_table(*disk);
    const std::string name = "partition " + std::to_string(number);
    if (table.kind == table_kind::none) {
        error = image_file + " holds no partition table, so no " + name;
        return nullptr;
    }
    const auto found = std::find_if(table.partitions.begin(), table.partitions.end(),
                                    [number](const partition& part) { return part.number == number; });
    if (found == table.partitions.end()) {
        error = image_file + " has no " + name;
        // Say why, when the table named it but could not be trusted with it.
        for (const std::string& problem : table.problems) {
            if (problem.rfind(name + " ", 0) == 0) error += ": " + problem;
        }
        return nullptr;
    }
    sibling_disks siblings;
    const std::vector<volume_folder> folders = partition_folders(disk, table.partitions, siblings);
    return open_volume(folders[static_cast<std::size_t>(found - table.partitions.begin())], siblings, 0, error);
}

}  // namespace dirtool
