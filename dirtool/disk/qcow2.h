// QEMU's copy-on-write disk format, versions 2 and 3: what the header says (qcow2_header.cpp),
// the virtual disk served through its L1 and L2 tables (qcow2_clusters.cpp) and its compressed
// clusters (qcow2_compressed.cpp). Private to the disk layer; qcow2.cpp registers the format.
#pragma once

#include "base/image_source.h"
#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace dirtool {
namespace qcow2 {

enum class compression { zlib, zstd };

// What reading the virtual disk needs of the header and its extensions, checked against the file.
struct layout {
    unsigned version = 0;
    unsigned cluster_bits = 0;
    std::uint64_t cluster_size = 0;
    std::uint64_t size = 0;  // of the virtual disk
    std::uint64_t l1_offset = 0;
    std::uint32_t l1_entries = 0;
    bool zero_flag = false;    // bit 0 of a standard L2 entry reads the cluster as zeros
    bool extended_l2 = false;  // 16-byte L2 entries with 32 subclusters each
    compression compressed_with = compression::zlib;
    bool has_backing_file = false;
    std::string backing_file;
    std::string backing_format;  // empty when the header names none
    bool has_data_file = false;  // guest clusters stand in another file, named by data_file
    std::string data_file;

    std::uint64_t l2_entry_size() const { return extended_l2 ? 16 : 8; }
    std::uint64_t l2_entries() const { return cluster_size / l2_entry_size(); }
};

// Reads exactly `count` bytes at `offset` of the image file; false when they are not all in it
// (the message then says so) or the host fails (`error` holds its message).
using byte_reader = std::function<bool(std::uint64_t offset, std::size_t count, char* data, std::string& error)>;

// The header at the start of a file of `file_size` bytes. False with the reason in `problem`
// (no file name in it) when the file is no image this reader can serve.
bool read_header(const byte_reader& read, std::uint64_t file_size, layout& result, std::string& problem);

// Inflates the `count` compressed bytes of one cluster into `cluster`, `cluster_size` bytes,
// which it must fill exactly. False with the reason in `problem`.
bool inflate_cluster(compression method, const char* bytes, std::size_t count, char* cluster,
                     std::size_t cluster_size, std::string& problem);

// Whether this build reads clusters compressed with `method`.
bool can_inflate(compression method);

// The files the virtual disk is read from: the image itself, its external data file (null
// without one) and the disk of its backing file (null without one).
struct files {
    std::unique_ptr<image_reader> image;
    std::unique_ptr<image_source> data;
    std::unique_ptr<image_source> backing;
};

// The virtual disk of the image at `path` (messages name it), as `shape` lays it out.
std::unique_ptr<image_source> open_virtual_disk(const layout& shape, files sources, const std::string& path);

}  // namespace qcow2
}  // namespace dirtool
