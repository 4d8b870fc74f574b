// What the two halves of the VMDK sparse extent reader share: the header as read from the file
// (vmdk_sparse.cpp reads and checks it, and opens the extent) and the extent that serves its grains
// through the grain directory and tables (vmdk_grains.cpp). Private to the disk layer.
#pragma once

#include "disk/vmdk.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {
namespace vmdk_sparse {

constexpr std::uint64_t sector = 512;
constexpr std::uint32_t zeroed_grain_flag = 1u << 2;
constexpr std::uint32_t compressed_flag = 1u << 16;

// The fields of a sparse extent's header (or of a stream's footer), as stored.
struct sparse_header {
    std::uint32_t version = 0;
    std::uint32_t flags = 0;
    std::uint64_t capacity = 0;  // in sectors, as every place and size below
    std::uint64_t grain_sectors = 0;
    std::uint64_t descriptor_offset = 0;
    std::uint64_t descriptor_sectors = 0;
    std::uint32_t table_entries = 0;
    std::uint64_t redundant_directory = 0;
    std::uint64_t directory = 0;
    std::uint16_t compression = 0;
    bool line_ends_intact = false;
};

// The extent of a header that the opener has checked, with the grain directories (in sectors:
// the primary first, then the redundant one) that lie inside the file.
std::unique_ptr<vmdk_sparse_extent> make_extent(std::shared_ptr<image_reader> file, std::string name,
                                                const sparse_header& header, std::vector<std::uint64_t> directories,
                                                std::string descriptor);

}  // namespace vmdk_sparse
}  // namespace dirtool
