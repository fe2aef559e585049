#include "testing/loopback_pair.hpp"

#include <future>
#include <utility>

#include "core/transport/tcp.hpp"
#include "core/transport/tcp_listener.hpp"

namespace kelvo {

namespace {
// How long the queue may take to report the connection: it runs on a machine that may be busy
// with other builds and suites, and on loopback the answer comes unless something is broken.
constexpr uint64_t kPatienceUs = 60'000'000;
}  // namespace

std::optional<std::pair<UniqueFd, UniqueFd>> LoopbackPair::sockets(const std::shared_ptr<Executor>& queue) {
    auto accepted = std::make_shared<std::promise<UniqueFd>>();
    auto taken = std::make_shared<bool>(false);  // confined to queue
    // Only the first connection is ours; a stray one to the same loopback port is dropped.
    auto listener = TCPListener::listen(0, "127.0.0.1", queue, [accepted, taken](UniqueFd fd) {
        if (std::exchange(*taken, true)) return;
        accepted->set_value(std::move(fd));
    });
    if (!listener.ok()) return std::nullopt;
    auto connected = std::make_shared<std::promise<ConnectResult>>();
    TCP::connect("127.0.0.1", listener.value()->port(), kPatienceUs, queue,
                 [connected](ConnectResult r) { connected->set_value(std::move(r)); });
    ConnectResult client = connected->get_future().get();
    auto peerFd = accepted->get_future();
    bool ready = client.ok() && peerFd.wait_for(std::chrono::microseconds(kPatienceUs)) == std::future_status::ready;
    listener.value()->stop();
    if (!ready) return std::nullopt;
    return std::pair{std::move(client).value(), peerFd.get()};
}

std::optional<LoopbackPair> LoopbackPair::connect(std::shared_ptr<Executor> hostQueue,
                                                  std::shared_ptr<Executor> peerQueue) {
    auto fds = sockets(peerQueue);
    if (!fds) return std::nullopt;
    return LoopbackPair{Channel::create(std::move(fds->first), "video", hostQueue, SocketOptions::video),
                        Channel::create(std::move(fds->second), "fake", peerQueue, SocketOptions::video)};
}

}  // namespace kelvo
