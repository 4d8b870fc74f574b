// One of the PC's own disks served as a device, read raw (Windows only: the host layer opens it).
#include "devices/devices.h"

#include "host/host_fs.h"

#include <utility>

namespace dirtool {

namespace {

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
