#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/video/pixel_buffer.hpp"
#include "core/video/preset_controller.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// Stored by raw value inside probe results and selections.
enum class H264Profile { constrainedHigh, high, main };

inline constexpr std::array<H264Profile, 3> kAllH264Profiles{H264Profile::constrainedHigh, H264Profile::high,
                                                            H264Profile::main};
std::string_view h264ProfileRaw(H264Profile profile) noexcept;  // "constrainedHigh", "high", "main"
std::optional<H264Profile> h264ProfileFromRaw(std::string_view raw) noexcept;

struct EncoderConfig {
    int width = 0;
    int height = 0;
    int fps = 0;      // expected frames per second
    int bitrate = 0;  // average bits per second
    H264Profile profile = H264Profile::constrainedHigh;
    std::optional<int> maxFrameQP;  // upper bound on every frame's quantiser; none: no bound

    bool operator==(const EncoderConfig&) const = default;
};

// One encoded access unit.
struct EncodedFrame {
    bool isKeyframe = false;  // an IDR frame
    // Key frames only: the parameter sets as NAL units (header byte first, no prefix). They are
    // never inside `data`.
    std::optional<std::vector<uint8_t>> sps;
    std::optional<std::vector<uint8_t>> pps;
    // The other NAL units of the frame, each preceded by its length as 4 bytes big-endian.
    std::vector<uint8_t> data;
    uint64_t ptsUs = 0;  // the time the encoder gave the frame (strictly increasing per encoder)
};

// The codec settings every encoder runs with, beside those its configuration gives. Public so
// that comparison runs can match them.
struct EncoderTuning {
    // Where every encoder starts; it steps to faster presets while frames take too long, and the
    // stream it sends (parameter sets, entropy coding) stays that of this one.
    static constexpr EncoderPreset startPreset = EncoderPreset::veryfast;
    static constexpr const char* tune = "zerolatency";
    // One frame's slices are encoded in parallel, one per core this process may run on, up to this.
    static constexpr int maxThreads = 4;
    // Capped constant quality: this quality while the bitrate cap is not reached, so still screens
    // cost few bits and busy ones exactly the cap.
    static constexpr float rateFactor = 21.0f;
    // The cap's buffer in seconds of the bitrate: short, so that no frame runs far ahead.
    static constexpr double vbvSeconds = 0.5;
    // How much nicer than the rest of the process the encoder's threads run: they take every core
    // they are given, and a touch or a capture waiting behind them is felt, while a frame that
    // waits a fraction of a millisecond for them is not.
    static constexpr int niceness = 5;

    // The slice threads an encoder opened now would use.
    static int threads();
};

// Status values carried by EncoderError beside the codec's own negative return codes.
namespace EncoderStatus {
inline constexpr int32_t openFailed = -1;    // the codec refused the configuration
inline constexpr int32_t badInput = -2;      // no buffer, or one that cannot be converted
inline constexpr int32_t badOutput = -3;     // the codec's output was not a well-formed access unit
inline constexpr int32_t noThread = -5;      // a thread the encoder runs on cannot be started
inline constexpr int32_t outOfMemory = -12;  // the encoded bytes could not be copied
}  // namespace EncoderStatus

struct EncoderError {
    enum class Kind { createFailed, encodeFailed, invalidated };
    Kind kind = Kind::invalidated;
    int32_t status = 0;

    static EncoderError createFailed(int32_t status) { return {Kind::createFailed, status}; }
    static EncoderError encodeFailed(int32_t status) { return {Kind::encodeFailed, status}; }
    static EncoderError invalidated() { return {Kind::invalidated, 0}; }

    // Fixed English texts, e.g. "encode failed (-3)", "encoder invalidated".
    std::string description() const;
    bool operator==(const EncoderError&) const = default;
};

// Success with a frame, success without one (the encoder dropped it), or a failure.
using EncodeResult = Expected<std::optional<EncodedFrame>, EncoderError>;

// A low-latency H.264 encoder for one size. Takes BGRA or NV12 buffers of any size (other sizes
// are scaled to the configured one) and hands back length-prefixed access units.
//
// Lifecycle: construct (nothing opened) → start() opens the codec and the encoder's own thread →
// invalidate() (or destruction) closes both; there is no way back. All operations may be called
// from any thread, including from inside a handler.
class H264Encoder {
public:
    using Handler = std::function<void(EncodeResult)>;

    // With `fixedPreset` the encoder runs at that preset (reached as a running stream reaches it)
    // instead of following the machine's pace: for comparisons at one preset.
    explicit H264Encoder(EncoderConfig config, std::optional<EncoderPreset> fixedPreset = std::nullopt);
    // Does what invalidate() does.
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // Opens and configures the codec (low latency first, plain as a fallback) and starts the
    // encoding and conversion threads. Every thread of the encoder runs at its lower priority
    // from its first instant, the caller's stays as it was. Error createFailed when neither opens
    // (openFailed) or a thread cannot be had (noThread); then nothing is left open or running and
    // the encoder stays unusable.
    std::optional<EncoderError> start();

    // The configuration given at construction; rate and bitrate changes do not alter it.
    const EncoderConfig& config() const { return config_; }
    // True when the low-latency configuration was opened.
    bool isLowLatency() const;
    // The x264 preset in force. Any thread.
    EncoderPreset preset() const;

    // Queues one frame. `handler` is called exactly once: on the encoder's thread with the frame,
    // with no frame (dropped) or with encodeFailed; at once on the calling thread with
    // invalidated when the encoder is not started or already invalidated. The presentation time
    // becomes the previous one + 1 when it is not above it. The buffer is only read, and held
    // until its frame is encoded.
    void encode(PixelBufferRef buffer, uint64_t ptsUs, bool forceKeyframe, Handler handler);

    // Take effect from the next frame encoded; ignored once invalidated. A frame rate the codec
    // cannot take at run time is applied by scaling its per-frame budget, so bits per second stay
    // at the bitrate. Non-positive values are refused (logged).
    void setFrameRate(int fps);
    void setBitrate(int bitsPerSecond);

    // Synchronous and idempotent: waits for the frame being encoded (its handler still runs),
    // calls the handler of every frame still queued once with invalidated, closes the codec.
    // After it returns no handler of this encoder runs, unless it was called from a handler; a
    // call made while another one is closing the encoder waits for that one.
    void invalidate();

    // Waits until every queued frame has been encoded and handed back. Returns at once from a
    // handler or when not running.
    void completeFrames();

    struct Core;

private:
    std::mutex startMutex_;  // one start() at a time
    EncoderConfig config_;
    std::shared_ptr<Core> core_;
};

}  // namespace kelvo
