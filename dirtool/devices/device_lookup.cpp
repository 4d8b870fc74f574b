// The order in which a device name is looked up: an image, a folder, a partition of a whole-disk
// image, and on Windows one of the PC's own disks.
#include "devices/devices.h"

#include "host/host_fs.h"
#include "volumes/volumes.h"

namespace dirtool {

std::unique_ptr<device> open_device(const std::string& devices, const std::string& name, std::string& error) {
    entry_info image;
    const std::string image_file = devices + "/" + name + ".img";
    if (stat_entry(image_file, true, image) && image.type != 'd') {
        return open_image_device(image_file, error);
    }
    const std::string folder = devices + "/" + name;
    entry_info found;
    std::string disk;
    unsigned number = 0;
    if (stat_entry(folder, true, found)) return open_folder_device(folder);
    if (split_partition_name(name, disk, number)) {
        const std::string disk_file = devices + "/" + disk + ".img";
        if (stat_entry(disk_file, true, image) && image.type != 'd') return open_partition_device(disk_file, number, error);
    }
    // What the devices folder does not hold may be one of the PC's own disks, which Windows reads raw.
    unsigned disk_number = 0;
    if (this_host == host_kind::win32 && split_pc_disk_name(name, disk_number, number)) {
        return open_pc_disk_device(disk_number, number);
    }
    return open_folder_device(folder);
}

}  // namespace dirtool
