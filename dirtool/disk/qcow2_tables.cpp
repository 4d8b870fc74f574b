// The L1 and L2 tables of a QCOW2 image, versions 2 and 3: where a guest cluster lies, read from
// the pieces of the tables a read needs, the last of them kept, never from a whole table.
#include "disk/qcow2.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace dirtool {
namespace qcow2 {
namespace {

constexpr std::uint64_t table_offset_mask = 0x00fffffffffffe00u;  // bits 9 to 55
constexpr std::uint64_t copied_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t compressed_bit = std::uint64_t{1} << 62;
constexpr std::uint64_t zero_bit = 1;

}  // namespace

bool table_cache::entry(std::uint64_t offset, std::size_t size, char* bytes, std::string& error) {
    const std::uint64_t start = offset - offset % piece_size;
    // Entries come in runs from one piece: the one used last is tried first.
    piece* found = pieces_[last_].start == start && !pieces_[last_].bytes.empty() ? &pieces_[last_] : nullptr;
    for (std::size_t i = 0; found == nullptr && i < pieces_.size(); ++i) {
        if (pieces_[i].start == start && !pieces_[i].bytes.empty()) found = &pieces_[i];
    }
    if (found == nullptr) {
        found = &*std::min_element(pieces_.begin(), pieces_.end(),
                                   [](const piece& a, const piece& b) { return a.last_use < b.last_use; });
        found->bytes.resize(piece_size);
        if (file_.read(start, found->bytes.data(), piece_size, error) == image_reader::result::failed) {
            found->bytes.clear();
            return false;
        }
        found->start = start;
    }
    found->last_use = ++uses_;
    last_ = static_cast<std::size_t>(found - pieces_.data());
    std::memcpy(bytes, found->bytes.data() + (offset - start), size);
    return true;
}

bool find_cluster(const layout& shape, table_cache& tables, std::uint64_t file_size, std::uint64_t cluster,
                  mapping& found, std::string& problem) {
    const std::uint64_t l1_index = cluster / shape.l2_entries();
    if (l1_index >= shape.l1_entries) return true;
    char entry[16];
    if (!tables.entry(shape.l1_offset + l1_index * 8, 8, entry, problem)) return false;
    const std::uint64_t l2_offset = load_be64(entry) & table_offset_mask;
    if (l2_offset == 0) return true;
    if (l2_offset % shape.cluster_size != 0 || !fits_inside(l2_offset, shape.cluster_size, file_size)) {
        problem = "its L2 table at " + std::to_string(l2_offset) + " lies past the end of the file or inside a cluster";
        return false;
    }
    const std::uint64_t entry_size = shape.l2_entry_size();
    const std::uint64_t at = l2_offset + cluster % shape.l2_entries() * entry_size;
    if (!tables.entry(at, static_cast<std::size_t>(entry_size), entry, problem)) return false;
    const std::uint64_t word = load_be64(entry);
    if ((word & compressed_bit) != 0) {
        if (shape.has_data_file) {
            problem = "it has a compressed cluster, which an image with an external data file cannot have";
            return false;
        }
        const unsigned offset_bits = 62 - (shape.cluster_bits - 8);
        found.what = mapping::kind::compressed;
        found.host = word & ((std::uint64_t{1} << offset_bits) - 1);
        const std::uint64_t sectors = (word & ~(copied_bit | compressed_bit)) >> offset_bits;
        found.compressed_size = (sectors + 1) * 512 - found.host % 512;
        return true;
    }
    found.host = word & table_offset_mask;
    const bool allocated = found.host != 0 || (shape.has_data_file && (word & copied_bit) != 0);
    if (shape.extended_l2) {
        const std::uint64_t bitmap = load_be64(entry + 8);
        found.allocated = static_cast<std::uint32_t>(bitmap);
        found.zeros = static_cast<std::uint32_t>(bitmap >> 32);
        if ((found.allocated & found.zeros) != 0 || (found.allocated != 0 && !allocated)) {
            problem = "the L2 entry of cluster " + std::to_string(cluster) + " has a subcluster bitmap that cannot be";
            return false;
        }
    } else if (shape.zero_flag && (word & zero_bit) != 0) {
        found.what = mapping::kind::zeros;
        return true;
    } else {
        found.allocated = allocated ? ~std::uint32_t{0} : 0;
    }
    if (allocated && found.host % shape.cluster_size != 0) {
        problem = "the L2 entry of cluster " + std::to_string(cluster) + " points inside a cluster";
        return false;
    }
    found.what = mapping::kind::standard;
    return true;
}

}  // namespace qcow2
}  // namespace dirtool
