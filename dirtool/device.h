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
    not_found,    // no such entry, or a directory asked for where there is none
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

// The device /dev/NAME: the image NAME.img in `devices` when that file exists, else the folder
// NAME. When neither exists and NAME names a partition as Linux does ("sda2", "nvme0n1p2"), that
// partition of the disk's image ("sda.img", "nvme0n1.img"). Null with a message in `error` when the
// image cannot be read.
std::unique_ptr<device> open_device(const std::string& devices, const std::string& name, std::string& error);

}  // namespace dirtool
