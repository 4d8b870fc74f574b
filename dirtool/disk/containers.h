// The virtual-disk container formats (a virtual machine's disk file) that the disk layer recognises
// by their content, never by their name. Each format is one file in disk/ that defines its
// container_format; containers.cpp lists them in the order they are tried.
#pragma once

#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dirtool {

// What a format is recognised by: the file's first bytes and its last sector, where signatures
// stand (a fixed VHD has nothing but a footer at its end).
struct disk_probe {
    static constexpr std::size_t head_size = 4096;
    const char* head;             // the first min(head_size, file_size) bytes
    std::size_t head_length;
    const char* tail;             // the last 512 bytes, or fewer in a file that small
    std::size_t tail_length;
    std::uint64_t file_size;
};

struct container_format {
    const char* name;  // as messages name it: "VHDX", "VDI"
    bool (*recognises)(const disk_probe& probe);
    // The virtual disk in `file`, whose path `path` is (parents and extents are found from it).
    // `depth` counts the disks that stand on this one through their parents: 0 for the disk the
    // user named. Null with one message in `error`, which names the file.
    std::unique_ptr<image_source> (*open)(std::unique_ptr<image_source> file, const std::string& path,
                                          unsigned depth, std::string& error);
};

// The formats: each format's file defines its own.
extern const container_format vdi_format;

// A chain of differencing disks or backing files deeper than this is refused, which also ends
// a chain that loops.
constexpr unsigned deepest_disk_chain = 64;

}  // namespace dirtool
