// QEMU's copy-on-write disk format, versions 1, 2 and 3: what the header says (qcow2_header.cpp,
// and qcow1.cpp for version 1), where a guest cluster lies through the L1 and L2 tables
// (qcow2_tables.cpp, and qcow1.cpp for version 1's entries), the virtual disk served cluster by
// cluster (qcow2_clusters.cpp) and its compressed clusters (qcow2_compressed.cpp). Private to the
// disk layer; qcow2.cpp registers the format.
#pragma once

#include "base/image_source.h"
#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {
namespace qcow2 {

enum class compression { zlib, zstd };

// What reading the virtual disk needs of the header and its extensions, checked against the file.
struct layout {
    unsigned version = 0;
    unsigned cluster_bits = 0;
    unsigned l2_bits = 0;  // version 1: an L2 table holds 2^l2_bits entries of 8 bytes
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
    std::uint64_t l2_entries() const {
        return version == 1 ? std::uint64_t{1} << l2_bits : cluster_size / l2_entry_size();
    }
};

// Reads exactly `count` bytes at `offset` of the image file; false when they are not all in it
// (the message then says so) or the host fails (`error` holds its message).
using byte_reader = std::function<bool(std::uint64_t offset, std::size_t count, char* data, std::string& error)>;

// The header at the start of a file of `file_size` bytes. False with the reason in `problem`
// (no file name in it) when the file is no image this reader can serve.
bool read_header(const byte_reader& read, std::uint64_t file_size, layout& result, std::string& problem);

// The rest of a version 1 header, whose first `available` bytes (at least 48) are `header`.
bool read_version1_header(const char* header, const byte_reader& read, std::uint64_t file_size, layout& result,
                          std::string& problem);

// Why an image encrypted by `method` (the header's crypt_method, not 0) is not read.
std::string encryption_problem(std::uint32_t method);

// Inflates the `count` compressed bytes of one cluster into `cluster`, `cluster_size` bytes,
// which it must fill exactly. False with the reason in `problem`.
bool inflate_cluster(compression method, const char* bytes, std::size_t count, char* cluster,
                     std::size_t cluster_size, std::string& problem);

// Whether this build reads clusters compressed with `method`.
bool can_inflate(compression method);

// Pieces of the L1 and L2 tables as the file holds them, the least recently used given up first.
class table_cache {
public:
    explicit table_cache(image_reader& file) : file_(file) {}

    // The `size` bytes of the entry at `offset`, which lies in the file and does not cross a piece
    // (4 KiB, and every entry is aligned to its size).
    bool entry(std::uint64_t offset, std::size_t size, char* bytes, std::string& error);

private:
    static constexpr std::size_t piece_size = 4096;
    struct piece {
        std::uint64_t start = 0;
        std::uint64_t last_use = 0;
        std::vector<char> bytes;  // empty until read; past the file's end it reads as zeros
    };
    image_reader& file_;
    std::vector<piece> pieces_ = std::vector<piece>(32);
    std::uint64_t uses_ = 0;
    std::size_t last_ = 0;
};

// Where a guest cluster's bytes are.
struct mapping {
    enum class kind { unallocated, zeros, standard, compressed } what = kind::unallocated;
    std::uint64_t host = 0;          // the cluster's offset in the image or data file, or the compressed bytes'
    std::uint64_t compressed_size = 0;
    std::uint32_t allocated = 0;     // subclusters of a standard cluster read from `host`
    std::uint32_t zeros = 0;         // subclusters that read as zeros
};

// Where guest cluster `cluster` lies, through the tables of an image of `file_size` bytes. False
// with the reason in `problem` when an entry cannot be trusted or the host fails.
bool find_cluster(const layout& shape, table_cache& tables, std::uint64_t file_size, std::uint64_t cluster,
                  mapping& found, std::string& problem);
// The same for version 1, whose entries are laid out otherwise.
bool find_version1_cluster(const layout& shape, table_cache& tables, std::uint64_t file_size, std::uint64_t cluster,
                           mapping& found, std::string& problem);

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
