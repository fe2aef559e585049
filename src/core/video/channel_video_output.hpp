#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/transport/channel.hpp"
#include "core/video/video_output.hpp"

namespace kelvo {

// The video channel as the streamer's output. Sends from the channel's queue go out inline.
class ChannelVideoOutput final : public VideoOutput {
public:
    explicit ChannelVideoOutput(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
    bool send(uint8_t rawType, std::vector<std::vector<uint8_t>> parts) override {
        return channel_->send(rawType, std::move(parts));
    }

private:
    std::shared_ptr<Channel> channel_;
};

}  // namespace kelvo
