#pragma once

#include <cstdint>
#include <vector>

namespace kelvo {

// Where the video streamer's messages go: the session's video Channel, or a recorder in tests.
class VideoOutput {
public:
    virtual ~VideoOutput() = default;
    // Queues one message whose payload is the parts joined; never blocks. False when the message
    // was refused (too large for the protocol) and nothing was queued.
    virtual bool send(uint8_t rawType, std::vector<std::vector<uint8_t>> parts) = 0;
};

}  // namespace kelvo
