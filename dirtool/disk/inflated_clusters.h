// The inflated clusters of one compressed image (QCOW2's compressed clusters, a streamOptimized
// VMDK's grains): the last few used are kept in memory, and every one inflated is kept in a store
// folder for the runs after this one. The tool runs once for each folder it lists, and each run
// would otherwise inflate again the clusters that hold the directories on its way and their inode
// tables, most of its time. An entry of the store is used only for the same version of the same
// file (its identity, size and times), so a changed or replaced image never reads another's.
#pragma once

#include "base/image_source.h"
#include "host/host_fs.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// Keeps inflated clusters in `folder` from now on, made where it is missing; none when it is empty
// (the default) or cannot be made private to the user.
void keep_inflated_in(const std::string& folder);

class inflated_clusters {
public:
    // Clusters of `cluster_size` bytes, compressed in `image` by `method` (a name for the format and
    // its decoder, such as "qcow2-zlib"), at most `in_memory` of them held at once.
    inflated_clusters(const char* method, std::size_t cluster_size, std::size_t in_memory, const file_version& image);

    // Fills `out` with the whole cluster it is handed and says whether it could, with the reason in
    // `problem`; called only when the cluster is neither in memory nor kept.
    using inflater = std::function<bool(char* out, std::string& problem)>;

    // `count` bytes at `within` of the cluster that `key` and `detail` name (where its compressed
    // bytes lie, and what else decides what they inflate to). False, with the reason in `problem`,
    // when `inflate` fails.
    bool read(std::uint64_t key, std::uint64_t detail, std::uint64_t within, char* data, std::size_t count,
              const inflater& inflate, std::string& problem);

private:
    struct slot {
        std::uint64_t key = 0;
        std::uint64_t detail = 0;
        std::uint64_t used = 0;
        bool valid = false;
        std::unique_ptr<char[]> bytes;  // the cluster, when inflated in this run
        std::unique_ptr<kept_file> kept;  // else its entry in the store, read as asked
    };
    slot& least_recently_used();
    std::string entry_path(const char* header, unsigned probe) const;
    void fill_header(std::uint64_t key, std::uint64_t detail, char* header) const;
    bool open_kept(slot& into);
    bool inflate_into(slot& into, const inflater& inflate, std::string& problem);
    void keep(const slot& from) const;

    const char* method_;
    std::size_t cluster_size_;
    file_version image_;
    std::vector<slot> slots_;
    std::uint64_t clock_ = 0;
    unsigned write_probe_ = 0;  // where the cluster last looked for and not found is to be kept
};

}  // namespace dirtool
