#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/testing/h264_decoder.hpp"
#include "core/transport/channel.hpp"

namespace kelvo {

// A small tablet stand-in for the video stream: opens a decoder on each stream format, decodes
// every frame with the test decoder and acknowledges it with times of its own clock (the host's
// clock shifted by a fixed offset, as a real tablet's would differ).
// Runs on its channel's queue. Lifecycle: make → start → stop (closes the channel; final).
class VideoReceiver : public std::enable_shared_from_this<VideoReceiver> {
public:
    struct Counters {
        int64_t formats = 0;
        int64_t frames = 0;
        int64_t decoded = 0;
        int64_t decodeErrors = 0;
        int64_t awaitingKey = 0;  // frames that came before a usable format
        int64_t stops = 0;
    };

    static std::shared_ptr<VideoReceiver> make(std::shared_ptr<Channel> channel, int64_t clockOffsetUs);

    // Each decoded frame, on the channel's queue: its capture time and the decode end, both on
    // the host's clock. Set before start().
    std::function<void(uint64_t captureUs, uint64_t decodedUs)> onDecoded;

    void start();
    void stop();
    // The receiver's own clock, in microseconds. Any thread.
    uint64_t nowUs() const;
    // Any thread.
    Counters counters() const;

    struct Private;
    VideoReceiver(Private, std::shared_ptr<Channel> channel, int64_t clockOffsetUs);

private:
    void onMessage(const WireMessage& message);
    void openStream(const WireMessage& message);
    void receiveFrame(const WireMessage& message);

    std::shared_ptr<Channel> channel_;
    int64_t clockOffsetUs_;
    std::unique_ptr<H264Decoder> decoder_;  // channel queue only
    mutable std::mutex m_;
    Counters counters_;  // guarded by m_
};

}  // namespace kelvo
