// A device as the stand-in tool serves it: a folder of the host, or a disk image in builds that read
// images. The tool's two commands are written once, over this interface.
#pragma once

#include "dirtool_core.h"
#include "image_source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

enum class outcome {
    done,
    not_found,    // no such entry, or a directory asked for where there is none; the error may say why
    not_regular,  // a copy asked for a link, device, directory or other non-regular entry
    failed,       // the host or the device could not be read; the error says how
};

class device {
public:
    virtual ~device() = default;

    // The directory at `components`: its entries "." and ".." and then every other, in this device's
    // order. After a failure `entries` holds what could be read.
    virtual outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                         std::string& error) = 0;

    // Free space on the device in bytes; false when it cannot be told.
    virtual bool free_space(std::uint64_t& bytes) = 0;

    // Copies the regular file at `components` into `local_name`, a name in the current folder.
    virtual outcome copy_out(const std::vector<std::string>& components, const std::string& local_name,
                             std::string& error) = 0;
};

std::unique_ptr<device> open_folder_device(const std::string& folder);

// Null with a message in `error` when the file holds no file system this tool can read.
std::unique_ptr<device> open_image_device(const std::string& image_file, std::string& error);

// The same over an image already open, which `name` names in messages: its file system, or the
// partitions of the whole disk it holds.
std::unique_ptr<device> open_image_device(std::unique_ptr<image_source> source, const std::string& name,
                                          std::string& error);

// The ext2/3/4 file system in the bytes [start, start + length) of an image, which `name` names in
// messages: all of it, or one partition. Null with a message in `error` when there is none.
std::unique_ptr<device> open_file_system_device(const std::shared_ptr<image_reader>& reader, std::uint64_t start,
                                                std::uint64_t length, const std::string& name, std::string& error);

// When the ext2/3/4 file system in the bytes [start, start + length) of an image was last written,
// as its superblock says; false when there is none there or it does not say.
bool file_system_written(const std::shared_ptr<image_reader>& reader, std::uint64_t start, std::uint64_t length,
                         std::int64_t& seconds);

// A whole-disk image, which holds an MBR or a GPT partition table rather than a file system: its
// root lists one folder per partition, named by its number, holding the partition's file system.
// Null when the image holds no partition table.
std::unique_ptr<device> open_partitioned_disk(const std::shared_ptr<image_reader>& reader,
                                              const std::string& image_file);

// The file system of partition `number` of the whole-disk image `image_file`. Null with a message in
// `error` when there is no such partition or it holds no file system this tool can read.
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
