// The virtual disk of a QCOW2 image, read cluster by cluster through its L1 and L2 tables. Only
// the pieces of the tables that a read needs are read, and the last of them kept, so a run over
// a small tree in a huge image costs about what it costs over the raw image of that tree.
#include "disk/qcow2.h"

#include "base/bytes.h"
#include "disk/disk.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace dirtool {
namespace qcow2 {
namespace {

constexpr std::uint64_t table_offset_mask = 0x00fffffffffffe00u;  // bits 9 to 55
constexpr std::uint64_t copied_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t compressed_bit = std::uint64_t{1} << 62;
constexpr std::uint64_t zero_bit = 1;
constexpr unsigned subclusters = 32;

// Pieces of the L1 and L2 tables as the file holds them, the least recently used given up first.
class table_cache {
public:
    explicit table_cache(image_reader& file) : file_(file) {}

    // The `size` bytes of the entry at `offset`, which lies in the file and does not cross a piece.
    bool entry(std::uint64_t offset, std::size_t size, char* bytes, std::string& error) {
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

class virtual_disk final : public image_source {
public:
    virtual_disk(const layout& shape, files sources, const std::string& path)
        : shape_(shape),
          image_(std::move(sources.image)),
          data_(sources.data ? std::make_unique<image_reader>(std::move(sources.data)) : nullptr),
          backing_(sources.backing ? std::make_unique<image_reader>(std::move(sources.backing)) : nullptr),
          tables_(*image_),
          path_(path),
          // A few clusters' worth, at most 4 MiB, however large the clusters: a chain of images
          // holds one cache each.
          inflated_(static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(4, (4u << 20) / shape.cluster_size)))) {}

    std::uint64_t size() const override { return shape_.size; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return image_->source().modified(); }
    file_identity identity() const override { return image_->source().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= shape_.size) return true;
        const std::size_t wanted = shape_.size - offset < count ? static_cast<std::size_t>(shape_.size - offset) : count;
        std::size_t done = 0;
        while (done < wanted) {
            const std::uint64_t at = offset + done;
            const std::uint64_t within = at % shape_.cluster_size;
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - done, shape_.cluster_size - within));
            std::string problem;
            if (!read_in_cluster(at >> shape_.cluster_bits, within, data + done, part, problem)) {
                error = path_ + ": " + problem;
                return false;
            }
            done += part;
        }
        got = wanted;
        return true;
    }

