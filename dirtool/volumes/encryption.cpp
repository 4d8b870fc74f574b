// Encrypted volumes are told apart by the signature at their start, so that a user learns the
// volume is encrypted rather than empty or damaged. Their contents are never read.
#include "volumes/lvm.h"

#include "base/bytes.h"

#include <array>
#include <cstring>

namespace dirtool {

std::string encryption_of(image_reader& disk) {
    std::array<char, 512> head{};
    std::string ignored;
    if (disk.read(0, head.data(), head.size(), ignored) != image_reader::result::done) return "";
    // LUKS writes its header's version after the magic; a LUKS2 secondary header has it reversed.
    if (std::memcmp(head.data(), "LUKS\xba\xbe", 6) == 0 || std::memcmp(head.data(), "SKUL\xba\xbe", 6) == 0) {
        const unsigned version = load_be16(head.data() + 6);
        return version == 1 || version == 2 ? "LUKS" + std::to_string(version) : "LUKS";
    }
    if (std::memcmp(head.data() + 3, "-FVE-FS-", 8) == 0) return "BitLocker";
    return "";
}

disk_reader reader_of(image_reader& disk) {
    return [&disk](std::uint64_t offset, std::size_t size, char* data) {
        std::string ignored;
        return disk.read(offset, data, size, ignored) == image_reader::result::done;
    };
}

}  // namespace dirtool
