// QCOW version 1, QEMU's first copy-on-write format (qemu-img -f qcow): a header of 48 bytes, an
// L1 table right after it and the backing file's name, L2 tables of 2^l2_bits entries anywhere in
// the file, and clusters read through them. Its entries say less than version 2's: an L1 entry is
// the L2 table's offset, an L2 entry the cluster's offset or, with bit 63 set, a compressed
// cluster's offset below bit 63 - cluster_bits and its exact length in bytes above it. There are no
// zero clusters, refcounts, extensions or snapshots; a backing file serves what the image does not
// hold. Every offset and length is checked against the file before use.
#include "disk/qcow2.h"

#include "base/bytes.h"

namespace dirtool {
namespace qcow2 {
namespace {

constexpr std::size_t header_length = 48;
constexpr unsigned least_cluster_bits = 9;
constexpr unsigned most_cluster_bits = 21;  // 2 MiB, as for version 2
constexpr unsigned least_l2_bits = 6;       // tables of 512 bytes
constexpr unsigned most_l2_bits = 18;       // tables of 2 MiB
constexpr std::uint32_t longest_backing_name = 1023;
constexpr std::uint64_t largest_size = std::uint64_t{1} << 63;
constexpr std::uint64_t compressed_bit = std::uint64_t{1} << 63;

}  // namespace

bool read_version1_header(const char* header, const byte_reader& read, std::uint64_t file_size, layout& result,
                          std::string& problem) {
    if (file_size < header_length) {
        problem = "the file ends inside its header";
        return false;
    }
    result.cluster_bits = static_cast<unsigned char>(header[32]);
    result.l2_bits = static_cast<unsigned char>(header[33]);
    if (result.cluster_bits < least_cluster_bits || result.cluster_bits > most_cluster_bits) {
        problem = "its clusters are of 2^" + std::to_string(result.cluster_bits) + " bytes";
        return false;
    }
    if (result.l2_bits < least_l2_bits || result.l2_bits > most_l2_bits) {
        problem = "its L2 tables of 2^" + std::to_string(result.l2_bits) + " entries are of no size a table has";
        return false;
    }
    result.cluster_size = std::uint64_t{1} << result.cluster_bits;
    const std::uint32_t crypt_method = load_be32(header + 36);
    if (crypt_method != 0) {
        problem = encryption_problem(crypt_method);
        return false;
    }
    result.size = load_be64(header + 24);
    if (result.size >= largest_size) {
        problem = "its virtual size of " + std::to_string(result.size) + " bytes is absurd";
        return false;
    }
    // The L1 table has no length of its own: it maps the whole virtual disk.
    const unsigned mapped_bits = result.cluster_bits + result.l2_bits;
    const std::uint64_t l1_entries = (result.size >> mapped_bits) + ((result.size & ((std::uint64_t{1} << mapped_bits) - 1)) != 0);
    result.l1_offset = load_be64(header + 40);
    if (l1_entries > 0 && (result.l1_offset % 8 != 0 || !fits_inside(result.l1_offset, saturated_product(l1_entries, 8), file_size) ||
                           l1_entries > 0xffffffffu)) {
        problem = "its L1 table at " + std::to_string(result.l1_offset) + " of " + std::to_string(l1_entries) +
                  " entries runs past the end of the file or off an 8-byte boundary";
        return false;
    }
    result.l1_entries = static_cast<std::uint32_t>(l1_entries);
    result.compressed_with = compression::zlib;
    const std::uint64_t backing_offset = load_be64(header + 8);
    result.has_backing_file = backing_offset != 0;
    if (result.has_backing_file) {
        const std::uint32_t length = load_be32(header + 16);
        if (length == 0 || length > longest_backing_name) {
            problem = "its backing file name is " + std::to_string(length) + " bytes long";
            return false;
        }
        if (!fits_inside(backing_offset, length, file_size)) {
            problem = "its backing file name runs past the end of the file";
            return false;
        }
        result.backing_file.assign(length, '\0');
        if (!read(backing_offset, length, &result.backing_file[0], problem)) return false;
        if (result.backing_file.find('\0') != std::string::npos) {
            problem = "its backing file name holds a NUL byte";
            return false;
        }
    }
    return true;
}

bool find_version1_cluster(const layout& shape, table_cache& tables, std::uint64_t file_size, std::uint64_t cluster,
                           mapping& found, std::string& problem) {
    const std::uint64_t l1_index = cluster >> shape.l2_bits;
    if (l1_index >= shape.l1_entries) return true;
    char entry[8];
    if (!tables.entry(shape.l1_offset + l1_index * 8, 8, entry, problem)) return false;
    const std::uint64_t l2_offset = load_be64(entry);
    if (l2_offset == 0) return true;
    if (l2_offset % 8 != 0 || !fits_inside(l2_offset, shape.l2_entries() * 8, file_size)) {
        problem = "its L2 table at " + std::to_string(l2_offset) + " runs past the end of the file or off an 8-byte boundary";
        return false;
    }
    const std::uint64_t at = l2_offset + (cluster & (shape.l2_entries() - 1)) * 8;
    if (!tables.entry(at, 8, entry, problem)) return false;
    const std::uint64_t word = load_be64(entry);
    if (word == 0) return true;
    if ((word & compressed_bit) != 0) {
        const unsigned offset_bits = 63 - shape.cluster_bits;
        found.what = mapping::kind::compressed;
        found.host = word & ((std::uint64_t{1} << offset_bits) - 1);
        found.compressed_size = (word & ~compressed_bit) >> offset_bits;
        if (found.compressed_size == 0) {
            problem = "its compressed cluster at " + std::to_string(found.host) + " is of no length";
            return false;
        }
        if (!fits_inside(found.host, found.compressed_size, file_size)) {
            problem = "its compressed cluster at " + std::to_string(found.host) + " of " +
                      std::to_string(found.compressed_size) + " bytes runs past the end of the file";
            return false;
        }
        return true;
    }
    // A version 1 image always holds its clusters whole.
    if (!fits_inside(word, shape.cluster_size, file_size)) {
        problem = "its cluster at " + std::to_string(word) + " runs past the end of the file";
        return false;
    }
    found.what = mapping::kind::standard;
    found.host = word;
    found.allocated = ~std::uint32_t{0};
    return true;
}

}  // namespace qcow2
}  // namespace dirtool
