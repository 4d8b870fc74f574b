// The byte helpers every parser relies on: a wrong CRC table or a sum that wraps would let a
// damaged structure through as sound.
#include "base/bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dirtool {
namespace {

TEST(Bytes, CrcsHaveTheirStandardCheckValuesAndSumInPieces) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32(check.data(), check.size()), 0xcbf43926u);
    EXPECT_EQ(crc32c(check.data(), check.size()), 0xe3069283u);
    EXPECT_EQ(crc32("", 0), 0u);
    EXPECT_EQ(crc32c("", 0), 0u);
    for (std::size_t cut = 0; cut <= check.size(); ++cut) {
        EXPECT_EQ(crc32(check.data() + cut, check.size() - cut, crc32(check.data(), cut)), 0xcbf43926u) << cut;
        EXPECT_EQ(crc32c(check.data() + cut, check.size() - cut, crc32c(check.data(), cut)), 0xe3069283u) << cut;
    }
}

// Bit by bit, as the polynomial defines it: what the table's eight-byte steps and the instruction's
// word steps must give, at every length and alignment a word loop can get wrong.
std::uint32_t reflected_bit_by_bit(std::uint32_t polynomial, std::uint32_t state, const unsigned char* bytes,
                                   std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        state ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) state = (state & 1u) != 0 ? (state >> 1) ^ polynomial : state >> 1;
    }
    return state;
}

TEST(Bytes, CrcsMatchTheirPolynomialsAtEveryLengthAndAlignment) {
    unsigned char bytes[96];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);
    for (const std::uint32_t state : {0u, 0xffffffffu, 0x12345678u}) {
        for (std::size_t start = 0; start < 8; ++start) {
            for (std::size_t count = 0; start + count <= sizeof bytes; ++count) {
                const unsigned char* at = bytes + start;
                ASSERT_EQ(crc32c_register(state, at, count), reflected_bit_by_bit(0x82f63b78u, state, at, count))
                    << "CRC-32C, state " << state << " start " << start << " count " << count;
                ASSERT_EQ(crc32(at, count, state), ~reflected_bit_by_bit(0xedb88320u, ~state, at, count))
                    << "CRC-32, so far " << state << " start " << start << " count " << count;
            }
        }
    }
}

// Adler-32 as RFC 1950 defines it, a byte at a time.
std::uint32_t adler_by_definition(const unsigned char* bytes, std::size_t count, std::uint32_t so_far) {
    std::uint64_t a = so_far & 0xffffu, b = so_far >> 16;
    for (std::size_t i = 0; i < count; ++i) {
        a = (a + bytes[i]) % 65521;
        b = (b + a) % 65521;
    }
    return static_cast<std::uint32_t>(b << 16 | a);
}

TEST(Bytes, Adler32MatchesItsDefinitionAtEveryLengthAlignmentAndStart) {
    EXPECT_EQ(adler32("", 0), 1u);
    EXPECT_EQ(adler32("Wikipedia", 9), 0x11e60398u);  // the usual worked example
    // All 0xff is the worst case for the sums' range; random bytes and runs past 5552 bytes too.
    std::vector<unsigned char> bytes(3 * 5552 + 100);
    std::uint32_t seed = 12345;
    for (int kind = 0; kind < 2; ++kind) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes[i] = kind == 0 ? 0xff : static_cast<unsigned char>(seed >> 16);
        }
        for (std::size_t offset : {0u, 1u, 7u, 15u}) {
            for (std::size_t count : {0u, 1u, 15u, 16u, 17u, 31u, 100u, 5551u, 5552u, 5553u, 11104u, 16656u}) {
                for (std::uint32_t start : {1u, 0xfff0fff0u, 0x00010000u}) {
                    ASSERT_EQ(adler32(bytes.data() + offset, count, start),
                              adler_by_definition(bytes.data() + offset, count, start))
                        << kind << " " << offset << " " << count << " " << start;
                }
            }
        }
    }
    // In pieces, as a stream is summed.
    EXPECT_EQ(adler32(bytes.data() + 1000, 9000, adler32(bytes.data(), 1000)), adler32(bytes.data(), 10000));
}

TEST(Bytes, FieldsInBothByteOrders) {
    const unsigned char bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xf8};
    EXPECT_EQ(load_le16(bytes), 0x0201u);
    EXPECT_EQ(load_le32(bytes), 0x04030201u);
    EXPECT_EQ(load_le64(bytes), 0xf807060504030201u);
    EXPECT_EQ(load_be16(bytes), 0x0102u);
    EXPECT_EQ(load_be32(bytes), 0x01020304u);
    EXPECT_EQ(load_be64(bytes), 0x01020304050607f8u);
}

TEST(Bytes, OffsetsSaturateInsteadOfWrapping) {
    const std::uint64_t most = no_bytes_left;
    const struct {
        std::uint64_t a, b, sum, product;
    } rows[] = {
        {0, 0, 0, 0},
        {3, 4, 7, 12},
        {most, 1, most, most},
        {most - 1, 1, most, most - 1},
        {most - 1, 2, most, most},
        {std::uint64_t{1} << 32, std::uint64_t{1} << 32, std::uint64_t{1} << 33, most},
        {std::uint64_t{1} << 63, std::uint64_t{1} << 63, most, most},
        {most, 0, most, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(saturated_sum(r.a, r.b), r.sum) << r.a << " + " << r.b;
        EXPECT_EQ(saturated_product(r.a, r.b), r.product) << r.a << " * " << r.b;
    }
    EXPECT_TRUE(fits_inside(0, 10, 10));
    EXPECT_TRUE(fits_inside(10, 0, 10));
    EXPECT_FALSE(fits_inside(11, 0, 10));
    EXPECT_FALSE(fits_inside(1, 10, 10));
    EXPECT_FALSE(fits_inside(most, most, 10));
}

}  // namespace
}  // namespace dirtool
