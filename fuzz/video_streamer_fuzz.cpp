// Feeds the video streamer what a tablet may send on the video stream (acknowledgements and
// key-frame requests with any ids and times, short payloads, unknown types), interleaved with
// captured frames, clock samples and the passing of time.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/runtime/manual_executor.hpp"
#include "core/testing/fake_stream_encoder.hpp"
#include "core/util/log.hpp"
#include "core/video/video_streamer.hpp"

namespace {

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
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    static const bool quiet = [] {
        Log::setMinLevel(LogLevel::error);
        LogStore::shared().setSystemLogEnabled(false);
        return true;
    }();
    (void)quiet;

    auto queue = std::make_shared<ManualExecutor>("kv.s.video");
    auto out = std::make_shared<RecordingVideoOutput>();
    auto clock = std::make_shared<ClockSync>();
    auto script = std::make_shared<EncoderScript>();
    auto streamer = std::make_shared<VideoStreamer>(
        queue, out, clock, VideoStreamer::Config{1920, 1080, 60, 8'000'000, H264Profile::constrainedHigh, 0, 4},
        script->factory());
    if (streamer->start()) return 0;

    Reader in{data, size};
    while (in.n > 0) {
        switch (in.u8() % 6) {
            case 0:
                streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs());
                break;
            case 1:
                queue->advance(in.u8() * 20'000u);
                break;
            case 2:
                clock->add(in.u64(), in.u64(), in.u64(), in.u64());
                break;
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
    streamer->stop(3);
    return 0;
}
