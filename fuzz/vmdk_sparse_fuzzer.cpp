// Arbitrary bytes as a VMDK sparse extent, held in memory: opening it and reading from its grains
// must read only inside those bytes (the disk in memory refuses anything else as a raw disk does)
// and never crash, whatever its header, directories, tables and compressed grains say.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/memory_disk.h"
#include "disk/vmdk.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto log = std::make_shared<dirtool::disk_log>();
    auto file = std::make_unique<dirtool::memory_disk>(std::string(reinterpret_cast<const char*>(data), size), 512,
                                                       dirtool::memory_disk::rules::file, log);
    auto reader = std::make_shared<dirtool::image_reader>(std::move(file));
    std::string error;
    std::unique_ptr<dirtool::vmdk_sparse_extent> extent = dirtool::vmdk_sparse_extent::open(reader, "fuzz", error);
    check((extent == nullptr) != error.empty());
    if (!extent) return 0;
    const std::uint64_t grain = extent->grain_bytes();
    const std::uint64_t disk = extent->sectors() * 512;
    check(grain >= 512 && grain % 512 == 0);
    // The first grains, and a few far out, as a file system's first reads and its later ones.
    std::vector<std::uint64_t> grains;
    for (std::uint64_t g = 0; g < 24; ++g) grains.push_back(g);
    for (std::uint64_t g = 1; g <= 8; ++g) grains.push_back(disk / grain * g / 8);
    std::vector<char> bytes(4096);
    for (std::uint64_t g : grains) {
        const std::uint64_t start = g * grain;
        if (start >= disk) continue;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>({bytes.size(), grain, disk - start}));
        error.clear();
        const auto state = extent->read(start + (grain - count) / 2 / 512 * 512, bytes.data(), count, error);
        check((state == dirtool::vmdk_sparse_extent::grain_state::failed) != error.empty());
    }
    for (const auto& request : log->reads) check(request.offset <= size);
    return 0;
}
