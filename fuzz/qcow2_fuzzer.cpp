// Arbitrary bytes as a QCOW2 image file: opening it and reading its virtual disk must read only
// inside the file, in whole sectors, and end every read with data or one message. The image has
// no folder, so a backing or data file it names is not looked up.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/containers.h"

namespace dirtool {
extern const container_format qcow2_format;
}

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
        check(offset % 512 == 0 && count % 512 == 0 && reinterpret_cast<std::uintptr_t>(data) % 512 == 0);
        check(offset <= size_);
        got = size_ - offset < count ? static_cast<std::size_t>(size_ - offset) : count;
        std::memcpy(data, data_ + offset, got);
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
        dirtool::qcow2_format.open(std::make_unique<memory_file>(data, size), "", 0, error);
    if (!disk) {
        check(!error.empty());
        return 0;
    }
    check(disk->sector_size() == 512);
    // The first sectors, where a file system starts, and sectors spread over the whole disk.
    constexpr std::size_t block = 8192;
    std::vector<char> storage(block + 512);
    char* buffer = storage.data() + (512 - reinterpret_cast<std::uintptr_t>(storage.data()) % 512) % 512;
    const std::uint64_t sectors = disk->size() / 512;
    for (std::uint64_t i = 0; i < 24; ++i) {
        const std::uint64_t sector = i < 8 ? i * (block / 512) : (sectors / 16) * (i - 8) + (i % 3);
        std::size_t got = 0;
        std::string problem;
        if (!disk->read_sectors(sector * 512, buffer, block, got, problem)) {
            check(!problem.empty());
            continue;
        }
        check(got <= block);
    }
    return 0;
}
