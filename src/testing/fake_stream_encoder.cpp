#include "testing/fake_stream_encoder.hpp"

namespace kelvo {

EncoderScript::Answer EncoderScript::healthy() {
    return [](const Call& c) {
        EncodedFrame f;
        f.isKeyframe = c.key;
        if (c.key) {
            f.sps = kSps;
            f.pps = kPps;
        }
        f.data = c.key ? kKeyData : kDeltaData;
        f.ptsUs = c.ptsUs;
        return std::optional<EncodeResult>(std::optional<EncodedFrame>(std::move(f)));
    };
}

void EncoderScript::answerHeld(EncodeResult result) {
    Call c = std::move(held.front());
    held.pop_front();
    c.handler(std::move(result));
}

EncoderFactory EncoderScript::factory() {
    return [self = shared_from_this()](const EncoderConfig& config) -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
        if (self->createFailures > 0) {
            self->createFailures -= 1;
            return EncoderError::createFailed(-12902);
        }
        self->made.push_back(config);
        return std::unique_ptr<StreamEncoder>(std::make_unique<FakeStreamEncoder>(self));
    };
}

void FakeStreamEncoder::encode(const PixelBufferRef&, uint64_t ptsUs, bool forceKeyframe, Handler handler) {
    if (invalid_) return handler(EncoderError::invalidated());
    script_->calls.push_back({ptsUs, forceKeyframe, nullptr});
    EncoderScript::Call call{ptsUs, forceKeyframe, std::move(handler)};
    if (auto result = script_->answer(call)) {
        call.handler(std::move(*result));
    } else {
        script_->held.push_back(std::move(call));
    }
}

bool RecordingVideoOutput::send(uint8_t rawType, std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> payload;
    for (const auto& p : parts) payload.insert(payload.end(), p.begin(), p.end());
    sent.push_back({rawType, std::move(payload)});
    return true;
}

std::vector<uint8_t> RecordingVideoOutput::types() const {
    std::vector<uint8_t> t;
    for (const auto& s : sent) t.push_back(s.type);
    return t;
}

}  // namespace kelvo
