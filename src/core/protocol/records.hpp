#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/protocol/wire.hpp"
#include "core/util/log.hpp"

// The packed little-endian records at the start of every binary payload. Each is written and read
// field by field (Wire::pod / Wire::load); bytes marked zero are written as zero and never read.
namespace kelvo {

// ---- control stream ----

// ping (0x04): host send time.
struct KVPing {
    static constexpr size_t kSize = 8;
    uint64_t t0 = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVPing readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVPing&) const = default;
};

// pong (0x05): the ping's t0 echoed, tablet receive time, tablet send time.
struct KVPong {
    static constexpr size_t kSize = 24;
    uint64_t t0 = 0;
    uint64_t t1 = 0;
    uint64_t t2 = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVPong readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVPong&) const = default;
};

// appState (0x07): non-zero state means the tablet application is paused.
struct KVAppState {
    static constexpr size_t kSize = 8;
    uint8_t state = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVAppState readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVAppState&) const = default;
};

// touchFrame (0x10): followed by `count` KVTouchPoint records.
struct KVTouchFrameHeader {
    static constexpr size_t kSize = 16;
    uint64_t timestampUs = 0;
    uint8_t count = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVTouchFrameHeader readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVTouchFrameHeader&) const = default;
};

// One touch; point i sits at payload offset 16 + 16 × i. Positions are Wire::norm fractions,
// radii are points × 16.
struct KVTouchPoint {
    static constexpr size_t kSize = 16;
    uint8_t id = 0;
    uint8_t phase = 0;
    uint8_t tapCount = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t radius = 0;
    uint16_t radiusTolerance = 0;

    // From the tablet's values: tap count clamped to 0..255, fractions normalised, radii × 16
    // rounded half away from zero and clamped to 0..65535 (NaN gives 0).
    static KVTouchPoint make(uint8_t id, uint8_t phase, int64_t tapCount, double x, double y, double radius,
                             double radiusTolerance) noexcept;
    double xFraction() const noexcept { return x / Wire::normMax; }
    double yFraction() const noexcept { return y / Wire::normMax; }
    double radiusPoints() const noexcept { return radius * 0.0625; }
    double radiusTolerancePoints() const noexcept { return radiusTolerance * 0.0625; }

    void writeTo(uint8_t* out) const noexcept;
    static KVTouchPoint readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVTouchPoint&) const = default;
};

// uiEvent (0x11): a press on sidebar item `item`.
struct KVUIEvent {
    static constexpr size_t kSize = 16;
    uint64_t timestampUs = 0;
    uint16_t item = 0;
    uint8_t phase = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVUIEvent readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVUIEvent&) const = default;
};

// keyEvent (0x13): a hardware-keyboard key of the tablet; non-zero down means pressed.
struct KVKeyEvent {
    static constexpr size_t kSize = 8;
    uint16_t keyCode = 0;
    uint8_t down = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVKeyEvent readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVKeyEvent&) const = default;
};

// log (0x41): followed by the line's UTF-8 text. Only the level byte is read.
struct KVLogHeader {
    static constexpr size_t kSize = 16;
    uint8_t level = 0;  // LogLevel raw value; anything else is taken as info
    void writeTo(uint8_t* out) const noexcept;
    static KVLogHeader readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVLogHeader&) const = default;
};

// cursorShape (0x20): followed by `pngLength` bytes of PNG. Sizes are Wire::norm fractions.
struct KVCursorShapeHeader {
    static constexpr size_t kSize = 16;
    uint32_t shapeId = 0;
    uint16_t hotX = 0;    // of the image width
    uint16_t hotY = 0;    // of the image height
    uint16_t width = 0;   // of the streamed region's width
    uint16_t height = 0;  // of the streamed region's height
    uint32_t pngLength = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVCursorShapeHeader readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVCursorShapeHeader&) const = default;
};

// cursorState (0x21): position within the streamed region as Wire::norm fractions.
struct KVCursorState {
    static constexpr size_t kSize = 16;
    uint32_t shapeId = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t visible = 0;  // 1 shown, 0 hidden
    void writeTo(uint8_t* out) const noexcept;
    static KVCursorState readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVCursorState&) const = default;
};

// ---- video stream ----

// videoHello (0x80): the session token, the first frame of the video stream.
struct KVVideoHello {
    static constexpr size_t kSize = 8;
    uint64_t token = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVVideoHello readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVVideoHello&) const = default;
};

// streamFormat (0x81): followed by the SPS, then the PPS.
struct KVStreamFormat {
    static constexpr size_t kSize = 28;
    uint32_t streamId = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t spsLength = 0;
    uint16_t ppsLength = 0;
    void writeTo(uint8_t* out) const noexcept;  // bytes 8..23 are fixed values
    static KVStreamFormat readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVStreamFormat&) const = default;
};

