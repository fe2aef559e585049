#pragma once

#include <memory>

#include "core/session/device_session.hpp"

namespace kelvo {

// Where the session's video channel delivers, confined to the video queue. The main queue hands
// the streamer and the probe runner over by posting to that queue.
struct DeviceSession::VideoRoute {
    std::shared_ptr<VideoStreamer> streamer;
    std::shared_ptr<ProbeRunner> probe;

    // Acknowledgements and key-frame requests to the streamer, probe results to the runner;
    // anything else, or with nobody to take it, is dropped.
    void handle(const WireMessage& message);
};

}  // namespace kelvo
