// An entry of the store is one file: a header that names the cluster and the version of its
// image, then the inflated cluster. Its name holds the method, the cluster size and a slot picked
// by a sum of the header (or one of the few after it); the slots of a size are few enough that the store holds at most about
// `store_budget` bytes of clusters of that size, a newer entry taking an older one's place.
#include "disk/inflated_clusters.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace dirtool {
namespace {

constexpr std::uint64_t store_budget = std::uint64_t{128} << 20;
constexpr std::size_t largest_kept = std::size_t{2} << 20;
constexpr char entry_magic[8] = {'k', 'v', 'i', 'n', 'f', 'l', '1', '\n'};
constexpr std::size_t header_size = 96;  // the magic, 10 fields of 8 bytes, zeros
// An entry goes in the first free of a few slots from the one its sum picks, so that two clusters
// one run reads rarely take each other's place; where all are taken, it replaces the first.
constexpr unsigned probes = 4;

// The folder is made and checked when the first cluster is asked for, so that a run over
// anything but a compressed image pays nothing for it.
struct store_place {
    std::string folder;
    bool checked = false;
};
store_place& store() {
    static store_place place;
    return place;
}

const std::string& store_folder() {
    store_place& place = store();
    if (!place.checked) {
        place.checked = true;
        if (!place.folder.empty() && !prepare_private_folder(place.folder)) place.folder.clear();
    }
    return place.folder;
}

void store_le64(char* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

void keep_inflated_in(const std::string& folder) {
    store() = {folder, false};
}

inflated_clusters::inflated_clusters(const char* method, std::size_t cluster_size, std::size_t in_memory,
                                     const file_version& image)
    : method_(method), cluster_size_(cluster_size), image_(image), slots_(std::max<std::size_t>(1, in_memory)) {}

bool inflated_clusters::read(std::uint64_t key, std::uint64_t detail, std::uint64_t within, char* data,
                             std::size_t count, const inflater& inflate, std::string& problem) {
    ++clock_;
    slot* hit = nullptr;
    for (slot& candidate : slots_) {
        if (candidate.valid && candidate.key == key && candidate.detail == detail) hit = &candidate;
    }
    if (hit == nullptr) {
        hit = &least_recently_used();
        hit->valid = false;
        hit->key = key;
        hit->detail = detail;
        if (!open_kept(*hit) && !inflate_into(*hit, inflate, problem)) return false;
        hit->valid = true;
    }
    hit->used = clock_;
    if (hit->kept) {
        if (hit->kept->read_at(header_size + within, data, count)) return true;
        // The entry cannot be read after all: the cluster is inflated instead.
        hit->valid = false;
        write_probe_ = 0;
        if (!inflate_into(*hit, inflate, problem)) return false;
        hit->valid = true;
    }
    std::memcpy(data, hit->bytes.get() + within, count);
    return true;
}

bool inflated_clusters::inflate_into(slot& into, const inflater& inflate, std::string& problem) {
    into.kept.reset();
    // Only what inflating fills is read, and it must fill the whole cluster: not zeroed first.
    if (!into.bytes) into.bytes.reset(new char[cluster_size_]);
    if (!inflate(into.bytes.get(), problem)) return false;
    keep(into);
    return true;
}

inflated_clusters::slot& inflated_clusters::least_recently_used() {
    return *std::min_element(slots_.begin(), slots_.end(), [](const slot& a, const slot& b) { return a.used < b.used; });
}

void inflated_clusters::fill_header(std::uint64_t key, std::uint64_t detail, char* header) const {
    std::memset(header, 0, header_size);
    std::memcpy(header, entry_magic, sizeof entry_magic);
    const std::uint64_t fields[] = {cluster_size_,
                                    key,
                                    detail,
                                    image_.file.volume,
                                    image_.file.index,
                                    image_.file_size,
                                    static_cast<std::uint64_t>(image_.modified_ns),
                                    static_cast<std::uint64_t>(image_.changed_ns),
                                    image_.start,
                                    image_.length};
    for (std::size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) store_le64(header + 8 * (i + 1), fields[i]);
}

std::string inflated_clusters::entry_path(const char* header, unsigned probe) const {
    const std::uint64_t slots = std::max<std::uint64_t>(16, store_budget / cluster_size_);
    return store_folder() + "/" + method_ + "-" + std::to_string(cluster_size_) + "-" +
           std::to_string((crc32c(header, header_size) + probe) % slots);
}

bool inflated_clusters::open_kept(slot& into) {
    into.kept.reset();
    write_probe_ = 0;
    if (!image_.known || !image_.file.known || cluster_size_ > largest_kept || store_folder().empty()) return false;
    char wanted[header_size];
    fill_header(into.key, into.detail, wanted);
    bool free_found = false;
    for (unsigned probe = 0; probe < probes; ++probe) {
        auto file = std::make_unique<kept_file>();
        if (!file->open(entry_path(wanted, probe))) {
            if (!free_found) write_probe_ = probe;
            free_found = true;
            continue;
        }
        // The header read back must be this cluster's, and the file must hold the whole cluster:
        // its last byte is read to tell.
        char found[header_size];
        char last = 0;
        if (file->read_at(0, found, header_size) && std::memcmp(found, wanted, header_size) == 0 &&
            file->read_at(header_size + cluster_size_ - 1, &last, 1)) {
            into.kept = std::move(file);
            return true;
        }
    }
    return false;
}

void inflated_clusters::keep(const slot& from) const {
    if (!image_.known || !image_.file.known || cluster_size_ > largest_kept || store_folder().empty()) return;
    char header[header_size];
    fill_header(from.key, from.detail, header);
    const file_part parts[] = {{header, header_size}, {from.bytes.get(), cluster_size_}};
    // A store that cannot be written costs the next run only the inflating.
    replace_file(entry_path(header, write_probe_), parts, 2);
}

}  // namespace dirtool
