// Which container a disk file is, by its content: each format's signatures are tried in turn, and
// a file that none recognises is a raw image, served as it is.
#include "disk/containers.h"

#include "host/host_fs.h"

#include <vector>

namespace dirtool {

extern const container_format vhdx_format;
extern const container_format vhd_format;
extern const container_format qcow2_format;
extern const container_format vmdk_format;
extern const container_format ova_format;

namespace {

// The formats, in the order they are tried. A format whose signature can stand inside another's
// data comes after the ones whose signature is at a fixed place of their own: a fixed VHD is known
// by the footer at its end alone.
const container_format* const formats[] = {
    &vhdx_format,
    &vdi_format,
    &qcow2_format,
    &vmdk_format,
    &ova_format,
    &vhd_format,
};

// Reads up to `count` bytes at a whole-sector `offset` into aligned memory; what the file holds.
std::size_t read_probe(image_source& file, std::uint64_t offset, char* data, std::size_t count) {
    const std::size_t sector = file.sector_size() == 0 ? 1 : file.sector_size();
    const std::uint64_t left = file.size() - offset;
    std::size_t wanted = left < count ? static_cast<std::size_t>(left) : count;
    wanted += (sector - wanted % sector) % sector;
    std::size_t got = 0;
    std::string ignored;
    if (!file.read_sectors(offset, data, wanted, got, ignored)) return 0;
    return got < left ? got : static_cast<std::size_t>(left);
}

}  // namespace

std::unique_ptr<image_source> open_disk(std::unique_ptr<image_source> file, const std::string& path,
                                        unsigned depth, std::string& error) {
    if (depth > deepest_disk_chain) {
        error = path + ": a chain of more than " + std::to_string(deepest_disk_chain) +
                " disks over their parents, or one that loops";
        return nullptr;
    }
    // Two aligned buffers of the largest sector a disk file is read in; left unset, since only
    // what the reads fill is looked at, and zeroing them cost more than the reads.
    constexpr std::size_t align = 4096;
    const std::unique_ptr<char[]> storage(new char[disk_probe::head_size + 2 * align]);
    const auto address = reinterpret_cast<std::uintptr_t>(storage.get());
    char* head = storage.get() + (align - address % align) % align;
    char* tail_sector = head + disk_probe::head_size;
    disk_probe probe{head, 0, nullptr, 0, file->size()};
    probe.head_length = read_probe(*file, 0, head, disk_probe::head_size);
    const std::size_t sector = file->sector_size() == 0 ? 1 : file->sector_size();
    if (probe.file_size > 0) {
        const std::uint64_t tail_start = probe.file_size > 512 ? probe.file_size - 512 : 0;
        const std::uint64_t sector_start = tail_start - tail_start % sector;
        const std::size_t got = read_probe(*file, sector_start, tail_sector, align);
        const auto skip = static_cast<std::size_t>(tail_start - sector_start);
        probe.tail = tail_sector + skip;
        probe.tail_length = got > skip ? got - skip : 0;
    }
    for (const container_format* format : formats) {
        // Parents and extents are found from the real file's folder, not from a link's.
        if (format->recognises(probe)) {
            return format->open(std::move(file), resolved_path(path), depth, error);
        }
    }
    return file;
}

std::unique_ptr<image_source> open_disk_file(const std::string& path, unsigned depth, std::string& error) {
    std::unique_ptr<image_source> file = open_image_file(path, error);
    if (!file) return nullptr;
    return open_disk(std::move(file), path, depth, error);
}

}  // namespace dirtool
