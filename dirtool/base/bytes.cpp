#include "base/bytes.h"

#include <array>
#include <cstring>

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
// The header is written for C: clang's C++ does not know its _Bool.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#if defined(__clang__)
#undef _Bool
#endif
#endif

namespace dirtool {
namespace {

// Reflected tables, made by the compiler so that no run pays for them at start-up: table 0 steps
// one byte; table k steps a byte followed by k zero bytes, so that eight bytes go in one step of
// eight lookups (a GPT's 16 KiB of entries and LVM's metadata text are summed in every run).
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables(std::uint32_t polynomial) {
    crc_tables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1u) != 0 ? (value >> 1) ^ polynomial : value >> 1;
        tables[0][i] = value;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) {
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xffu];
        }
    }
    return tables;
}

constexpr crc_tables crc32_tables = make_crc_tables(0xedb88320u);
constexpr crc_tables crc32c_tables = make_crc_tables(0x82f63b78u);

std::uint32_t table_register(const crc_tables& t, std::uint32_t crc, const void* bytes, std::size_t count) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    for (; count >= 8; count -= 8, b += 8) {
        const std::uint32_t low = crc ^ load_le32(b);
        const std::uint32_t high = load_le32(b + 4);
        crc = t[7][low & 0xffu] ^ t[6][(low >> 8) & 0xffu] ^ t[5][(low >> 16) & 0xffu] ^ t[4][low >> 24] ^
              t[3][high & 0xffu] ^ t[2][(high >> 8) & 0xffu] ^ t[1][(high >> 16) & 0xffu] ^ t[0][high >> 24];
    }
    for (; count > 0; --count, ++b) crc = t[0][(crc ^ *b) & 0xffu] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__) || defined(__i386__)
// The instruction takes the bytes of a word in memory order, as the table does one by one.
__attribute__((target("sse4.2"))) std::uint32_t instruction_register(std::uint32_t crc, const unsigned char* b,
                                                                    std::size_t count) {
#if defined(__x86_64__)
    std::uint64_t wide = crc;
    for (; count >= 8; count -= 8, b += 8) {
        std::uint64_t word;
        std::memcpy(&word, b, sizeof word);
        wide = __builtin_ia32_crc32di(wide, word);
    }
    crc = static_cast<std::uint32_t>(wide);
#endif
    for (; count >= 4; count -= 4, b += 4) {
        std::uint32_t word;
        std::memcpy(&word, b, sizeof word);
        crc = __builtin_ia32_crc32si(crc, word);
    }
    for (; count > 0; --count, ++b) crc = __builtin_ia32_crc32qi(crc, *b);
    return crc;
}

// glibc has asked the processor already, at start-up; asking again (the compiler's own check runs
// CPUID from a constructor in every run) costs more than the checksums save where a hypervisor
// traps CPUID.
bool has_crc32_instruction() {
#if defined(__GLIBC__)
    return CPU_FEATURE_ACTIVE(SSE4_2);
#else
    return __builtin_cpu_supports("sse4.2");
#endif
}
#endif

}  // namespace

std::uint32_t crc32(const void* bytes, std::size_t count, std::uint32_t so_far) {
    return ~table_register(crc32_tables, ~so_far, bytes, count);
}

std::uint32_t crc32c(const void* bytes, std::size_t count, std::uint32_t so_far) {
    return ~crc32c_register(~so_far, bytes, count);
}

std::uint32_t crc32c_register(std::uint32_t state, const void* bytes, std::size_t count) {
#if defined(__x86_64__) || defined(__i386__)
    if (has_crc32_instruction()) {
        return instruction_register(state, static_cast<const unsigned char*>(bytes), count);
    }
#endif
    return table_register(crc32c_tables, state, bytes, count);
}

bool all_zero(const char* bytes, std::size_t count) {
    // Each byte equal to the one after it and the first one zero: memcmp runs at memory speed.
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

}  // namespace dirtool
