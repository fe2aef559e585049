#include "core/testing/loopback_pair.hpp"

#include <future>
#include <utility>

#include "core/transport/tcp.hpp"
#include "core/transport/tcp_listener.hpp"

namespace kelvo {

std::optional<LoopbackPair> LoopbackPair::connect(std::shared_ptr<Executor> hostQueue,
                                                  std::shared_ptr<Executor> peerQueue) {
    auto accepted = std::make_shared<std::promise<UniqueFd>>();
    auto taken = std::make_shared<bool>(false);  // confined to peerQueue
    // Only the first connection is ours; a stray one to the same loopback port is dropped.
    auto listener = TCPListener::listen(0, "127.0.0.1", peerQueue, [accepted, taken](UniqueFd fd) {
        if (std::exchange(*taken, true)) return;
        accepted->set_value(std::move(fd));
    });
    if (!listener.ok()) return std::nullopt;
    auto connected = TCP::connect("127.0.0.1", listener.value()->port(), 2.0);
    if (!connected.ok()) return std::nullopt;
    auto peerFd = accepted->get_future();
    if (peerFd.wait_for(std::chrono::seconds(2)) != std::future_status::ready) return std::nullopt;
    listener.value()->stop();
    return LoopbackPair{Channel::create(std::move(connected.value()), "video", hostQueue, SocketOptions::video),
                        Channel::create(peerFd.get(), "fake", peerQueue, SocketOptions::video)};
}

}  // namespace kelvo
