// Bit reader edge cases that the Python API reaches only indirectly.
#include <gtest/gtest.h>

#include <string>

#include "bitstream/bit_reader.hpp"

namespace corvena {
namespace {

std::string bytes(std::initializer_list<unsigned> octets) {
    std::string s;
    for (unsigned o : octets) s.push_back(static_cast<char>(o));
    return s;
}

TEST(BitReader, ZeroWidthAtTheEnd) {
    const std::string data = bytes({0xAB});
    BitReader r(data);
    ASSERT_TRUE(r.read_bits(8));
    auto v = r.read_bits(0);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 0u);
    EXPECT_EQ(r.position(), 8u);
}

TEST(BitReader, NotEnoughBitsLeavesThePosition) {
    const std::string data = bytes({0, 0});
    BitReader r(data);
    ASSERT_TRUE(r.read_bits(10));
    auto v = r.read_bits(7);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().text(),
              "csv/table parse error: not enough bits while reading section 4 at bit 10 for width 7 (16 bits available)");
    EXPECT_EQ(r.position(), 10u);
    ASSERT_TRUE(r.read_bits(6));
    EXPECT_EQ(r.position(), 16u);
}

TEST(BitReader, WidthLimits) {
    const std::string data = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x80});
    BitReader r(data);
    auto wide = r.read_bits(65);
    ASSERT_FALSE(wide);
    EXPECT_EQ(wide.error().text(), "csv/table parse error: cannot read 65 bits into u64");
    auto v = r.read_bits(64);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 18446744073709551614ull);
}

TEST(BitReader, UnalignedFieldsAcrossOctets) {
    const std::string data = bytes({0x0F, 0xF0, 0x0F});
    BitReader r(data);
    ASSERT_TRUE(r.read_bits(4));
    auto v = r.read_bits(16);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 0xFF00u);
    // A 64-bit field starting mid-octet spans nine octets.
    const std::string nine = bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0});
    BitReader r2(nine);
    ASSERT_TRUE(r2.read_bits(4));
    auto w = r2.read_bits(64);
    ASSERT_TRUE(w);
    EXPECT_EQ(*w, 0x123456789ABCDEFFull);
    // Every width at every offset agrees with a bit-by-bit read.
    for (unsigned offset = 0; offset < 8; ++offset) {
        for (unsigned width = 1; width <= 64; ++width) {
            BitReader a(nine);
            ASSERT_TRUE(a.read_bits(static_cast<std::uint16_t>(offset)));
            auto got = a.read_bits(static_cast<std::uint16_t>(width));
            ASSERT_TRUE(got);
            std::uint64_t expected = 0;
            for (unsigned k = 0; k < width; ++k) {
                const unsigned bit = offset + k;
                expected = (expected << 1) | ((static_cast<unsigned char>(nine[bit / 8]) >> (7 - bit % 8)) & 1u);
            }
            EXPECT_EQ(*got, expected) << offset << " " << width;
        }
    }
}

TEST(BitReader, ReadBytes) {
    const std::string data = bytes({0xAB, 0xCD});
    BitReader r(data);
    std::string out;
    ASSERT_TRUE(r.read_bytes(12, out));
    EXPECT_EQ(out, bytes({0xAB, 0xC0}));
    EXPECT_EQ(r.position(), 12u);

    BitReader whole(data);
    auto missing = whole.read_bytes(24, out);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().text().find("for width 8 (16 bits available)"), std::string::npos);

    BitReader partial(data);
    auto part = partial.read_bytes(20, out);
    ASSERT_FALSE(part);
    EXPECT_NE(part.error().text().find("at bit 16 for width 4"), std::string::npos);

    BitReader empty(data);
    ASSERT_TRUE(empty.read_bytes(0, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace corvena
