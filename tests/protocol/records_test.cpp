#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/protocol/records.hpp"

namespace kelvo {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        if (i > 0) out += ' ';
        out += b;
    }
    return out;
}

template <PackedRecord T>
void expectGolden(const T& record, const std::string& golden) {
    const auto bytes = Wire::pod(record);
    EXPECT_EQ(bytes.size(), T::kSize);
    EXPECT_EQ(hex(bytes), golden);
    EXPECT_EQ(Wire::load<T>(bytes, 0), record);  // every field round-trips
}

TEST(Records, GoldenBytesOfEveryRecord) {
    expectGolden(KVPing{0x0102030405060708}, "08 07 06 05 04 03 02 01");
    expectGolden(KVPong{1, 2, 0xFFFFFFFFFFFFFFFF},
                 "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 ff ff ff ff ff ff ff ff");
    expectGolden(KVAppState{1}, "01 00 00 00 00 00 00 00");
    expectGolden(KVTouchFrameHeader{0x10, 3}, "10 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00");
    expectGolden(KVTouchPoint{7, 1, 2, 0x1234, 0xFFFF, 40, 8},
                 "07 01 02 00 34 12 ff ff 28 00 08 00 00 00 00 00");
    expectGolden(KVUIEvent{5, 31, 1}, "05 00 00 00 00 00 00 00 1f 00 01 00 00 00 00 00");
    expectGolden(KVKeyEvent{0x0102, 1}, "02 01 01 00 00 00 00 00");
    expectGolden(KVLogHeader{2}, "00 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00");
    expectGolden(KVCursorShapeHeader{9, 1, 2, 3, 4, 0x100}, "09 00 00 00 01 00 02 00 03 00 04 00 00 01 00 00");
    expectGolden(KVCursorState{9, 0x8000, 0x10, 1}, "09 00 00 00 00 80 10 00 01 00 00 00 00 00 00 00");
    expectGolden(KVVideoHello{0xA1B2C3D4E5F60718}, "18 07 f6 e5 d4 c3 b2 a1");
    expectGolden(KVVideoFrameHeader{2, 3, 0x0A, KVVideoFrameHeader::kKeyFrame},
                 "02 00 00 00 03 00 00 00 0a 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00");
    expectGolden(KVStreamStop{4, 2}, "04 00 00 00 02 00 00 00");
    expectGolden(KVFrameAck{1, 2, 3, 4, KVFrameAck::kDecodeFailed},
                 "01 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00 04 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00");
    expectGolden(KVKeyframeRequest{1, 9, 3}, "01 00 00 00 09 00 00 00 03 00 00 00 00 00 00 00");
    expectGolden(KVProbeBegin{1, 640, 480, 8, 25, 4, 51}, "01 00 00 00 80 02 e0 01 08 00 19 00 04 00 33 00");
    expectGolden(KVProbeFrame{1, 2}, "01 00 00 00 02 00 00 00");
    expectGolden(KVProbeResult{1, -2, 8, 640, 480, 0, 1500, 3000},
                 "01 00 00 00 fe ff ff ff 08 00 80 02 e0 01 00 00 dc 05 00 00 b8 0b 00 00");
}

TEST(Records, StreamFormatCarriesFixedBytesThenParameterSets) {
    const std::vector<uint8_t> sps(25, 0x67), pps(4, 0x68);
    const auto payload = writeStreamFormat({7, 1920, 1080, 0, 0}, sps, pps);
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->size(), 57u);
    EXPECT_EQ(hex(std::span(*payload).first(28)),
              "07 00 00 00 80 07 38 04 01 04 00 01 00 00 00 00 ff ff ff ff 01 01 01 00 19 00 04 00");
    const auto format = Wire::load<KVStreamFormat>(*payload, 0);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->spsLength, 25);
    const auto sets = readParameterSets(*payload, KVStreamFormat::kSize, format->spsLength, format->ppsLength);
    ASSERT_TRUE(sets);
    EXPECT_EQ(sets->sps, sps);
    EXPECT_EQ(sets->pps, pps);
    EXPECT_FALSE(readParameterSets(std::span(*payload).first(56), KVStreamFormat::kSize, 25, 4));

    EXPECT_FALSE(writeStreamFormat({}, std::vector<uint8_t>(65536), pps));
    EXPECT_TRUE(writeProbeBegin({}, std::vector<uint8_t>(65535), pps));
}

