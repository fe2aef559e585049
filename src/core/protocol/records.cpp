#include "core/protocol/records.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/protocol/byte_order.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

using namespace le;

namespace {

uint16_t scaledRadius(double points) noexcept {
    const double v = std::round(points * 16.0);
    if (!(v > 0.0)) return 0;  // also NaN
    return v >= 65535.0 ? 65535 : static_cast<uint16_t>(v);
}

// The fixed bytes 8..23 of a stream format; receivers do not interpret them.
constexpr uint8_t kStreamFormatFixed[16] = {0x01, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x00};

std::optional<std::vector<uint8_t>> withParameterSets(std::vector<uint8_t> bytes, std::span<const uint8_t> sps,
                                                      std::span<const uint8_t> pps) {
    bytes.insert(bytes.end(), sps.begin(), sps.end());
    bytes.insert(bytes.end(), pps.begin(), pps.end());
    return bytes;
}

bool fitsU16(std::span<const uint8_t> set) noexcept { return set.size() <= 0xFFFF; }

}  // namespace

void KVPing::writeTo(uint8_t* out) const noexcept { put64(out, t0); }
KVPing KVPing::readFrom(const uint8_t* in) noexcept { return {get64(in)}; }

void KVPong::writeTo(uint8_t* out) const noexcept {
    put64(out, t0);
    put64(out + 8, t1);
    put64(out + 16, t2);
}
KVPong KVPong::readFrom(const uint8_t* in) noexcept { return {get64(in), get64(in + 8), get64(in + 16)}; }

void KVAppState::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put8(out, state);
}
KVAppState KVAppState::readFrom(const uint8_t* in) noexcept { return {get8(in)}; }

void KVTouchFrameHeader::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put64(out, timestampUs);
    put8(out + 8, count);
}
KVTouchFrameHeader KVTouchFrameHeader::readFrom(const uint8_t* in) noexcept { return {get64(in), get8(in + 8)}; }

KVTouchPoint KVTouchPoint::make(uint8_t id, uint8_t phase, int64_t tapCount, double x, double y, double radius,
                                double radiusTolerance) noexcept {
    KVTouchPoint p;
    p.id = id;
    p.phase = phase;
    p.tapCount = static_cast<uint8_t>(std::clamp<int64_t>(tapCount, 0, 255));
    p.x = Wire::norm(x);
    p.y = Wire::norm(y);
    p.radius = scaledRadius(radius);
    p.radiusTolerance = scaledRadius(radiusTolerance);
    return p;
}

void KVTouchPoint::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put8(out, id);
    put8(out + 1, phase);
    put8(out + 2, tapCount);
    put16(out + 4, x);
    put16(out + 6, y);
    put16(out + 8, radius);
    put16(out + 10, radiusTolerance);
}
KVTouchPoint KVTouchPoint::readFrom(const uint8_t* in) noexcept {
    return {get8(in), get8(in + 1), get8(in + 2), get16(in + 4), get16(in + 6), get16(in + 8), get16(in + 10)};
}

void KVUIEvent::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put64(out, timestampUs);
    put16(out + 8, item);
    put8(out + 10, phase);
}
KVUIEvent KVUIEvent::readFrom(const uint8_t* in) noexcept { return {get64(in), get16(in + 8), get8(in + 10)}; }

void KVKeyEvent::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put16(out, keyCode);
    put8(out + 2, down);
}
KVKeyEvent KVKeyEvent::readFrom(const uint8_t* in) noexcept { return {get16(in), get8(in + 2)}; }

void KVLogHeader::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put8(out + 8, level);
}
KVLogHeader KVLogHeader::readFrom(const uint8_t* in) noexcept { return {get8(in + 8)}; }

void KVCursorShapeHeader::writeTo(uint8_t* out) const noexcept {
    put32(out, shapeId);
    put16(out + 4, hotX);
    put16(out + 6, hotY);
    put16(out + 8, width);
    put16(out + 10, height);
    put32(out + 12, pngLength);
}
KVCursorShapeHeader KVCursorShapeHeader::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get16(in + 4), get16(in + 6), get16(in + 8), get16(in + 10), get32(in + 12)};
}

void KVCursorState::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, shapeId);
    put16(out + 4, x);
    put16(out + 6, y);
    put8(out + 8, visible);
}
KVCursorState KVCursorState::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get16(in + 4), get16(in + 6), get8(in + 8)};
}

void KVVideoHello::writeTo(uint8_t* out) const noexcept { put64(out, token); }
KVVideoHello KVVideoHello::readFrom(const uint8_t* in) noexcept { return {get64(in)}; }

void KVStreamFormat::writeTo(uint8_t* out) const noexcept {
    put32(out, streamId);
    put16(out + 4, width);
    put16(out + 6, height);
    std::memcpy(out + 8, kStreamFormatFixed, sizeof kStreamFormatFixed);
    put16(out + 24, spsLength);
    put16(out + 26, ppsLength);
}
KVStreamFormat KVStreamFormat::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get16(in + 4), get16(in + 6), get16(in + 24), get16(in + 26)};
}

void KVVideoFrameHeader::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, streamId);
    put32(out + 4, frameId);
    put64(out + 8, captureUs);
    put8(out + 16, flags);
}
KVVideoFrameHeader KVVideoFrameHeader::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get32(in + 4), get64(in + 8), get8(in + 16)};
}

void KVStreamStop::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, streamId);
    put8(out + 4, reason);
}
KVStreamStop KVStreamStop::readFrom(const uint8_t* in) noexcept { return {get32(in), get8(in + 4)}; }

