// The devices the tool serves, and the order in which a device name is looked up among them.
#pragma once

#include "base/device.h"
#include "base/image_source.h"

#include <memory>
#include <string>

namespace dirtool {

std::unique_ptr<device> open_folder_device(const std::string& folder);

// The disk image `image_file`: its file system, the partitions of the whole disk it holds, or the
// logical volumes of the physical volume it is. Null with a message in `error` when it holds none.
std::unique_ptr<device> open_image_device(const std::string& image_file, std::string& error);

// The same over a disk already open, which `name` names in messages.
std::unique_ptr<device> open_image_device(std::unique_ptr<image_source> source, const std::string& name,
                                          std::string& error);

// The file system of partition `number` of the whole-disk image `image_file`, or the logical volumes
// of the physical volume it is. Null with a message in `error` when there is no such partition or
// it holds nothing this tool can read.
std::unique_ptr<device> open_partition_device(const std::string& image_file, unsigned number, std::string& error);

// The same over a whole disk already open, which `name` names in messages.
std::unique_ptr<device> open_partition_device(std::unique_ptr<image_source> source, const std::string& name,
                                              unsigned number, std::string& error);

// The PC's own disk `disk` (0 for the first), read raw: all of it when `number` is 0, else that
// partition of it. A disk that cannot be read is a device that holds nothing: every path on it is
// not found, and the error of each request says why.
std::unique_ptr<device> open_pc_disk_device(unsigned disk, unsigned number);

// The device /dev/NAME: the image NAME.img in `devices` when that file exists, else the folder
// NAME. When neither exists and NAME names a partition as Linux does ("sda2", "nvme0n1p2"), that
// partition of the disk's image ("sda.img", "nvme0n1.img"). On Windows, a name that is none of
// these and names one of the PC's disks ("hda1", "sdb") is that disk (see open_pc_disk_device).
// Null with a message in `error` when the image cannot be read.
std::unique_ptr<device> open_device(const std::string& devices, const std::string& name, std::string& error);

}  // namespace dirtool
