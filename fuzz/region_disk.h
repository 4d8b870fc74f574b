// A 32 MiB disk of zeros with regions written over it, each one a 32-bit offset, a 16-bit length
// and that many bytes (little-endian), as the ext fuzzers' inputs and seeds describe disks; and
// the reading of the file system on it that they share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/image_source.h"
#include "ext/ext.h"

namespace fuzz_regions {

inline void check(bool condition) {
    if (!condition) std::abort();
}

constexpr std::uint64_t disk_size = 32 * 1024 * 1024;
constexpr std::size_t sector = 512;

struct region {
    std::uint64_t offset;
    std::string bytes;
};

class region_disk final : public dirtool::image_source {
public:
    explicit region_disk(std::vector<region> regions) : regions_(std::move(regions)) {}

    std::uint64_t size() const override { return disk_size; }
    std::size_t sector_size() const override { return sector; }
    std::int64_t modified() const override { return 0; }
    dirtool::file_identity identity() const override { return {}; }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string&) override {
        check(offset % sector == 0 && count % sector == 0 && offset < disk_size);
        got = static_cast<std::size_t>(std::min<std::uint64_t>(count, disk_size - offset));
        std::memset(data, 0, got);
        for (const region& part : regions_) {
            const std::uint64_t first = std::max(offset, part.offset);
            const std::uint64_t end = std::min(offset + got, part.offset + part.bytes.size());
            if (first < end) {
                std::memcpy(data + (first - offset), part.bytes.data() + (first - part.offset), end - first);
            }
        }
        return true;
    }

private:
    std::vector<region> regions_;
};

inline std::vector<region> regions_of(const std::uint8_t* data, std::size_t size) {
    std::vector<region> regions;
    std::size_t at = 0;
    while (size - at >= 6) {
        std::uint64_t offset = 0;
        for (int i = 3; i >= 0; --i) offset = offset << 8 | data[at + static_cast<std::size_t>(i)];
        const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(data[at + 4] | data[at + 5] << 8),
                                                         size - at - 6);
        at += 6;
        if (offset < disk_size) {
            const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(length, disk_size - offset));
            regions.push_back({offset, std::string(reinterpret_cast<const char*>(data + at), kept)});
        }
        at += length;
    }
    return regions;
}

// Opens the ext file system on `disk` and lists its root and up to eight folders in it; null when
// it cannot be opened, which must come with a message.
inline std::unique_ptr<dirtool::device> open_and_list(const std::shared_ptr<dirtool::image_reader>& disk) {
    std::string error;
    std::unique_ptr<dirtool::device> ext = dirtool::open_ext_device(disk, "fuzz", error);
    if (!ext) {
        check(!error.empty());
        return ext;
    }
    std::vector<dirtool::entry_info> root;
    const dirtool::outcome listed = ext->list({}, root, error);
    check(listed != dirtool::outcome::failed || !error.empty());
    std::size_t entered = 0;
    for (const dirtool::entry_info& entry : root) {
        if (entry.type != 'd' || entry.name == "." || entry.name == ".." || entered++ == 8) continue;
        std::vector<dirtool::entry_info> inside;
        error.clear();
        static_cast<void>(ext->list({entry.name}, inside, error));
    }
    return ext;
}

}  // namespace fuzz_regions
