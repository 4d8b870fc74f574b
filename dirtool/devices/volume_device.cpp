// A folder per volume, and what each volume holds. Only an ext superblock's magic number is looked
// at first, so that a volume of another kind is told apart from a damaged ext file system; then a
// logical volume's partition table, an encrypted volume's signature, and a physical volume's label.
#include "devices/volume_device.h"

#include "ext/ext.h"
#include "volumes/lvm.h"

#include <utility>

namespace dirtool {
namespace {

// A partition in a logical volume in a partition is three deep; a description that leads back into
// itself is read no deeper than this.
constexpr unsigned deepest_volume_nesting = 8;

class volume_folders final : public device {
public:
    volume_folders(std::shared_ptr<image_reader> disk, std::string name, std::vector<volume_folder> volumes,
                   std::vector<std::string> problems, sibling_disks siblings, unsigned depth)
        : disk_(std::move(disk)), name_(std::move(name)), volumes_(std::move(volumes)), problems_(std::move(problems)),
          siblings_(std::move(siblings)), depth_(depth) {}

    outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                 std::string& error) override {
        if (components.empty()) return list_root(entries, error);
        const outcome opened = enter(components.front(), error);
        if (opened != outcome::done) return opened;
        return inside_->list(rest_of(components), entries, error);
    }

    // The free space of the volume the last request went into; the root itself has none to tell.
    bool free_space(std::uint64_t& bytes) override { return inside_ && inside_->free_space(bytes); }

    outcome copy_out(const std::vector<std::string>& components, const std::string& local_name,
                     std::string& error) override {
        if (components.empty()) return outcome::not_regular;
        if (find(components.front()) == nullptr) return outcome::not_found;
        if (components.size() == 1) return outcome::not_regular;
        const outcome opened = enter(components.front(), error);
        if (opened != outcome::done) return opened;
        return inside_->copy_out(rest_of(components), local_name, error);
    }

private:
    static std::vector<std::string> rest_of(const std::vector<std::string>& components) {
        return std::vector<std::string>(components.begin() + 1, components.end());
    }

    const volume_folder* find(const std::string& folder) const {
        for (const volume_folder& volume : volumes_) {
            if (volume.folder == folder) return &volume;
        }
        return nullptr;
    }

    outcome enter(const std::string& folder, std::string& error) {
        const volume_folder* volume = find(folder);
        if (volume == nullptr) return outcome::not_found;
        inside_ = open_volume(*volume, siblings_, depth_ + 1, error);
        return inside_ ? outcome::done : outcome::failed;
    }

    // One folder a volume: its size the volume's, its time the one its file system was last
    // written, or else the disk's. The problems come after what could be listed.
    outcome list_root(std::vector<entry_info>& entries, std::string& error) {
        entry_info self;
        self.type = 'd';
        self.permissions = 0755;
        self.links = 2;
        self.mtime = disk_->source().modified();
        self.name = ".";
        entries.push_back(self);
        self.name = "..";
        entries.push_back(self);
        for (const volume_folder& volume : volumes_) {
            entry_info folder = self;
            folder.name = volume.folder;
            folder.size = volume.size;
            std::int64_t written = 0;
            if (volume.disk && ext_last_written(volume.disk, written)) folder.mtime = written;
            entries.push_back(folder);
        }
        if (problems_.empty()) return outcome::done;
        error = name_ + ": ";
        for (std::size_t i = 0; i < problems_.size(); ++i) error += (i > 0 ? "; " : "") + problems_[i];
        return outcome::failed;
    }

    std::shared_ptr<image_reader> disk_;
    std::string name_;
    std::vector<volume_folder> volumes_;
    std::vector<std::string> problems_;
    sibling_disks siblings_;
    unsigned depth_;
    std::unique_ptr<device> inside_;
};

}  // namespace

std::vector<volume_folder> partition_folders(const std::shared_ptr<image_reader>& disk,
                                             const std::vector<partition>& partitions, sibling_disks& siblings) {
    std::vector<volume_folder> folders;
    siblings.clear();
    for (const partition& part : partitions) {
        volume_folder folder;
        folder.folder = std::to_string(part.number);
        folder.name = "partition " + folder.folder;
        folder.size = part.size;
        folder.disk = std::make_shared<image_reader>(open_window(disk, part.start, part.size));
        siblings.push_back(folder.disk);
        folders.push_back(std::move(folder));
    }
    return folders;
}

std::unique_ptr<device> open_volume_folders(std::shared_ptr<image_reader> disk, std::string name,
                                            std::vector<volume_folder> volumes, std::vector<std::string> problems,
                                            sibling_disks siblings, unsigned depth) {
    return std::make_unique<volume_folders>(std::move(disk), std::move(name), std::move(volumes), std::move(problems),
                                            std::move(siblings), depth);
}

std::unique_ptr<device> open_volume(const volume_folder& volume, const sibling_disks& siblings, unsigned depth,
                                    std::string& error) {
    if (!volume.disk) {
        error = volume.name + ": " + volume.not_read;
        return nullptr;
    }
    if (has_ext_magic(*volume.disk)) return open_ext_device(volume.disk, volume.name, error);
    if (depth < deepest_volume_nesting) {
        if (volume.may_hold_table) {
            const partition_table table = read_partition_table(*volume.disk);
            if (table.kind != table_kind::none) {
                sibling_disks inner;
                std::vector<volume_folder> folders = partition_folders(volume.disk, table.partitions, inner);
                return open_volume_folders(volume.disk, volume.name, std::move(folders), table.problems,
                                           std::move(inner), depth);
            }
        }
        const std::string encryption = encryption_of(*volume.disk);
        if (!encryption.empty()) {
            error = volume.name + ": encrypted (" + encryption + "): not read";
            return nullptr;
        }
        std::string refused;
        std::unique_ptr<device> group = open_physical_volume(volume.disk, volume.name, siblings, depth, refused);
        if (group) return group;
        if (!refused.empty()) {
            error = refused;
            return nullptr;
        }
    }
    error = volume.name + ": no ext2/3/4 file system";
    return nullptr;
}

}  // namespace dirtool
