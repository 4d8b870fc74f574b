// Arbitrary bytes as the fast-commit area of a file system left by a crash: the base disk
// (KOVOX_FAST_COMMIT_BASE, made by make_fast_commit_seeds.sh: the fast-commit area's byte offset, 8
// bytes little-endian, then the disk's regions as region_disk.h reads them, the area zeroed) gets
// the input written at the area's start. Each TAIL's CRC is made right first, so that the records
// reach the replay rather than failing their checksum. The ext reader recovers the journal, replays
// the fast commits and lists the root and the folders in it; it may read only inside the disk, and
// must end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "ext/ext.h"
#include "region_disk.h"

namespace {

using fuzz_regions::check;

struct base_disk {
    std::uint64_t area = 0;
    std::vector<fuzz_regions::region> regions;
};

const base_disk& base() {
    static const base_disk disk = [] {
        base_disk loaded;
        const char* path = std::getenv("KOVOX_FAST_COMMIT_BASE");
        std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
        if (file == nullptr) {
            std::fprintf(stderr, "KOVOX_FAST_COMMIT_BASE must name the base disk (fuzz/fast_commit_base)\n");
            std::abort();
        }
        std::string bytes;
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
        std::fclose(file);
        check(bytes.size() >= 8);
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        loaded.area = dirtool::load_le64(data);
        loaded.regions = fuzz_regions::regions_of(data + 8, bytes.size() - 8);
        return loaded;
    }();
    return disk;
}

// Sets each TAIL's CRC to the raw CRC-32C of the records since the last one, as the kernel writes it.
void seal(std::string& area, std::size_t block_size) {
    std::uint32_t crc = 0;
    for (std::size_t block = 0; block < area.size(); block += block_size) {
        const std::size_t end = std::min(block + block_size, area.size());
        for (std::size_t at = block; at + 4 <= end;) {
            const auto* record = reinterpret_cast<const unsigned char*>(area.data() + at);
            const std::uint16_t tag = dirtool::load_le16(record);
            const std::size_t length = dirtool::load_le16(record + 2);
            if (tag == 0 || at + 4 + length > end) break;
            if (tag == 8 && length >= 8) {
                crc = ~dirtool::crc32c(record, 8, ~crc);
                for (int i = 0; i < 4; ++i) area[at + 8 + static_cast<std::size_t>(i)] = static_cast<char>(crc >> (8 * i));
                crc = 0;
            } else {
                crc = ~dirtool::crc32c(record, 4 + length, ~crc);
            }
            at += 4 + length;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    // Whole blocks, as the area holds them: a TAIL runs to its block's end.
    std::string area(reinterpret_cast<const char*>(data), size);
    area.resize((size + 1023) / 1024 * 1024);
    seal(area, 1024);
    std::vector<fuzz_regions::region> regions = base().regions;
    regions.push_back({base().area, area});
    auto disk = std::make_shared<dirtool::image_reader>(std::make_unique<fuzz_regions::region_disk>(std::move(regions)));
    static_cast<void>(fuzz_regions::open_and_list(disk));
    return 0;
}
