// A stored probe selection (part of a device profile) read, turned into a streamer configuration
// and streamed with: whatever was stored, the configuration is one the encoder can take.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "core/video/video_streamer.hpp"
#include "quiet_log.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    quietLog();

    const auto value = parseJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    const auto selection = jsonAs<ProbeSelection>(*value);
    if (!selection) return 0;
    if (jsonAs<ProbeSelection>(toJson(*selection)) != selection) abort();
    (void)selection->description();

    const auto config = VideoStreamer::Config::from(*selection, 60, 8'000'000);
    if (config.width < 1 || config.width > 0xFFFF || config.height < 1 || config.height > 0xFFFF) abort();
    if (config.fps < 1 || config.fps > 60 || config.profile != selection->profile) abort();

    auto queue = std::make_shared<ManualExecutor>("kv.s.video");
    auto out = std::make_shared<RecordingVideoOutput>();
    auto script = std::make_shared<EncoderScript>();
    auto streamer =
        std::make_shared<VideoStreamer>(queue, out, std::make_shared<ClockSync>(), config, script->factory());
    if (streamer->start()) abort();  // the scripted encoder takes any size
    streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs());
    queue->runUntilIdle();
    if (script->made.size() != 1 || script->made[0].width != config.width || script->made[0].height != config.height)
        abort();
    streamer->stop(std::nullopt);
    return 0;
}
