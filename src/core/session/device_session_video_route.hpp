#pragma once

#include <memory>

#include "core/session/device_session.hpp"

namespace kelvo {

// Where the session's video channel delivers, confined to the video queue. The main queue hands
// the streamer and the probe runner over by posting to that queue. The streamer is the capture
// link's: the route only finds it while the link holds it.
struct DeviceSession::VideoRoute {
    std::weak_ptr<VideoStreamer> streamer;
    std::shared_ptr<ProbeRunner> probe;

    // Acknowledgements and key-frame requests to the streamer, probe results to the runner;
    // anything else, or with nobody to take it, is dropped.
    void handle(const WireMessage& message);
};

}  // namespace kelvo
