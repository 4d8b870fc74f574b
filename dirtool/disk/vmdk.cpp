// A VMDK virtual disk: a sparse extent file holding its own descriptor (monolithicSparse,
// streamOptimized), or a descriptor file naming its extents (twoGbMaxExtentSparse,
// monolithicFlat, twoGbMaxExtentFlat), found in the descriptor's folder. The extents make up the
// disk one after another; a grain a child does not hold is read from its parent.
#include "disk/vmdk.h"

#include "base/bytes.h"
#include "disk/containers.h"
#include "host/host_fs.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace dirtool {
namespace {

constexpr std::uint64_t sector = 512;
constexpr std::uint64_t largest_disk = (std::uint64_t{1} << 47) * sector;
const char descriptor_signature[] = "# Disk DescriptorFile";

bool is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// The folder of `path` with its trailing separator, or nothing for a bare file name.
std::string folder_of(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return path.substr(0, i);
    }
    return {};
}

bool is_absolute(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() >= 2 && path[1] == ':');
}

struct extent {
    std::uint64_t start = 0;  // where it begins on the virtual disk, in bytes
    std::uint64_t length = 0;
    vmdk_extent_line::kind type = vmdk_extent_line::kind::zero;
    std::unique_ptr<vmdk_sparse_extent> sparse;
    std::shared_ptr<image_reader> flat;
    std::uint64_t flat_start = 0;  // in the flat extent's file, in bytes
    std::string name;
};

class vmdk_disk final : public image_source {
public:
    vmdk_disk(std::shared_ptr<image_reader> main, std::vector<extent> extents, std::uint64_t size,
              const vmdk_descriptor& descriptor)
        : main_(std::move(main)), extents_(std::move(extents)), size_(size), descriptor_(descriptor) {}

    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return sector; }
    std::int64_t modified() const override { return main_->source().modified(); }
    file_identity identity() const override { return main_->source().identity(); }

    const vmdk_descriptor& descriptor() const { return descriptor_; }
    void set_parent(std::unique_ptr<image_source> parent) { parent_ = std::make_shared<image_reader>(std::move(parent)); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= size_) return true;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
        std::size_t done = 0;
        while (done < wanted) {
            const std::uint64_t at = offset + done;
            const auto after = std::upper_bound(extents_.begin(), extents_.end(), at,
                                                [](std::uint64_t where, const extent& e) { return where < e.start; });
            extent& here = *(after - 1);
            const std::uint64_t within = at - here.start;
            std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - done, here.length - within));
            if (!read_part(here, within, at, data + done, part, error)) return false;
            done += part;
        }
        got = wanted;
        return true;
    }

private:
    // Reads up to `part` bytes of `here` from `within` (`at` on the disk), cutting `part` to a grain.
    bool read_part(extent& here, std::uint64_t within, std::uint64_t at, char* data, std::size_t& part,
                   std::string& error) {
        switch (here.type) {
            case vmdk_extent_line::kind::zero:
                std::memset(data, 0, part);
                return true;
            case vmdk_extent_line::kind::flat:
                switch (here.flat->read(here.flat_start + within, data, part, error)) {
                    case image_reader::result::done: return true;
                    case image_reader::result::past_the_end: error = here.name + ": the file is cut short"; return false;
                    case image_reader::result::failed: return false;
                }
                return false;
            case vmdk_extent_line::kind::sparse: break;
        }
        const std::uint64_t grain = here.sparse->grain_bytes();
        part = static_cast<std::size_t>(std::min<std::uint64_t>(part, grain - within % grain));
        switch (here.sparse->read(within, data, part, error)) {
            case vmdk_sparse_extent::grain_state::data: return true;
            case vmdk_sparse_extent::grain_state::failed: return false;
            case vmdk_sparse_extent::grain_state::absent:
                if (parent_) return parent_->read(at, data, part, error) != image_reader::result::failed;
                std::memset(data, 0, part);
                return true;
            case vmdk_sparse_extent::grain_state::zero:
                std::memset(data, 0, part);
                return true;
        }
        return false;
    }

    std::shared_ptr<image_reader> main_;
    std::vector<extent> extents_;
    std::uint64_t size_;
    vmdk_descriptor descriptor_;
    std::shared_ptr<image_reader> parent_;
};

// Opens the extent `line` names, found in the descriptor's folder.
bool open_extent(const std::string& path, const vmdk_extent_line& line, extent& opened, std::string& error) {
    opened.type = line.type;
    opened.length = line.sectors * sector;
    if (line.type == vmdk_extent_line::kind::zero) return true;
    opened.name = folder_of(path) + line.file;
    entry_info entry;
    if (!stat_entry(opened.name, true, entry)) {
        error = path + ": its extent \"" + line.file + "\" is missing";
        return false;
    }
    std::unique_ptr<image_source> file = open_image_file(opened.name, error);
    if (!file) return false;
    auto reader = std::make_shared<image_reader>(std::move(file));
    if (line.type == vmdk_extent_line::kind::flat) {
        opened.flat_start = line.offset * sector;
        if (!fits_inside(opened.flat_start, opened.length, reader->source().size())) {
            error = opened.name + ": the flat extent is shorter than the descriptor says";
            return false;
        }
        opened.flat = std::move(reader);
        return true;
    }
    opened.sparse = vmdk_sparse_extent::open(std::move(reader), opened.name, error);
    if (!opened.sparse) return false;
    if (opened.sparse->sectors() < line.sectors) {
        error = opened.name + ": the sparse extent holds " + std::to_string(opened.sparse->sectors()) +
                " sectors, fewer than the descriptor's " + std::to_string(line.sectors);
        return false;
    }
    return true;
}

