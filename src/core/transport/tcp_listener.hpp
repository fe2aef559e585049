#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/transport/device_connector.hpp"
#include "core/util/expected.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// A TCP listening socket on one IPv4 address; accepted connections are handed to `onAccept`,
// on the listener's queue, in blocking mode.
//
// Lifecycle: listen() returns it listening → stop() (synchronous, idempotent: no onAccept runs
// after it returns) → destroy (stops).
class TCPListener {
public:
    using AcceptFn = std::function<void(UniqueFd)>;

    // `port` 0 picks a free port. `host` must be a dotted IPv4 address. On failure nothing is
    // left open and the error reads "socket: <text>" or "bind <host>:<port>: <text>".
    // A queue that cannot watch descriptors (a manual one) is a "socket: " failure.
    static Expected<std::unique_ptr<TCPListener>, ConnectError> listen(uint16_t port, const std::string& host,
                                                                      std::shared_ptr<Executor> queue,
                                                                      AcceptFn onAccept);
    ~TCPListener();
    TCPListener(const TCPListener&) = delete;
    TCPListener& operator=(const TCPListener&) = delete;

    // The port actually bound.
    uint16_t port() const { return port_; }
    // Closes the listening socket. Runs on the listener's queue and waits for it when called
    // elsewhere, so never call it from a queue that queue may wait on.
    void stop();

private:
    struct State;
    TCPListener(uint16_t port, std::shared_ptr<State> state);
    uint16_t port_;
    std::shared_ptr<State> state_;
};

}  // namespace kelvo
