#include "core/transport/secure_listener.hpp"

#include "core/transport/socket_bridge.hpp"
#include "core/transport/tcp_listener.hpp"
#include "core/transport/tls_stream.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {
constexpr std::string_view kTag = "wireless";
}

struct SecureListener::State : std::enable_shared_from_this<SecureListener::State> {
    struct Pending {
        std::shared_ptr<TlsHandshake> handshake;
        std::unique_ptr<Timer> deadline;
    };

    std::shared_ptr<Executor> queue;
    SslCtxPtr ctx;
    AcceptFn onAccept;
    std::function<void(std::string)> onReject;
    uint64_t handshakeTimeoutUs = 0;
    std::map<uint64_t, Pending> pending;
    uint64_t nextId = 1;
    std::unique_ptr<DiscoveryHandle> advert;
    bool stopped = false;

    // The rest runs on the queue.
    void accepted(UniqueFd fd) {
        if (stopped) return;
        auto stream = TlsStream::make(std::move(fd), ctx, true);
        if (!stream) {
            reject("cannot make a TLS session");
            return;
        }
        uint64_t id = nextId++;
        std::weak_ptr<State> weak = weak_from_this();
        Pending p;
        p.deadline = queue->makeTimer();
        p.deadline->scheduleOnce(handshakeTimeoutUs, [weak, id] {
            if (auto self = weak.lock()) self->expired(id);
        });
        p.handshake = TlsHandshake::start(std::move(*stream), queue,
                                          [weak, id](std::optional<TlsStream> done, TlsFailure failure) {
                                              if (auto self = weak.lock()) self->finished(id, std::move(done), failure);
                                          });
        pending[id] = std::move(p);
    }

    void finished(uint64_t id, std::optional<TlsStream> stream, const TlsFailure& failure) {
        if (pending.erase(id) == 0 || stopped) return;
        if (!stream) {
            reject(failure.text);
            return;
        }
        // No socket pair: the bridge has already closed the connection.
        if (UniqueFd fd = SocketBridge::attach(std::move(*stream), queue)) onAccept(std::move(fd));
    }

    void expired(uint64_t id) {
        auto it = pending.find(id);
        if (it == pending.end()) return;
        it->second.handshake->cancel();
        pending.erase(it);
        reject("handshake timeout");
    }

    void reject(const std::string& text) {
        Log::i(kTag, "secure listener rejected a connection: " + text);
        if (onReject) onReject(text);
    }

    void stopOnQueue() {
        stopped = true;
        for (auto& [id, p] : pending) p.handshake->cancel();
        pending.clear();
        advert.reset();
        onAccept = nullptr;
        onReject = nullptr;
    }
};

Expected<std::unique_ptr<SecureListener>, ConnectError> SecureListener::listen(SecureParameters params,
                                                                              Options options,
                                                                              std::shared_ptr<Executor> queue,
                                                                              AcceptFn onAccept) {
    auto state = std::make_shared<State>();
    state->queue = queue;
    state->ctx = makeSecureContext(params, true);
    if (!state->ctx) return ConnectError::failed("listener: TLS parameters refused");
    state->onAccept = std::move(onAccept);
    state->onReject = std::move(options.onReject);
    state->handshakeTimeoutUs = options.handshakeTimeoutUs;

    std::weak_ptr<State> weak = state;
    auto tcp = TCPListener::listen(options.port, options.host, queue, [weak](UniqueFd fd) {
        if (auto self = weak.lock()) self->accepted(std::move(fd));
    });
    if (!tcp) return ConnectError::failed("listener: " + tcp.error().description());
    uint16_t port = tcp.value()->port();

    if (options.service && options.publisher) {
        auto service = *options.service;
        auto publisher = options.publisher;
        runSync(*queue, [&] {
            state->advert = publisher->publish(service.name, service.type, port, queue, [service](std::string error) {
                Log::w(kTag, "cannot advertise " + service.name + " " + service.type + ": " + error);
            });
        });
    }
    return std::unique_ptr<SecureListener>(new SecureListener(port, std::move(tcp).value(), std::move(state)));
}

SecureListener::SecureListener(uint16_t port, std::unique_ptr<TCPListener> tcp, std::shared_ptr<State> state)
    : port_(port), tcp_(std::move(tcp)), state_(std::move(state)) {}

SecureListener::~SecureListener() { stop(); }

void SecureListener::stop() {
    if (!state_) return;
    tcp_->stop();
    auto state = std::move(state_);
    runSync(*state->queue, [&] { state->stopOnQueue(); });
}

}  // namespace kelvo
