#pragma once

#include <functional>
#include <memory>
#include <string>

#include "testing/fake_ipad.hpp"
#include "core/video/frame_source.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

// The whole video road on loopback for tests and benchmarks: test-pattern source → streamer on
// "kv.s.video" → Channel over TCP → the simulated tablet's video side on "kv.fake" (decoding,
// acknowledging), with the clock mapping fed by one ping exchange. Lifecycle: start → stop
// (synchronous).
class LoopbackPipeline {
public:
    struct Options {
        // Serial queues for the streamer and host channel, the tablet, and the source.
        std::shared_ptr<Executor> videoQueue;
        std::shared_ptr<Executor> peerQueue;
        std::shared_ptr<Executor> sourceQueue;
        int width = 640;
        int height = 480;
        int fps = 30;
        int bitrate = 2'000'000;
        int64_t tabletClockAheadUs = 0;
        EncoderFactory encoderFactory = H264StreamEncoder::factory();
        // Delivers on sourceQueue; default: the test pattern at the stream's size and rate.
        std::shared_ptr<FrameSource> source;
        // Wraps the channel as the streamer's output (benchmarks time the writes); default: as is.
        std::function<std::shared_ptr<VideoOutput>(std::shared_ptr<Channel>)> output;
        std::function<void(const LiveStats&)> onStats;                          // on the video queue
        std::function<void(uint64_t captureUs, uint64_t decodedUs)> onDecoded;  // on the peer queue, host clock
    };

    // Everything running, or nullptr with `error` set.
    static std::unique_ptr<LoopbackPipeline> start(Options options, std::string& error);
    ~LoopbackPipeline();

    // Stops the source, the streamer (stream stop 3) and both channels, then drains the three
    // queues. Idempotent.
    void stop();

    // The tablet; its counters stay readable after stop().
    const std::shared_ptr<FakeIPad>& tablet() const { return tablet_; }

private:
    LoopbackPipeline() = default;

    std::shared_ptr<Executor> videoQueue_;
    std::shared_ptr<Executor> peerQueue_;
    std::shared_ptr<Executor> sourceQueue_;
    std::shared_ptr<Channel> hostChannel_;
    std::shared_ptr<FakeIPad> tablet_;
    std::shared_ptr<VideoStreamer> streamer_;
    std::shared_ptr<FrameSource> source_;
    bool stopped_ = false;
};

}  // namespace kelvo
