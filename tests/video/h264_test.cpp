#include "core/video/h264.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> units(const Bytes& avcc) {
    std::vector<Bytes> out;
    for (auto u : H264::nalUnits(avcc)) out.emplace_back(u.begin(), u.end());
    return out;
}

TEST(H264, NalUnitsSplitsLengthPrefixedUnitsAndStopsAtTheFirstBadOne) {
    EXPECT_TRUE(units({}).empty());
    EXPECT_TRUE(units({0x00, 0x00, 0x01}).empty());
    EXPECT_EQ(units({0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41}), (std::vector<Bytes>{{0x65, 0x88}, {0x41}}));
    // A zero length ends the parse.
    EXPECT_EQ(units({0, 0, 0, 1, 0x65, 0, 0, 0, 0, 0, 0, 0, 1, 0x41}), (std::vector<Bytes>{{0x65}}));
    // A unit running past the end is dropped with everything after it; so is a short tail.
    EXPECT_EQ(units({0, 0, 0, 1, 0x65, 0, 0, 0, 9, 0x41}), (std::vector<Bytes>{{0x65}}));
    EXPECT_EQ(units({0, 0, 0, 1, 0x65, 0, 0}), (std::vector<Bytes>{{0x65}}));
    // A length near 2^32 must not wrap the bounds check.
    EXPECT_TRUE(units({0xFF, 0xFF, 0xFF, 0xFF, 0x65}).empty());
}

TEST(H264, ReadsAndRewritesProfileAndLevelBytes) {
    const Bytes sps = {0x67, 0x64, 0x00, 0x28, 0xAC};
    EXPECT_EQ(H264::profileIdc(sps), 100);
    EXPECT_EQ(H264::levelIdc(sps), 40);
    EXPECT_EQ(H264::levelIdc(Bytes{0x67, 0x64, 0x00}), std::nullopt);
    EXPECT_EQ(H264::profileIdc(Bytes{0x67}), std::nullopt);

    EXPECT_EQ(H264::rewriteLevel(sps, 42), (Bytes{0x67, 0x64, 0x00, 0x2A, 0xAC}));
    EXPECT_EQ(sps[3], 0x28);  // the input is left alone
    EXPECT_EQ(H264::rewriteLevel(Bytes{0x67, 0x64, 0x00}, 42), (Bytes{0x67, 0x64, 0x00}));
}

}  // namespace
}  // namespace kelvo
