// What the container fuzzers share: arbitrary bytes as a disk file in memory, opened as the given
// format with no path (so no parent is looked for on the host), and the virtual disk read across:
// every read must stay inside the bytes, and a disk that opens must read in whole sectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/containers.h"

namespace container_fuzzing {

// The input describes a sparse file, so that a small input can stand for a file of megabytes whose
// structures lie far apart: its size in 512-byte sectors (4 bytes, little-endian, at most 64 MiB),
// then pieces, each its sector (4 bytes), its length (2 bytes) and its bytes; zeros elsewhere.
class memory_file final : public dirtool::image_source {
public:
    memory_file(const std::uint8_t* data, std::size_t size) {
        const auto le = [&](std::size_t at, int bytes) {
            std::uint64_t value = 0;
            for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[at + static_cast<std::size_t>(i)];
            return value;
        };
        if (size < 4) return;
        size_ = std::min<std::uint64_t>(le(0, 4), 2 * 64 * 1024) * 512;
        for (std::size_t at = 4; at + 6 <= size;) {
            const std::uint64_t first = le(at, 4);
            const std::size_t length = std::min<std::size_t>(le(at + 4, 2), size - at - 6);
            at += 6;
            // Sector by sector, a later piece over an earlier one.
            for (std::size_t done = 0; done < length && (first + done / 512) * 512 < size_; done += 512) {
                std::string& sector = sectors_[first + done / 512];
                sector.assign(512, '\0');
                sector.replace(0, std::min<std::size_t>(512, length - done), reinterpret_cast<const char*>(data + at + done),
                               std::min<std::size_t>(512, length - done));
            }
            at += length;
        }
    }
    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return 0; }
    dirtool::file_identity identity() const override { return {}; }
    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got, std::string&) override {
        if (offset % 512 != 0 || count % 512 != 0 || reinterpret_cast<std::uintptr_t>(data) % 512 != 0) std::abort();
        got = 0;
        if (offset >= size_) return true;
        got = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
        for (std::size_t done = 0; done < got; done += 512) {
            const auto sector = sectors_.find((offset + done) / 512);
            if (sector == sectors_.end()) {
                std::memset(data + done, 0, 512);
            } else {
                std::memcpy(data + done, sector->second.data(), 512);
            }
        }
        return true;
    }

private:
    std::uint64_t size_ = 0;
    std::unordered_map<std::uint64_t, std::string> sectors_;
};

inline int fuzz_one(const dirtool::container_format& format, const std::uint8_t* data, std::size_t size) {
    std::string error;
    std::unique_ptr<dirtool::image_source> disk =
        format.open(std::make_unique<memory_file>(data, size), "", 0, error);
    if (!disk) {
        if (error.empty()) std::abort();
        return 0;
    }
    const std::size_t sector = disk->sector_size();
    if (sector != 512 && sector != 4096) std::abort();
    // A few reads spread over the disk: its start, its end, and places the input's last bytes pick.
    std::vector<char> storage(64 * 1024 + 4096);
    char* buffer = storage.data() + (4096 - reinterpret_cast<std::uintptr_t>(storage.data()) % 4096) % 4096;
    const std::uint64_t sectors = disk->size() / sector;
    std::uint64_t places[4] = {0, sectors > 8 ? sectors - 8 : 0, 0, 0};
    if (size >= 16) {
        std::uint64_t pick = 0;
        std::memcpy(&pick, data + size - 8, 8);
        places[2] = sectors == 0 ? 0 : pick % sectors;
        std::memcpy(&pick, data + size - 16, 8);
        places[3] = sectors == 0 ? 0 : pick % sectors;
    }
    for (std::uint64_t place : places) {
        std::size_t got = 0;
        const std::size_t count = 64 * 1024 / sector * sector;
        if (disk->read_sectors(place * sector, buffer, count, got, error) && got > count) std::abort();
    }
    return 0;
}

}  // namespace container_fuzzing
