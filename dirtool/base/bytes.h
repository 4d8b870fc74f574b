// The byte helpers every parser of disk structures uses: fields in either byte order, offset
// arithmetic that cannot wrap around, and the two CRCs that disk formats carry. Untrusted numbers
// go through these, so that a hostile field saturates instead of wrapping into a valid offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace dirtool {

inline std::uint16_t load_le16(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
inline std::uint32_t load_le32(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}
inline std::uint64_t load_le64(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return load_le32(b) | (std::uint64_t{load_le32(b + 4)} << 32);
}
inline std::uint16_t load_be16(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline std::uint32_t load_be32(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}
inline std::uint64_t load_be64(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return (std::uint64_t{load_be32(b)} << 32) | load_be32(b + 4);
}

constexpr std::uint64_t no_bytes_left = std::numeric_limits<std::uint64_t>::max();

// a * b, or the largest value where that does not fit: an offset no disk has.
constexpr std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b) {
    return (b != 0 && a > no_bytes_left / b) ? no_bytes_left : a * b;
}

// a + b, or the largest value where that does not fit.
constexpr std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) {
    return a > no_bytes_left - b ? no_bytes_left : a + b;
}

// Whether the `count` bytes at `offset` lie wholly inside something of `size` bytes.
constexpr bool fits_inside(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
    return offset <= size && count <= size - offset;
}

// The IEEE 802.3 CRC-32 (GPT, zlib), and the Castagnoli CRC-32C (VHDX, ext4, jbd2, LVM's is
// neither). Each takes the CRC so far, so that a structure can be summed in pieces.
std::uint32_t crc32(const void* bytes, std::size_t count, std::uint32_t so_far = 0);
std::uint32_t crc32c(const void* bytes, std::size_t count, std::uint32_t so_far = 0);

// The CRC-32C register after `count` more bytes, with neither the inversion at the start nor the
// one at the end (what libext2fs's ext2fs_crc32c_le computes). On a processor with SSE 4.2 it runs
// on the CRC32 instruction, several times faster than a table.
std::uint32_t crc32c_register(std::uint32_t state, const void* bytes, std::size_t count);

// The Adler-32 checksum that ends a zlib stream (RFC 1950), of `count` more bytes after the sum
// so far (1 before any byte). On an x86 processor with SSE2 it takes 16 bytes a step.
std::uint32_t adler32(const void* bytes, std::size_t count, std::uint32_t so_far = 1);

// Whether the bytes are all zero: such a run of a copied file becomes a hole in the copy.
bool all_zero(const char* bytes, std::size_t count);

}  // namespace dirtool
