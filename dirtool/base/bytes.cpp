#include "base/bytes.h"

#include <array>
#include <cstring>

namespace dirtool {
namespace {

// Reflected tables, made by the compiler so that no run pays for them at start-up.
constexpr std::array<std::uint32_t, 256> crc_table(std::uint32_t polynomial) {
    std::array<std::uint32_t, 256> values{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1u) != 0 ? (value >> 1) ^ polynomial : value >> 1;
        values[i] = value;
    }
    return values;
}

constexpr std::array<std::uint32_t, 256> crc32_table = crc_table(0xedb88320u);
constexpr std::array<std::uint32_t, 256> crc32c_table = crc_table(0x82f63b78u);

std::uint32_t reflected_crc(const std::array<std::uint32_t, 256>& table, const void* bytes, std::size_t count,
                            std::uint32_t so_far) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    std::uint32_t crc = ~so_far;
    for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ b[i]) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

}  // namespace

std::uint32_t crc32(const void* bytes, std::size_t count, std::uint32_t so_far) {
    return reflected_crc(crc32_table, bytes, count, so_far);
}

std::uint32_t crc32c(const void* bytes, std::size_t count, std::uint32_t so_far) {
    return reflected_crc(crc32c_table, bytes, count, so_far);
}

bool all_zero(const char* bytes, std::size_t count) {
    // Each byte equal to the one after it and the first one zero: memcmp runs at memory speed.
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

}  // namespace dirtool
