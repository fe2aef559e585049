#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/video/h264_encoder.hpp"
#include "core/video/pixel_buffer.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// What the video streamer asks of an H.264 encoder: H264StreamEncoder in a session, a scripted
// fake in tests. The handler is called exactly once per encode, on any thread.
class StreamEncoder {
public:
    using Handler = std::function<void(EncodeResult)>;

    virtual ~StreamEncoder() = default;
    virtual void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool forceKeyframe, Handler handler) = 0;
    virtual void setFrameRate(int fps) = 0;
    virtual void setBitrate(int bitsPerSecond) = 0;
    // Later encodes fail with invalidated; results still inside may be dropped.
    virtual void invalidate() = 0;
};

// Makes one started encoder for a configuration, or says why it cannot.
using EncoderFactory = std::function<Expected<std::unique_ptr<StreamEncoder>, EncoderError>(const EncoderConfig&)>;

// The x264-backed encoder behind the streamer's interface.
class H264StreamEncoder final : public StreamEncoder {
public:
    explicit H264StreamEncoder(std::unique_ptr<H264Encoder> encoder) : encoder_(std::move(encoder)) {}
    // Makes and starts an H264Encoder per call.
    static EncoderFactory factory();

    void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool forceKeyframe, Handler handler) override;
    void setFrameRate(int fps) override { encoder_->setFrameRate(fps); }
    void setBitrate(int bitsPerSecond) override { encoder_->setBitrate(bitsPerSecond); }
    void invalidate() override { encoder_->invalidate(); }

private:
    std::unique_ptr<H264Encoder> encoder_;
};

}  // namespace kelvo
