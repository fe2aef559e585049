#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/transport/device_connector.hpp"
#include "core/util/expected.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/service_browser.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

class TCPListener;

// The accepting side of a TLS-PSK link (the simulated tablet's): listens on a TCP port,
// optionally advertises a service, and hands every connection whose handshake succeeded to its
// owner as a bridged plain socket. Every handshake is bounded in time.
//
// Everything runs on the queue given to listen() (the simulated tablet's "kv.fake.secure"):
// onAccept, onReject.
// Lifecycle: listen() returns it listening → stop() (synchronous, idempotent: no callback after it
// returns; handshakes in progress are dropped, connections already handed over live on) → destroy.
class SecureListener {
public:
    struct Service {
        std::string name;
        std::string type;  // SecureTransport::ctrlServiceType or videoServiceType
    };
    struct Options {
        uint16_t port = 0;              // 0: any free port
        std::string host = "0.0.0.0";   // dotted IPv4 address to listen on
        std::optional<Service> service;  // advertised through `publisher` while listening
        std::shared_ptr<ServicePublisher> publisher;
        uint64_t handshakeTimeoutUs = 5'000'000;
        // The error text of each connection that failed before it was accepted.
        std::function<void(std::string)> onReject;
    };
    using AcceptFn = std::function<void(UniqueFd)>;

    // Listening, and advertising when asked, once it returns. Fails with "listener: " and the
    // reason (bind, TLS parameters).
    static Expected<std::unique_ptr<SecureListener>, ConnectError> listen(SecureParameters params, Options options,
                                                                         std::shared_ptr<Executor> queue,
                                                                         AcceptFn onAccept);
    ~SecureListener();
    SecureListener(const SecureListener&) = delete;
    SecureListener& operator=(const SecureListener&) = delete;

    // The port actually bound.
    uint16_t port() const { return port_; }
    // Must not be called from a queue that the listener's queue may wait on.
    void stop();

    struct State;

private:
    SecureListener(uint16_t port, std::unique_ptr<TCPListener> tcp, std::shared_ptr<State> state);

    uint16_t port_;
    std::unique_ptr<TCPListener> tcp_;
    std::shared_ptr<State> state_;
};

}  // namespace kelvo
