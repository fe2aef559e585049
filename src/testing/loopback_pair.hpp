#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "core/transport/channel.hpp"

namespace kelvo {

// Two channels joined by a TCP connection on 127.0.0.1 (kernel-chosen port), with video socket
// options: the host side on `hostQueue`, the peer side on `peerQueue`. Neither is started.
// nullopt when the loopback connection cannot be made. Blocks briefly; not on either queue.
struct LoopbackPair {
    std::shared_ptr<Channel> host;
    std::shared_ptr<Channel> peer;

    static std::optional<LoopbackPair> connect(std::shared_ptr<Executor> hostQueue, std::shared_ptr<Executor> peerQueue);

    // The two connected sockets alone (connecting end first), both in blocking mode; the
    // listener and the connect run on `queue`. Blocks briefly; not on `queue`.
    static std::optional<std::pair<UniqueFd, UniqueFd>> sockets(const std::shared_ptr<Executor>& queue);
};

}  // namespace kelvo
