// A whole-disk image served as a device: its root holds one folder per partition, named by the
// partition's number, and each folder holds that partition's ext2/3/4 file system, read exactly as
// a bare image of it would be. A partition of another kind is listed but holds nothing.
#include "device.h"
#include "device_fs.h"
#include "partition_table.h"

#include <algorithm>
#include <utility>

namespace dirtool {

namespace {

constexpr std::uint64_t ext_magic_at = 1024 + 56;  // s_magic, in the superblock 1024 bytes in
constexpr unsigned char ext_magic[2] = {0x53, 0xef};

partition_table table_of(image_reader& reader) {
    const disk_reader read = [&reader](std::uint64_t offset, std::size_t size, char* data) {
        std::string ignored;
        return reader.read(offset, data, size, ignored) == image_reader::result::done;
    };
    return read_partition_table(read, reader.source().size());
}

std::string partition_name(unsigned number) {
    return "partition " + std::to_string(number);
}

// The partition's file system; null with a message when it holds none this tool reads. Only the
// magic number is looked at first, so that a partition of another kind is told apart from a
// damaged ext file system.
std::unique_ptr<device> open_partition(const std::shared_ptr<image_reader>& reader, const partition& part,
                                       std::string& error) {
    const std::string name = partition_name(part.number);
    unsigned char magic[2] = {};
    std::string ignored;
    if (part.size < ext_magic_at + sizeof magic ||
        reader->read(part.start + ext_magic_at, reinterpret_cast<char*>(magic), sizeof magic, ignored) !=
            image_reader::result::done ||
        !std::equal(magic, magic + sizeof magic, ext_magic)) {
        error = name + ": no ext2/3/4 file system";
        return nullptr;
    }
    return open_file_system_device(reader, part.start, part.size, name, error);
}

class partitioned_disk final : public device {
public:
    partitioned_disk(std::shared_ptr<image_reader> reader, std::string image_file, partition_table table)
        : reader_(std::move(reader)), image_file_(std::move(image_file)), table_(std::move(table)) {}

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
        inside_ = open_partition(reader_, *part, error);
        return inside_ ? outcome::done : outcome::failed;
    }

    // One folder a partition: its size the partition's, its time the one its file system was last
    // written, or else the image's. A damaged table's problems come after what could be listed.
    outcome list_root(std::vector<entry_info>& entries, std::string& error) {
        entry_info self;
        self.type = 'd';
        self.permissions = 0755;
        self.links = 2;
        self.mtime = reader_->source().modified();
        self.name = ".";
        entries.push_back(self);
        self.name = "..";
        entries.push_back(self);
        for (const partition& part : table_.partitions) {
            entry_info folder = self;
            folder.name = std::to_string(part.number);
            folder.size = part.size;
            std::int64_t written = 0;
            if (file_system_written(reader_, part.start, part.size, written)) folder.mtime = written;
            entries.push_back(folder);
        }
        if (table_.problems.empty()) return outcome::done;
        error = image_file_ + ": ";
        for (std::size_t i = 0; i < table_.problems.size(); ++i) error += (i > 0 ? "; " : "") + table_.problems[i];
        return outcome::failed;
    }

    std::shared_ptr<image_reader> reader_;
    std::string image_file_;
    partition_table table_;
    std::unique_ptr<device> inside_;
};

// A disk of the PC that could not be opened or holds nothing this tool reads: every path on it is
// not found, which the tool answers as for a device that is not there.
class unreadable_disk final : public device {
public:
    explicit unreadable_disk(std::string reason) : reason_(std::move(reason)) {}

    outcome list(const std::vector<std::string>&, std::vector<entry_info>&, std::string& error) override {
        error = reason_;
        return outcome::not_found;
    }
    bool free_space(std::uint64_t&) override { return false; }
    outcome copy_out(const std::vector<std::string>&, const std::string&, std::string& error) override {
        error = reason_;
        return outcome::not_found;
    }

private:
    std::string reason_;
};

}  // namespace

std::unique_ptr<device> open_partitioned_disk(const std::shared_ptr<image_reader>& reader,
                                              const std::string& image_file) {
    partition_table table = table_of(*reader);
    if (table.kind == table_kind::none) return nullptr;
    return std::make_unique<partitioned_disk>(reader, image_file, std::move(table));
}

std::unique_ptr<device> open_partition_device(const std::string& image_file, unsigned number, std::string& error) {
    std::unique_ptr<image_source> source = open_image_file(image_file, error);
    if (!source) return nullptr;
    return open_partition_device(std::move(source), image_file, number, error);
}

std::unique_ptr<device> open_partition_device(std::unique_ptr<image_source> source, const std::string& image_file,
                                              unsigned number, std::string& error) {
    const auto reader = std::make_shared<image_reader>(std::move(source));
    const partition_table table = table_of(*reader);
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
    return open_partition(reader, *found, error);
}

std::unique_ptr<device> open_pc_disk_device(unsigned disk, unsigned number) {
    std::string path;
    std::string error;
    std::unique_ptr<image_source> source = open_pc_disk(disk, path, error);
    std::unique_ptr<device> opened;
    if (source) {
        opened = number == 0 ? open_image_device(std::move(source), path, error)
                             : open_partition_device(std::move(source), path, number, error);
    }
    if (opened) return opened;
    return std::make_unique<unreadable_disk>(std::move(error));
}

}  // namespace dirtool
