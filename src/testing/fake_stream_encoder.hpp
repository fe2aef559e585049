#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/video/stream_encoder.hpp"
#include "core/video/video_output.hpp"

namespace kelvo {

// Everything the fake encoders of one test did, and how they answer. Shared between the test and
// the encoders the streamer owns. Single-threaded (the test's thread).
struct EncoderScript : std::enable_shared_from_this<EncoderScript> {
    struct Call {
        uint64_t ptsUs = 0;
        bool key = false;
        StreamEncoder::Handler handler;  // empty in `calls`; set for held calls
    };
    using Answer = std::function<std::optional<EncodeResult>(const Call&)>;

    // A key frame (with SPS/PPS) when asked for one, else a delta frame; answered at once.
    static Answer healthy();

    // How an encode is answered; nullopt holds the call in `held` for the test to answer.
    Answer answer = healthy();
    std::vector<Call> calls;
    std::deque<Call> held;
    std::vector<EncoderConfig> made;
    int createFailures = 0;  // the next n creations fail
    std::vector<int> frameRates;
    std::vector<int> bitrates;

    // Answers the oldest held call.
    void answerHeld(EncodeResult result);
    // A factory for the streamer whose encoders follow this script (held by shared_ptr).
    EncoderFactory factory();

    static inline const std::vector<uint8_t> kSps{0x67, 0x64, 0x00, 0x28, 0xAC};
    static inline const std::vector<uint8_t> kPps{0x68, 0xEE, 0x3C, 0x80};
    static inline const std::vector<uint8_t> kKeyData{0, 0, 0, 2, 0x65, 0x88};
    static inline const std::vector<uint8_t> kDeltaData{0, 0, 0, 2, 0x41, 0x9A};
};

// A StreamEncoder that follows an EncoderScript; after invalidate() encodes fail at once.
class FakeStreamEncoder final : public StreamEncoder {
public:
    explicit FakeStreamEncoder(std::shared_ptr<EncoderScript> script) : script_(std::move(script)) {}
    void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool forceKeyframe, Handler handler) override;
    void setFrameRate(int fps) override { script_->frameRates.push_back(fps); }
    void setBitrate(int bitsPerSecond) override { script_->bitrates.push_back(bitsPerSecond); }
    void invalidate() override { invalid_ = true; }

private:
    std::shared_ptr<EncoderScript> script_;
    bool invalid_ = false;
};

// A VideoOutput that keeps every message, payload parts joined.
class RecordingVideoOutput final : public VideoOutput {
public:
    struct Sent {
        uint8_t type;
        std::vector<uint8_t> payload;
    };
    bool send(uint8_t rawType, std::vector<std::vector<uint8_t>> parts) override;
    std::vector<uint8_t> types() const;
    std::vector<Sent> sent;
};

}  // namespace kelvo
