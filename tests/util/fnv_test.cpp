#include "core/util/fnv.hpp"
#include "core/util/hex_string.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(FNV, PublishedVectors) {
    EXPECT_EQ(FNV::fnv1a32(""), 0x811C9DC5u);
    EXPECT_EQ(FNV::fnv1a32("a"), 0xE40C292Cu);
    EXPECT_EQ(FNV::fnv1a32("foobar"), 0xBF9CF968u);
    EXPECT_EQ(FNV::fnv1a32(bytes("foobar")), 0xBF9CF968u);
    // Bytes above 0x7F hash as unsigned, whatever the signedness of char.
    EXPECT_EQ(FNV::fnv1a32("\xE4\xB8\xAD"), FNV::fnv1a32(bytes("\xE4\xB8\xAD")));

    EXPECT_EQ(FNV::fnv1a64({}, FNV::kOffsetBasis64), 0xCBF29CE484222325ull);
    EXPECT_EQ(FNV::fnv1a64({}, 1234), 1234u);
    EXPECT_EQ(FNV::fnv1a64(bytes("a"), FNV::kOffsetBasis64), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(FNV::fnv1a64(bytes("foobar"), FNV::kOffsetBasis64), 0x85944171F73967E8ull);
}

TEST(FNV, SixtyFourBitHashContinuesAcrossRanges) {
    uint64_t h = FNV::fnv1a64(bytes("foo"), FNV::kOffsetBasis64);
    EXPECT_EQ(FNV::fnv1a64(bytes("bar"), h), 0x85944171F73967E8ull);
}

TEST(HexString, LowerCaseTwoDigitsPerByte) {
    std::vector<uint8_t> b{0x00, 0x0A, 0xFF};
    EXPECT_EQ(hexString(b), "000aff");
    EXPECT_EQ(hexString({}), "");
}

}  // namespace
}  // namespace kelvo