private:
    bool find(std::uint64_t cluster, mapping& found, std::string& problem) {
        const std::uint64_t l1_index = cluster / shape_.l2_entries();
        if (l1_index >= shape_.l1_entries) return true;
        char entry[16];
        if (!tables_.entry(shape_.l1_offset + l1_index * 8, 8, entry, problem)) return false;
        const std::uint64_t l2_offset = load_be64(entry) & table_offset_mask;
        if (l2_offset == 0) return true;
        if (l2_offset % shape_.cluster_size != 0 || !fits_inside(l2_offset, shape_.cluster_size, image_->source().size())) {
            problem = "its L2 table at " + std::to_string(l2_offset) + " lies past the end of the file or inside a cluster";
            return false;
        }
        const std::uint64_t entry_size = shape_.l2_entry_size();
        const std::uint64_t at = l2_offset + cluster % shape_.l2_entries() * entry_size;
        if (!tables_.entry(at, static_cast<std::size_t>(entry_size), entry, problem)) return false;
        const std::uint64_t word = load_be64(entry);
        if ((word & compressed_bit) != 0) {
            if (shape_.has_data_file) {
                problem = "it has a compressed cluster, which an image with an external data file cannot have";
                return false;
            }
            const unsigned offset_bits = 62 - (shape_.cluster_bits - 8);
            found.what = mapping::kind::compressed;
            found.host = word & ((std::uint64_t{1} << offset_bits) - 1);
            const std::uint64_t sectors = (word & ~(copied_bit | compressed_bit)) >> offset_bits;
            found.compressed_size = (sectors + 1) * 512 - found.host % 512;
            return true;
        }
        found.host = word & table_offset_mask;
        const bool allocated = found.host != 0 || (shape_.has_data_file && (word & copied_bit) != 0);
        if (shape_.extended_l2) {
            const std::uint64_t bitmap = load_be64(entry + 8);
            found.allocated = static_cast<std::uint32_t>(bitmap);
            found.zeros = static_cast<std::uint32_t>(bitmap >> 32);
            if ((found.allocated & found.zeros) != 0 || (found.allocated != 0 && !allocated)) {
                problem = "the L2 entry of cluster " + std::to_string(cluster) + " has a subcluster bitmap that cannot be";
                return false;
            }
        } else if (shape_.zero_flag && (word & zero_bit) != 0) {
            found.what = mapping::kind::zeros;
            return true;
        } else {
            found.allocated = allocated ? ~std::uint32_t{0} : 0;
        }
        if (allocated && found.host % shape_.cluster_size != 0) {
            problem = "the L2 entry of cluster " + std::to_string(cluster) + " points inside a cluster";
            return false;
        }
        found.what = mapping::kind::standard;
        return true;
    }

    bool read_in_cluster(std::uint64_t cluster, std::uint64_t within, char* data, std::size_t count, std::string& problem) {
        mapping found;
        if (!find(cluster, found, problem)) return false;
        const std::uint64_t guest = (cluster << shape_.cluster_bits) + within;
        switch (found.what) {
            case mapping::kind::unallocated:
                return read_backing(guest, data, count, problem);
            case mapping::kind::zeros:
                std::memset(data, 0, count);
                return true;
            case mapping::kind::compressed:
                return read_compressed(cluster, found, within, data, count, problem);
            case mapping::kind::standard:
                break;
        }
        // A run of subclusters of one state at a time; a standard entry is one run of them all.
        const std::uint64_t subcluster_size = shape_.cluster_size / subclusters;
        std::size_t done = 0;
        while (done < count) {
            const std::uint64_t at = within + done;
            const unsigned first = static_cast<unsigned>(at / subcluster_size);
            const auto state = [&found](unsigned index) { return (found.allocated >> index & 1) | (found.zeros >> index & 1) << 1; };
            unsigned last = first;
            while (last + 1 < subclusters && state(last + 1) == state(first)) ++last;
            const std::size_t part =
                static_cast<std::size_t>(std::min<std::uint64_t>(count - done, (last + 1) * subcluster_size - at));
            bool read = true;
            if (state(first) == 1) {
                read = read_host(found.host + at, found.host, data + done, part, problem);
            } else if (state(first) == 2) {
                std::memset(data + done, 0, part);
            } else {
                read = read_backing(guest + done, data + done, part, problem);
            }
            if (!read) return false;
            done += part;
        }
        return true;
    }

    // Bytes of a standard cluster at `cluster_start`, in the data file or else the image. The
    // cluster must start inside the file; bytes past its end (an image cut short of a whole last
    // cluster) read as zeros.
    bool read_host(std::uint64_t offset, std::uint64_t cluster_start, char* data, std::size_t count, std::string& problem) {
        image_reader& file = data_ ? *data_ : *image_;
        if (cluster_start >= file.source().size()) {
            problem = "its cluster at " + std::to_string(cluster_start) + " lies past the end of the " +
                      (data_ ? "data file" : "file");
            return false;
        }
        return file.read(offset, data, count, problem) != image_reader::result::failed;
    }

    bool read_backing(std::uint64_t offset, char* data, std::size_t count, std::string& problem) {
        // Past the backing file's end, and without one, the disk reads as zeros.
        const std::uint64_t backing_size = backing_ ? backing_->source().size() : 0;
        const std::size_t inside =
            offset < backing_size ? static_cast<std::size_t>(std::min<std::uint64_t>(count, backing_size - offset)) : 0;
        if (inside > 0 && backing_->read(offset, data, inside, problem) == image_reader::result::failed) return false;
        std::memset(data + inside, 0, count - inside);
        return true;
    }

    bool read_compressed(std::uint64_t cluster, const mapping& found, std::uint64_t within, char* data,
                         std::size_t count, std::string& problem) {
        // The blocks of one cluster are read one after another: each is inflated once.
        inflated* hit = nullptr;
        for (inflated& candidate : inflated_) {
            if (candidate.cluster == cluster && candidate.valid) hit = &candidate;
        }
        if (hit == nullptr) {
            const std::uint64_t file_size = image_->source().size();
            if (found.host >= file_size) {
                problem = "its compressed cluster at " + std::to_string(found.host) + " lies past the end of the file";
                return false;
            }
            // The last sector the entry counts may run past the file's end.
            compressed_.resize(static_cast<std::size_t>(std::min(found.compressed_size, file_size - found.host)));
            if (image_->read(found.host, compressed_.data(), compressed_.size(), problem) == image_reader::result::failed) {
                return false;
            }
            hit = &inflated_[next_inflated_++ % inflated_.size()];
            hit->valid = false;
            hit->bytes.resize(static_cast<std::size_t>(shape_.cluster_size));
            if (!inflate_cluster(shape_.compressed_with, compressed_.data(), compressed_.size(), hit->bytes.data(),
                                 hit->bytes.size(), problem)) {
                problem = "cluster " + std::to_string(cluster) + ": " + problem;
                return false;
            }
            hit->cluster = cluster;
            hit->valid = true;
        }
        std::memcpy(data, hit->bytes.data() + within, count);
        return true;
    }

    struct inflated {
        std::uint64_t cluster = 0;
        bool valid = false;
        std::vector<char> bytes;
    };

    layout shape_;
    std::unique_ptr<image_reader> image_;
    std::unique_ptr<image_reader> data_;
    std::unique_ptr<image_reader> backing_;
    table_cache tables_;
    std::string path_;
    std::vector<char> compressed_;
    std::vector<inflated> inflated_;
    std::size_t next_inflated_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_virtual_disk(const layout& shape, files sources, const std::string& path) {
    return std::make_unique<virtual_disk>(shape, std::move(sources), path);
}

}  // namespace qcow2
}  // namespace dirtool
