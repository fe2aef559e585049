// Feeds the video streamer what a session may do to it: captured frames, the tablet's video
// messages (acknowledgements and key-frame requests with any ids and times, short payloads),
// clock samples, device status and tablet statistics (thermal state, battery, decode times), an
// encoder that fails, drops, holds or mangles frames or cannot be made, pause, resume,
// reconfiguration, and the passing of time. After stop nothing more goes out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/protocol/control_messages.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "core/video/video_streamer.hpp"
#include "quiet_log.hpp"

namespace {

using namespace kelvo;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(u8()) << (8 * i);
        return v;
    }
    uint32_t u32() { return static_cast<uint32_t>(u64() & 0xFFFFFFFF); }
    // Any double, NaN and infinities included.
    double f64() {
        const uint64_t bits = u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    std::string text(size_t max) {
        const size_t len = std::min<size_t>(u8() % (max + 1), n);
        std::string s(reinterpret_cast<const char*>(p), len);
        p += len;
        n -= len;
        return s;
    }
};

// How the scripted encoder answers from now on.
enum class Answer : uint8_t { healthy, encodeFails, invalidated, dropped, hold, keyWithoutSets, emptyData, oddSets };

EncodeResult answerFor(Answer mode, const EncoderScript::Call& call) {
    auto frame = EncoderScript::healthy()(call);
    switch (mode) {
        case Answer::encodeFails: return EncoderError::encodeFailed(-3);
        case Answer::invalidated: return EncoderError::invalidated();
        case Answer::dropped: return std::optional<EncodedFrame>();
        case Answer::keyWithoutSets: {
            EncodedFrame f = *frame->value();
            f.isKeyframe = true;
            f.sps.reset();
            f.pps.reset();
            return std::optional<EncodedFrame>(std::move(f));
        }
        case Answer::emptyData: {
            EncodedFrame f = *frame->value();
            f.data.clear();
            return std::optional<EncodedFrame>(std::move(f));
        }
        case Answer::oddSets: {
            EncodedFrame f = *frame->value();
            f.sps = {0x67};  // too short to carry a level
            f.pps = std::vector<uint8_t>(300, 0x68);
            return std::optional<EncodedFrame>(std::move(f));
        }
        default: return std::move(*frame);
    }
}

const char* const kThermalNames[] = {"nominal", "fair", "serious", "critical", "Critical", ""};

DeviceStatusMsg deviceStatus(Reader& in) {
    DeviceStatusMsg status;
    const uint8_t present = in.u8();
    if (present & 1) status.battery = present & 8 ? in.f64() : in.u8() / 100.0;
    if (present & 2) status.charging = (present & 16) != 0;
    if (present & 4) status.thermal = present & 32 ? in.text(12) : kThermalNames[in.u8() % 6];
    return status;
}

IPadStats tabletStats(Reader& in) {
    IPadStats stats;
    const uint8_t present = in.u8();
    if (present & 1) stats.decodeUsP95 = present & 2 ? in.f64() : in.u8() * 1000.0;
    if (present & 4) stats.decodeUsAvg = in.f64();
    if (present & 8) stats.rxFrames = static_cast<int64_t>(in.u64());
    if (present & 16) stats.rxKbps = in.f64();
    return stats;
}

// What a session passes on reconfiguration: a stored selection made usable, the user's rates.
VideoStreamer::Config configFrom(Reader& in) {
    ProbeSelection selection;
    selection.width = static_cast<int16_t>(in.u8() << 8 | in.u8());
    selection.height = static_cast<int16_t>(in.u8() << 8 | in.u8());
    selection.levelOverride = static_cast<int8_t>(in.u8());
    selection.maxFps = static_cast<int8_t>(in.u8());
    selection.profile = kAllH264Profiles[in.u8() % kAllH264Profiles.size()];
    const int fps = 1 + in.u8() % 120;
    const int bitrate = static_cast<int>(in.u32() & 0x7FFFFFFF);
    return VideoStreamer::Config::from(selection, fps, bitrate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLog();

    auto queue = std::make_shared<ManualExecutor>("kv.s.video");
    auto out = std::make_shared<RecordingVideoOutput>();
    auto clock = std::make_shared<ClockSync>();
    auto script = std::make_shared<EncoderScript>();
    auto mode = std::make_shared<Answer>(Answer::healthy);
    script->answer = [mode](const EncoderScript::Call& call) -> std::optional<EncodeResult> {
        if (*mode == Answer::hold) return std::nullopt;
        return answerFor(*mode, call);
    };
    auto streamer = std::make_shared<VideoStreamer>(
        queue, out, clock, VideoStreamer::Config{1920, 1080, 60, 8'000'000, H264Profile::constrainedHigh, 0, 4},
        script->factory());
    streamer->policy().onToast = [](const std::string& text) {
        if (text.empty()) abort();
    };
    if (streamer->start()) return 0;

    Reader in{data, size};
    while (in.n > 0) {
        switch (in.u8() % 16) {
            case 0:
                streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs());
                break;
            case 1: queue->advance(in.u8() * 20'000u); break;
            case 2: clock->add(in.u64(), in.u64(), in.u64(), in.u64()); break;
            case 3: {
                const auto body = in.text(80);
                const auto decoded = Wire::decodeJSON<DeviceStatusMsg>(
                    std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
                streamer->updateDeviceStatus(decoded ? *decoded : deviceStatus(in));
                break;
            }
            case 4: streamer->updateIPadStats(tabletStats(in)); break;
            case 5: *mode = static_cast<Answer>(in.u8() % 8); break;
            case 6:
                if (!script->held.empty()) {
                    const auto& call = script->held.front();
                    script->answerHeld(answerFor(static_cast<Answer>(in.u8() % 8), call));
                }
                break;
            case 7: script->createFailures = in.u8() % 4; break;
            case 8: {
                const uint8_t r = in.u8();
                streamer->pause(r & 1 ? std::optional(static_cast<StreamStopReason>(r >> 1)) : std::nullopt);
                break;
            }
            case 9: streamer->resume(); break;
            case 10: (void)streamer->reconfigure(configFrom(in)); break;
            case 11: streamer->forceKeyframe(); break;
            default: {
                WireMessage m;
                m.rawType = in.u8() & 1 ? rawValue(MsgType::frameAck) : rawValue(MsgType::keyframeRequest);
                const size_t len = in.u8() % 40;
                for (size_t i = 0; i < len; ++i) m.payload.push_back(i < 4 ? 0 : in.u8());
                // Mostly the current stream and a recent frame, so acknowledgements match.
                if (len >= 8) {
                    const uint32_t stream = streamer->streamId();
                    for (int i = 0; i < 4; ++i) m.payload[i] = uint8_t(stream >> (8 * i));
                }
                streamer->handle(m);
                break;
            }
        }
        queue->runUntilIdle();
    }
    streamer->stop(StreamStopReason::ended);
    const size_t sent = out->sent.size();
    while (!script->held.empty()) script->answerHeld(answerFor(Answer::healthy, script->held.front()));
    streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs());
    queue->advance(10'000'000);
    if (out->sent.size() != sent) abort();
    return 0;
}
