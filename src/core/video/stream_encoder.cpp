#include "core/video/stream_encoder.hpp"

namespace kelvo {

EncoderFactory H264StreamEncoder::factory() {
    return [](const EncoderConfig& config) -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
        auto encoder = std::make_unique<H264Encoder>(config);
        if (auto error = encoder->start()) return *error;
        return std::unique_ptr<StreamEncoder>(std::make_unique<H264StreamEncoder>(std::move(encoder)));
    };
}

void H264StreamEncoder::encode(const PixelBufferRef& frame, uint64_t ptsUs, bool forceKeyframe, Handler handler) {
    encoder_->encode(frame, ptsUs, forceKeyframe, std::move(handler));
}

}  // namespace kelvo
