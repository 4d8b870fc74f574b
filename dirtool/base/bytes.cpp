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
#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
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

// Adler-32 works modulo the largest prime below 2^16; a run of this many bytes cannot overflow
// 32-bit sums that start below it (RFC 1950's NMAX), and it is a whole number of 16-byte steps.
constexpr std::uint32_t adler_base = 65521;
constexpr std::size_t adler_run = 5552;

void adler_bytes(std::uint32_t& a, std::uint32_t& b, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        a += bytes[i];
        b += a;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// One run of whole 16-byte steps. A step of bytes x0..x15 adds 16 a + 16 x0 + 15 x1 + ... + x15
// to b and x0 + ... + x15 to a, so that over the run b gains 16 (steps a + the sum of the sums of
// the steps before each one) + the weighted sums, all of which fit 32 bits within a run.
__attribute__((target("sse2"))) void adler_steps(std::uint32_t& a, std::uint32_t& b, const unsigned char* bytes,
                                                 std::size_t steps) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i first_weights = _mm_set_epi16(9, 10, 11, 12, 13, 14, 15, 16);
    const __m128i last_weights = _mm_set_epi16(1, 2, 3, 4, 5, 6, 7, 8);
    __m128i sums = zero;         // the bytes so far, in two 64-bit lanes
    __m128i sums_before = zero;  // the sum over each step of the bytes before it
    __m128i weighted = zero;     // four 32-bit lanes
    for (std::size_t step = 0; step < steps; ++step, bytes += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        sums_before = _mm_add_epi32(sums_before, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(x, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), first_weights));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), last_weights));
    }
    alignas(16) std::uint32_t lanes[3][4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), sums);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), sums_before);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[2]), weighted);
    const std::uint64_t sum = std::uint64_t{lanes[0][0]} + lanes[0][2];
    const std::uint64_t before = std::uint64_t{lanes[1][0]} + lanes[1][2];
    const std::uint64_t weights = std::uint64_t{lanes[2][0]} + lanes[2][1] + lanes[2][2] + lanes[2][3];
    b = static_cast<std::uint32_t>((b + 16 * (steps * std::uint64_t{a} + before) + weights) % adler_base);
    a = static_cast<std::uint32_t>((a + sum) % adler_base);
}

bool has_sse2() {
#if defined(__x86_64__)
    return true;
#elif defined(__GLIBC__)
    return CPU_FEATURE_ACTIVE(SSE2);
#else
    return __builtin_cpu_supports("sse2");
#endif
}
#endif

}  // namespace

std::uint32_t adler32(const void* bytes, std::size_t count, std::uint32_t so_far) {
    const auto* at = static_cast<const unsigned char*>(bytes);
    std::uint32_t a = so_far & 0xffffu, b = so_far >> 16;
#if defined(__x86_64__) || defined(__i386__)
    const bool in_steps = has_sse2();
#endif
    for (; count > 0;) {
        const std::size_t run = count < adler_run ? count : adler_run;
        std::size_t stepped = 0;
#if defined(__x86_64__) || defined(__i386__)
        if (in_steps) {
            adler_steps(a, b, at, run / 16);
            stepped = run / 16 * 16;
        }
#endif
        adler_bytes(a, b, at + stepped, run - stepped);
        a %= adler_base;
        b %= adler_base;
        at += run;
        count -= run;
    }
    return b << 16 | a;
}

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
