// A disk served as a device: the file system it holds from its first byte, or else, on a whole
// disk, one folder per partition, named by the partition's number, each holding that partition's
// ext2/3/4 file system, read exactly as a bare image of it would be. A partition of another kind
// is listed but holds nothing.
#include "devices/devices.h"

#include "disk/disk.h"
#include "ext/ext.h"
#include "host/host_fs.h"
#include "volumes/volumes.h"

#include <algorithm>
#include <utility>

namespace dirtool {

namespace {

std::string partition_name(unsigned number) {
    return "partition " + std::to_string(number);
}

std::shared_ptr<image_reader> partition_disk(const std::shared_ptr<image_reader>& disk, const partition& part) {
    return std::make_shared<image_reader>(open_window(disk, part.start, part.size));
}

// The partition's file system; null with a message when it holds none this tool reads. Only the
// magic number is looked at first, so that a partition of another kind is told apart from a
// damaged ext file system.
std::unique_ptr<device> open_partition(const std::shared_ptr<image_reader>& disk, const partition& part,
                                       std::string& error) {
    const std::string name = partition_name(part.number);
    const std::shared_ptr<image_reader> inside = partition_disk(disk, part);
    if (!has_ext_magic(*inside)) {
        error = name + ": no ext2/3/4 file system";
        return nullptr;
    }
    return open_ext_device(inside, name, error);
}

class partitioned_disk final : public device {
public:
    partitioned_disk(std::shared_ptr<image_reader> disk, std::string image_file, partition_table table)
        : disk_(std::move(disk)), image_file_(std::move(image_file)), table_(std::move(table)) {}

    outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                 std::string& error) override {
        if (components.empty()) return list_root(entries, error);
        const outcome opened = enter(components.front(), error);
        if (opened != outcome::done) return opened;
        return inside_->list(rest_of(components), entries, error);
    }

    // The free space of the partition the last request went into; the root itself has none to tell.
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

    const partition* find(const std::string& folder) const {
        for (const partition& part : table_.partitions) {
            if (std::to_string(part.number) == folder) return &part;
        }
        return nullptr;
    }

    outcome enter(const std::string& folder, std::string& error) {
        const partition* part = find(folder);
        if (part == nullptr) return outcome::not_found;
        inside_ = open_partition(disk_, *part, error);
        return inside_ ? outcome::done : outcome::failed;
    }

    // One folder a partition: its size the partition's, its time the one its file system was last
    // written, or else the image's. A damaged table's problems come after what could be listed.
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
        for (const partition& part : table_.partitions) {
            entry_info folder = self;
            folder.name = std::to_string(part.number);
            folder.size = part.size;
            std::int64_t written = 0;
            if (ext_last_written(partition_disk(disk_, part), written)) folder.mtime = written;
            entries.push_back(folder);
        }
        if (table_.problems.empty()) return outcome::done;
        error = image_file_ + ": ";
        for (std::size_t i = 0; i < table_.problems.size(); ++i) error += (i > 0 ? "; " : "") + table_.problems[i];
        return outcome::failed;
    }

    std::shared_ptr<image_reader> disk_;
    std::string image_file_;
    partition_table table_;
    std::unique_ptr<device> inside_;
};

}  // namespace

std::unique_ptr<device> open_image_device(const std::string& image_file, std::string& error) {
    std::unique_ptr<image_source> source = open_disk_file(image_file, 0, error);
    if (!source) return nullptr;
    return open_image_device(std::move(source), image_file, error);
}

std::unique_ptr<device> open_image_device(std::unique_ptr<image_source> source, const std::string& name,
                                          std::string& error) {
    auto disk = std::make_shared<image_reader>(std::move(source));
    std::unique_ptr<device> bare = open_ext_device(disk, name, error);
    if (bare) return bare;
    // No file system from the image's first byte: a whole disk holds a partition table there, and
    // an image that holds neither keeps the file system's message.
    partition_table table = read_partition_table(*disk);
    if (table.kind == table_kind::none) return nullptr;
    return std::make_unique<partitioned_disk>(disk, name, std::move(table));
}

std::unique_ptr<device> open_partition_device(const std::string& image_file, unsigned number, std::string& error) {
    std::unique_ptr<image_source> source = open_disk_file(image_file, 0, error);
    if (!source) return nullptr;
    return open_partition_device(std::move(source), image_file, number, error);
}

std::unique_ptr<device> open_partition_device(std::unique_ptr<image_source> source, const std::string& image_file,
                                              unsigned number, std::string& error) {
    const auto disk = std::make_shared<image_reader>(std::move(source));
    const partition_table table = read_partition_table(*disk);
    const std::string name = partition_name(number);
    if (table.kind == table_kind::none) {
        error = image_file + " holds no partition table, so no " + name;
        return nullptr;
    }
    const auto found = std::find_if(table.partitions.begin(), table.partitions.end(),
                                    [number](const partition& part) { return part.number == number; });
    if (found == table.partitions.end()) {
        error = image_file + " has no " + name;
        // Say why, when the table named it but could not be trusted with it.
        for (const std::string& problem : table.problems) {
            if (problem.rfind(name + " ", 0) == 0) error += ": " + problem;
        }
        return nullptr;
    }
    return open_partition(disk, *found, error);
}

}  // namespace dirtool