// The parent's file: the hint from the child's folder, then as it stands, then the hint's file
// name in the child's folder (a chain copied from another machine).
bool find_parent(const std::string& child, const std::string& hint, std::string& found) {
    std::vector<std::string> candidates;
    if (!is_absolute(hint)) candidates.push_back(folder_of(child) + hint);
    candidates.push_back(hint);
    std::size_t name_start = hint.find_last_of("/\\");
    candidates.push_back(folder_of(child) + hint.substr(name_start == std::string::npos ? 0 : name_start + 1));
    for (const std::string& candidate : candidates) {
        entry_info entry;
        if (stat_entry(candidate, true, entry)) {
            found = candidate;
            return true;
        }
    }
    return false;
}

bool attach_parent(vmdk_disk& disk, const std::string& path, unsigned depth, std::string& error) {
    const vmdk_descriptor& descriptor = disk.descriptor();
    if (descriptor.parent_cid == vmdk_no_parent) return true;
    std::string parent_path;
    if (descriptor.parent_hint.empty() || !find_parent(path, descriptor.parent_hint, parent_path)) {
        error = path + ": its parent \"" + descriptor.parent_hint + "\" is not found";
        return false;
    }
    std::unique_ptr<image_source> parent = open_disk_file(parent_path, depth + 1, error);
    if (!parent) return false;
    const auto* parent_vmdk = dynamic_cast<const vmdk_disk*>(parent.get());
    if (parent_vmdk == nullptr) {
        error = path + ": its parent " + parent_path + " is not a VMDK";
        return false;
    }
    if (!parent_vmdk->descriptor().has_cid || parent_vmdk->descriptor().cid != descriptor.parent_cid) {
        error = path + ": its parent " + parent_path + " is not the disk it was made from: the CIDs differ";
        return false;
    }
    disk.set_parent(std::move(parent));
    return true;
}

bool recognises_vmdk(const disk_probe& probe) {
    return starts_vmdk_sparse_extent(probe.head, probe.head_length) ||
           starts_vmdk_descriptor(probe.head, probe.head_length);
}

}  // namespace

bool starts_vmdk_descriptor(const char* head, std::size_t length) {
    const std::size_t signature = sizeof descriptor_signature - 1;
    return length >= signature && std::memcmp(head, descriptor_signature, signature) == 0;
}

std::unique_ptr<image_source> open_vmdk(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                        std::string& error) {
    auto main = std::make_shared<image_reader>(std::move(file));
    const std::uint64_t file_size = main->source().size();
    char head[4] = {};
    if (main->read(0, head, sizeof head, error) == image_reader::result::failed) return nullptr;
    vmdk_descriptor descriptor;
    std::vector<extent> extents;
    std::string problem;
    if (starts_vmdk_sparse_extent(head, sizeof head)) {
        extent whole;
        whole.type = vmdk_extent_line::kind::sparse;
        whole.sparse = vmdk_sparse_extent::open(main, path, error);
        if (!whole.sparse) return nullptr;
        whole.length = whole.sparse->sectors() * sector;
        whole.name = path;
        const std::string& text = whole.sparse->embedded_descriptor();
        if (!parse_vmdk_descriptor(text.data(), text.size(), descriptor, problem)) {
            error = path + ": " + problem;
            return nullptr;
        }
        if (whole.length > 0) extents.push_back(std::move(whole));
    } else {
        if (file_size > largest_vmdk_descriptor) {
            error = path + ": its descriptor of " + std::to_string(file_size) +
                    " bytes is larger than a VMDK descriptor can be";
            return nullptr;
        }
        std::string text(static_cast<std::size_t>(file_size), '\0');
        if (main->read(0, &text[0], text.size(), error) != image_reader::result::done) return nullptr;
        if (!parse_vmdk_descriptor(text.data(), text.size(), descriptor, problem)) {
            error = path + ": " + problem;
            return nullptr;
        }
        std::uint64_t start = 0;
        for (const vmdk_extent_line& line : descriptor.extents) {
            extent opened;
            if (!open_extent(path, line, opened, error)) return nullptr;
            opened.start = start;
            start = saturated_sum(start, opened.length);
            if (start > largest_disk) {
                error = path + ": its extents add up to a disk of absurd size";
                return nullptr;
            }
            if (opened.length > 0) extents.push_back(std::move(opened));
        }
    }
    const std::uint64_t size = extents.empty() ? 0 : extents.back().start + extents.back().length;
    auto disk = std::make_unique<vmdk_disk>(std::move(main), std::move(extents), size, descriptor);
    if (!attach_parent(*disk, path, depth, error)) return nullptr;
    return disk;
}

extern const container_format vmdk_format = {"VMDK", recognises_vmdk, open_vmdk};

}  // namespace dirtool