// videoFrame (0x82): followed by the encoded frame.
struct KVVideoFrameHeader {
    static constexpr size_t kSize = 24;
    static constexpr uint8_t kKeyFrame = 0x01;
    uint32_t streamId = 0;
    uint32_t frameId = 0;
    uint64_t captureUs = 0;
    uint8_t flags = 0;
    bool isKeyFrame() const noexcept { return (flags & kKeyFrame) != 0; }
    void writeTo(uint8_t* out) const noexcept;
    static KVVideoFrameHeader readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVVideoFrameHeader&) const = default;
};

// Why a stream ended: the reason byte of a streamStop. The tablet ends the stream whatever the
// byte says, so a value it does not know is still a stop.
enum class StreamStopReason : uint8_t {
    restart = 1,    // the streamer's own: reconfiguration or encoder rebuild
    paused = 2,     // the session paused (tablet app in the background, display asleep, the user)
    ended = 3,      // the session ended
    inputOnly = 4,  // tablet mapping without preview
};

// streamStop (0x83).
struct KVStreamStop {
    static constexpr size_t kSize = 8;
    uint32_t streamId = 0;
    uint8_t reason = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVStreamStop readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVStreamStop&) const = default;
};

// frameAck (0x84).
struct KVFrameAck {
    static constexpr size_t kSize = 32;
    static constexpr uint8_t kDecoded = 0, kDroppedAwaitingKeyFrame = 1, kDecodeFailed = 2;
    uint32_t streamId = 0;
    uint32_t frameId = 0;
    uint64_t receivedUs = 0;
    uint64_t decodedUs = 0;
    uint8_t status = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVFrameAck readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVFrameAck&) const = default;
};

// keyframeRequest (0x85).
struct KVKeyframeRequest {
    static constexpr size_t kSize = 16;
    uint32_t streamId = 0;
    uint32_t lastGoodFrameId = 0;
    uint8_t reason = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVKeyframeRequest readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVKeyframeRequest&) const = default;
};

// probeBegin (0x86): followed by the SPS, then the PPS. level 0 keeps the encoder's level.
struct KVProbeBegin {
    static constexpr size_t kSize = 16;
    uint32_t probeId = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t frameCount = 0;
    uint16_t spsLength = 0;
    uint16_t ppsLength = 0;
    uint16_t level = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVProbeBegin readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVProbeBegin&) const = default;
};

// probeFrame (0x87): followed by one encoded frame.
struct KVProbeFrame {
    static constexpr size_t kSize = 8;
    uint32_t probeId = 0;
    uint16_t frameIndex = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVProbeFrame readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVProbeFrame&) const = default;
};

// probeResult (0x88): status 0 is success, else the tablet decoder's error code.
struct KVProbeResult {
    static constexpr size_t kSize = 24;
    uint32_t probeId = 0;
    int32_t status = 0;
    uint16_t decoded = 0;
    uint16_t outWidth = 0;
    uint16_t outHeight = 0;
    uint16_t pad = 0;
    uint32_t avgDecodeUs = 0;
    uint32_t maxDecodeUs = 0;
    void writeTo(uint8_t* out) const noexcept;
    static KVProbeResult readFrom(const uint8_t* in) noexcept;
    bool operator==(const KVProbeResult&) const = default;
};

// ---- payloads built from records ----

// A touch-frame payload: the header, then min(points, Wire::maxTouches) points; the rest dropped.
std::vector<uint8_t> writeTouchFrame(uint64_t timestampUs, std::span<const KVTouchPoint> points);

struct TouchFrameRecords {
    uint64_t timestampUs = 0;
    std::vector<KVTouchPoint> points;  // wire order, points with phase 5 or more left out
};

// Absent when the header is missing, announces more than Wire::maxTouches points, or the payload
// is shorter than the points it announces. Points with an unknown phase (5 or more) are skipped.
std::optional<TouchFrameRecords> readTouchFrame(std::span<const uint8_t> payload);

// Parameter-set payloads (streamFormat, probeBegin): the record, the SPS, the PPS. Absent when a
// set is longer than 65535 bytes (its length would not fit the record).
std::optional<std::vector<uint8_t>> writeStreamFormat(KVStreamFormat record, std::span<const uint8_t> sps,
                                                      std::span<const uint8_t> pps);
std::optional<std::vector<uint8_t>> writeProbeBegin(KVProbeBegin record, std::span<const uint8_t> sps,
                                                    std::span<const uint8_t> pps);

// The SPS and PPS after a record of `recordSize` bytes whose length fields announce them; absent
// when the payload is shorter than announced.
struct ParameterSets {
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
};
std::optional<ParameterSets> readParameterSets(std::span<const uint8_t> payload, size_t recordSize, uint16_t spsLength,
                                               uint16_t ppsLength);

// A log payload from the tablet: level (unknown values as info) and the text after the header,
// invalid UTF-8 replaced. Absent when the header is missing.
struct TabletLogLine {
    LogLevel level = LogLevel::info;
    std::string text;
};
std::optional<TabletLogLine> readTabletLogLine(std::span<const uint8_t> payload);
std::vector<uint8_t> writeTabletLogLine(LogLevel level, std::string_view text);

}  // namespace kelvo
