// The ext layer: an ext2, ext3 or ext4 file system on a disk (an image, a partition, a volume),
// served as a device through libext2fs.
#pragma once

#include "base/device.h"
#include "disk/disk.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dirtool {

// Whether the disk holds an ext superblock's magic number, or a backup superblock in group 1 where
// the primary's is gone: tells a disk of another kind apart from a damaged ext file system.
bool has_ext_magic(image_reader& disk);

// When the file system on `disk` was last written, as its superblock says; false when there is none
// there or it does not say.
bool ext_last_written(const std::shared_ptr<image_reader>& disk, std::int64_t& seconds);

// The file system on `disk`, which `name` names in messages. Null, with a message in `error`, when
// the disk holds none this tool can read.
std::unique_ptr<device> open_ext_device(const std::shared_ptr<image_reader>& disk, const std::string& name,
                                        std::string& error);

}  // namespace dirtool
