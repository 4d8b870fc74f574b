// Arbitrary bytes as a VDI image: opening it must end in a disk or a message, and reading the disk
// must stay inside the bytes, give whole answers up to the disk's end, and never hang. The image
// has no folder, so a differencing image's parent is not looked for.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/containers.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

class memory_file final : public dirtool::image_source {
public:
    memory_file(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return 0; }
    dirtool::file_identity identity() const override { return {}; }
    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got, std::string&) override {
        check(offset % 512 == 0 && count % 512 == 0);
        got = offset < size_ ? static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset)) : 0;
        if (got > 0) std::memcpy(data, data_ + offset, got);
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    std::unique_ptr<dirtool::image_source> disk =
        dirtool::vdi_format.open(std::make_unique<memory_file>(data, size), "", 0, error);
    check(disk != nullptr || !error.empty());
    if (!disk) return 0;
    const std::uint64_t disk_size = disk->size();
    // The first sectors, the last ones, and a few the bytes themselves choose, whole blocks apart.
    std::vector<std::uint64_t> offsets = {0, disk_size - disk_size % 512, disk_size > 8192 ? disk_size - 8192 : 0};
    for (std::size_t i = 0; i + 8 <= size && offsets.size() < 12; i += 97) {
        std::uint64_t pick = 0;
        std::memcpy(&pick, data + i, 8);
        offsets.push_back(disk_size == 0 ? 0 : (pick % disk_size) & ~std::uint64_t{511});
    }
    alignas(512) static char buffer[16384];
    for (const std::uint64_t offset : offsets) {
        std::size_t got = 0;
        std::string failure;
        if (disk->read_sectors(offset, buffer, sizeof buffer, got, failure)) {
            const std::uint64_t left = offset < disk_size ? disk_size - offset : 0;
            check(got == std::min<std::uint64_t>(left, sizeof buffer));
        } else {
            check(!failure.empty());
        }
    }
    return 0;
}