void KVFrameAck::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, streamId);
    put32(out + 4, frameId);
    put64(out + 8, receivedUs);
    put64(out + 16, decodedUs);
    put8(out + 24, status);
}
KVFrameAck KVFrameAck::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get32(in + 4), get64(in + 8), get64(in + 16), get8(in + 24)};
}

void KVKeyframeRequest::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, streamId);
    put32(out + 4, lastGoodFrameId);
    put8(out + 8, reason);
}
KVKeyframeRequest KVKeyframeRequest::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get32(in + 4), get8(in + 8)};
}

void KVProbeBegin::writeTo(uint8_t* out) const noexcept {
    put32(out, probeId);
    put16(out + 4, width);
    put16(out + 6, height);
    put16(out + 8, frameCount);
    put16(out + 10, spsLength);
    put16(out + 12, ppsLength);
    put16(out + 14, level);
}
KVProbeBegin KVProbeBegin::readFrom(const uint8_t* in) noexcept {
    return {get32(in), get16(in + 4), get16(in + 6), get16(in + 8), get16(in + 10), get16(in + 12), get16(in + 14)};
}

void KVProbeFrame::writeTo(uint8_t* out) const noexcept {
    std::memset(out, 0, kSize);
    put32(out, probeId);
    put16(out + 4, frameIndex);
}
KVProbeFrame KVProbeFrame::readFrom(const uint8_t* in) noexcept { return {get32(in), get16(in + 4)}; }

void KVProbeResult::writeTo(uint8_t* out) const noexcept {
    put32(out, probeId);
    put32(out + 4, static_cast<uint32_t>(status));
    put16(out + 8, decoded);
    put16(out + 10, outWidth);
    put16(out + 12, outHeight);
    put16(out + 14, pad);
    put32(out + 16, avgDecodeUs);
    put32(out + 20, maxDecodeUs);
}
KVProbeResult KVProbeResult::readFrom(const uint8_t* in) noexcept {
    return {get32(in),       static_cast<int32_t>(get32(in + 4)), get16(in + 8),  get16(in + 10),
            get16(in + 12), get16(in + 14),                       get32(in + 16), get32(in + 20)};
}

std::vector<uint8_t> writeTouchFrame(uint64_t timestampUs, std::span<const KVTouchPoint> points) {
    const size_t count = std::min(points.size(), Wire::maxTouches);
    std::vector<uint8_t> bytes(KVTouchFrameHeader::kSize + count * KVTouchPoint::kSize);
    KVTouchFrameHeader{timestampUs, static_cast<uint8_t>(count)}.writeTo(bytes.data());
    for (size_t i = 0; i < count; ++i) points[i].writeTo(bytes.data() + KVTouchFrameHeader::kSize + i * KVTouchPoint::kSize);
    return bytes;
}

std::optional<TouchFrameRecords> readTouchFrame(std::span<const uint8_t> payload) {
    const auto header = Wire::load<KVTouchFrameHeader>(payload, 0);
    if (!header || header->count > Wire::maxTouches) return std::nullopt;
    if (payload.size() < KVTouchFrameHeader::kSize + size_t{header->count} * KVTouchPoint::kSize) return std::nullopt;
    TouchFrameRecords frame{header->timestampUs, {}};
    frame.points.reserve(header->count);
    for (size_t i = 0; i < header->count; ++i) {
        const auto point = Wire::load<KVTouchPoint>(payload, static_cast<std::ptrdiff_t>(16 + 16 * i));
        if (point && point->phase < 5) frame.points.push_back(*point);
    }
    return frame;
}

std::optional<std::vector<uint8_t>> writeStreamFormat(KVStreamFormat record, std::span<const uint8_t> sps,
                                                      std::span<const uint8_t> pps) {
    if (!fitsU16(sps) || !fitsU16(pps)) return std::nullopt;
    record.spsLength = static_cast<uint16_t>(sps.size());
    record.ppsLength = static_cast<uint16_t>(pps.size());
    return withParameterSets(Wire::pod(record), sps, pps);
}

std::optional<std::vector<uint8_t>> writeProbeBegin(KVProbeBegin record, std::span<const uint8_t> sps,
                                                    std::span<const uint8_t> pps) {
    if (!fitsU16(sps) || !fitsU16(pps)) return std::nullopt;
    record.spsLength = static_cast<uint16_t>(sps.size());
    record.ppsLength = static_cast<uint16_t>(pps.size());
    return withParameterSets(Wire::pod(record), sps, pps);
}

std::optional<ParameterSets> readParameterSets(std::span<const uint8_t> payload, size_t recordSize, uint16_t spsLength,
                                               uint16_t ppsLength) {
    if (payload.size() < recordSize || payload.size() - recordSize < size_t{spsLength} + ppsLength) return std::nullopt;
    const auto sps = payload.subspan(recordSize, spsLength);
    const auto pps = payload.subspan(recordSize + spsLength, ppsLength);
    return ParameterSets{{sps.begin(), sps.end()}, {pps.begin(), pps.end()}};
}

std::optional<TabletLogLine> readTabletLogLine(std::span<const uint8_t> payload) {
    const auto header = Wire::load<KVLogHeader>(payload, 0);
    if (!header) return std::nullopt;
    return TabletLogLine{logLevelFromRaw(header->level).value_or(LogLevel::info),
                         decodeUtf8Lossy(payload.subspan(KVLogHeader::kSize))};
}

std::vector<uint8_t> writeTabletLogLine(LogLevel level, std::string_view text) {
    auto bytes = Wire::pod(KVLogHeader{static_cast<uint8_t>(level)});
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

}  // namespace kelvo
