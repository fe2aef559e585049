#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/protocol/msg_type.hpp"
#include "core/protocol/wire.hpp"

namespace kelvo {
namespace {

TEST(Wire, HeaderGoldenBytes) {
    const auto h = Wire::header(0x82, 5, 1);
    const Wire::Header expected{0x4B, 0x56, 0x01, 0x82, 0x05, 0x00, 0x00, 0x00,
                                0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(h, expected);
    const auto wrapped = Wire::header(0x05, 0x01020304, 0xFFFFFFFF);
    EXPECT_EQ(std::vector<uint8_t>(wrapped.begin() + 4, wrapped.begin() + 12),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Wire, FrameJoinsPartsAndRefusesOversizedPayload) {
    const std::vector<uint8_t> a{1, 2}, b{3};
    const std::span<const uint8_t> parts[] = {a, b};
    auto framed = Wire::frame(0x13, 9, parts);
    ASSERT_TRUE(framed);
    const std::vector<uint8_t>& bytes = framed.value();
    EXPECT_EQ(bytes.size(), 19u);
    EXPECT_EQ(bytes.at(4), 3);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.end()), (std::vector<uint8_t>{1, 2, 3}));

    const std::vector<uint8_t> exact(Wire::maxPayload);
    EXPECT_TRUE(Wire::frame(0x82, 1, exact));

    const std::vector<uint8_t> half(Wire::maxPayload / 2 + 1);
    const std::span<const uint8_t> two[] = {half, half};
    auto refused = Wire::frame(0x82, 1, two);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), "payload too large (8388610 bytes)");
}

TEST(Wire, NormRoundsClampsAndMapsNaNToMax) {
    EXPECT_EQ(Wire::norm(-0.1), 0);
    EXPECT_EQ(Wire::norm(0.0), 0);
    EXPECT_EQ(Wire::norm(0.5), 32768);  // 32767.5 rounds away from zero
    EXPECT_EQ(Wire::norm(1.0), 65535);
    EXPECT_EQ(Wire::norm(1.5), 65535);
    EXPECT_EQ(Wire::norm(std::nan("")), 65535);
    EXPECT_EQ(Wire::norm(std::numeric_limits<double>::infinity()), 65535);
    EXPECT_EQ(Wire::norm(-std::numeric_limits<double>::infinity()), 0);
}

TEST(MsgType, ThirtyFiveDistinctTypesAndUnknownBytesHaveNone) {
    EXPECT_EQ(kAllMsgTypes.size(), 35u);
    int known = 0;
    for (int raw = 0; raw < 256; ++raw) {
        auto type = msgTypeFromRaw(static_cast<uint8_t>(raw));
        if (type) {
            ++known;
            EXPECT_EQ(rawValue(*type), raw);
        }
    }
    EXPECT_EQ(known, 35);
    EXPECT_EQ(msgTypeFromRaw(0x0A), MsgType::wakeRequest);
    EXPECT_EQ(msgTypeFromRaw(0x88), MsgType::probeResult);
    EXPECT_EQ(msgTypeFromRaw(0xF0), MsgType::benchData);
    EXPECT_FALSE(msgTypeFromRaw(0x99));
    EXPECT_FALSE(msgTypeFromRaw(0x00));
}

}  // namespace
}  // namespace kelvo
