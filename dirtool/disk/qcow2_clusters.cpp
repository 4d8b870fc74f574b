// The virtual disk of a QCOW2 (or QCOW version 1) image, read cluster by cluster through its L1
// and L2 tables. Only the pieces of the tables that a read needs are read, and the last of them
// kept, so a run over a small tree in a huge image costs about what it costs over the raw image of
// that tree.
#include "disk/qcow2.h"

#include "base/bytes.h"
#include "disk/disk.h"
#include "disk/inflated_clusters.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace dirtool {
namespace qcow2 {
namespace {

constexpr unsigned subclusters = 32;

class virtual_disk final : public image_source {
public:
    virtual_disk(const layout& shape, files sources, const std::string& path)
        : shape_(shape),
          image_(std::move(sources.image)),
          data_(sources.data ? std::make_unique<image_reader>(std::move(sources.data)) : nullptr),
          backing_(sources.backing ? std::make_unique<image_reader>(std::move(sources.backing)) : nullptr),
          tables_(*image_),
          path_(path),
          // The blocks of one cluster are read one after another, and a run goes back to the
          // clusters of its inode tables and directories: a few clusters' worth are held, at most
          // 4 MiB however large the clusters, as a chain of images holds one such set each.
          inflated_(shape.compressed_with == compression::zlib ? "qcow2-zlib" : "qcow2-zstd",
                    static_cast<std::size_t>(shape.cluster_size),
                    static_cast<std::size_t>(std::min<std::uint64_t>(8, (4u << 20) / shape.cluster_size)),
                    image_->source().version()) {}

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
        const std::uint64_t file_size = image_->source().size();
        return shape_.version == 1 ? find_version1_cluster(shape_, tables_, file_size, cluster, found, problem)
                                   : find_cluster(shape_, tables_, file_size, cluster, found, problem);
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
        const auto inflate = [&](char* out, std::string& why) {
            const std::uint64_t file_size = image_->source().size();
            if (found.host >= file_size) {
                why = "its compressed cluster at " + std::to_string(found.host) + " lies past the end of the file";
                return false;
            }
            // The last sector the entry counts may run past the file's end. The bytes come in one
            // read of the file, not a window at a time.
            const auto length = static_cast<std::size_t>(std::min(found.compressed_size, file_size - found.host));
            const char* compressed = nullptr;
            if (compressed_.read(*image_, found.host, length, compressed, why) == image_reader::result::failed) {
                return false;
            }
            if (!inflate_cluster(shape_.compressed_with, compressed, length, out,
                                 static_cast<std::size_t>(shape_.cluster_size), why)) {
                why = "cluster " + std::to_string(cluster) + ": " + why;
                return false;
            }
            return true;
        };
        return inflated_.read(found.host, found.compressed_size, within, data, count, inflate, problem);
    }

    layout shape_;
    std::unique_ptr<image_reader> image_;
    std::unique_ptr<image_reader> data_;
    std::unique_ptr<image_reader> backing_;
    table_cache tables_;
    std::string path_;
    span_buffer compressed_;
    inflated_clusters inflated_;
};

}  // namespace

std::unique_ptr<image_source> open_virtual_disk(const layout& shape, files sources, const std::string& path) {
    return std::make_unique<virtual_disk>(shape, std::move(sources), path);
}

}  // namespace qcow2
}  // namespace dirtool