TEST(Records, LoadNeedsWholeRecordAtNonNegativeOffset) {
    std::vector<uint8_t> bytes(30);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    EXPECT_FALSE(Wire::load<KVPong>(std::span(bytes).first(23), 0));
    EXPECT_FALSE(Wire::load<KVPong>(bytes, -1));
    EXPECT_FALSE(Wire::load<KVPong>(bytes, 7));
    EXPECT_FALSE(Wire::load<KVPong>(bytes, 1000));
    const auto pong = Wire::load<KVPong>(bytes, 6);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->t0, 0x0D0C0B0A09080706u);
    EXPECT_EQ(Wire::load<KVPong>(bytes, 0)->t2, 0x1716151413121110u);
}

TEST(TouchFrame, WriterCapsAtTwentyPointsAndClampsValues) {
    std::vector<KVTouchPoint> points;
    for (int i = 0; i < 25; ++i) points.push_back(KVTouchPoint::make(static_cast<uint8_t>(i), 1, 300, 1.2, -0.1, 2.5, -1));
    const auto payload = writeTouchFrame(99, points);
    ASSERT_EQ(payload.size(), 336u);
    EXPECT_EQ(payload[8], 20);
    const auto& p = points[0];
    EXPECT_EQ(p.tapCount, 255);
    EXPECT_EQ(p.x, 65535);
    EXPECT_EQ(p.y, 0);
    EXPECT_EQ(p.radius, 40);
    EXPECT_EQ(p.radiusTolerance, 0);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(KVTouchPoint::make(0, 0, -5, 0, 0, inf, std::nan("")).radius, 65535);
    EXPECT_EQ(KVTouchPoint::make(0, 0, -5, 0, 0, inf, std::nan("")).radiusTolerance, 0);
    EXPECT_EQ(KVTouchPoint::make(0, 0, -5, 0, 0, 0, 0).tapCount, 0);

    const auto frame = readTouchFrame(payload);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->timestampUs, 99u);
    ASSERT_EQ(frame->points.size(), 20u);
    EXPECT_EQ(frame->points[19].id, 19);
    EXPECT_DOUBLE_EQ(frame->points[0].xFraction(), 1.0);
    EXPECT_DOUBLE_EQ(frame->points[0].radiusPoints(), 2.5);
}

TEST(TouchFrame, ReaderRejectsShortOrOverfullFramesAndSkipsUnknownPhases) {
    const std::vector<KVTouchPoint> three{{1, 0, 1, 0, 0, 0, 0}, {2, 7, 1, 0, 0, 0, 0}, {3, 4, 1, 0, 0, 0, 0}};
    auto payload = writeTouchFrame(5, three);
    ASSERT_EQ(payload.size(), 64u);
    const auto frame = readTouchFrame(payload);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->points.size(), 2u);  // phase 7 dropped, neighbours kept
    EXPECT_EQ(frame->points[0].id, 1);
    EXPECT_EQ(frame->points[1].id, 3);
    EXPECT_FALSE(readTouchFrame(std::span(payload).first(63)));

    EXPECT_FALSE(readTouchFrame(std::span(payload).first(16)));  // count 3, no points
    std::vector<uint8_t> empty(16, 0);
    EXPECT_TRUE(readTouchFrame(empty));
    EXPECT_FALSE(readTouchFrame(std::span(empty).first(15)));

    std::vector<uint8_t> overfull(16 + 21 * 16, 0);
    overfull[8] = 21;
    EXPECT_FALSE(readTouchFrame(overfull));
    overfull[8] = 20;
    EXPECT_TRUE(readTouchFrame(overfull));
}

TEST(TabletLog, LevelFallsBackToInfoAndTextIsRepaired) {
    auto empty = readTabletLogLine(writeTabletLogLine(LogLevel::warn, ""));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->level, LogLevel::warn);
    EXPECT_EQ(empty->text, "");

    auto payload = writeTabletLogLine(LogLevel::error, "ok \xFF");
    payload[8] = 7;
    auto line = readTabletLogLine(payload);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, LogLevel::info);
    EXPECT_EQ(line->text, "ok \xEF\xBF\xBD");
    EXPECT_FALSE(readTabletLogLine(std::span(payload).first(15)));
}

}  // namespace
}  // namespace kelvo
