#include "core/transport/wireless_connector.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

#include "core/protocol/wire.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/socket_bridge.hpp"
#include "core/transport/tls_stream.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "wireless";

// The interface whose address the socket's local end has, if any.
std::optional<std::string> localInterfaceOf(int fd) {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return std::nullopt;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> found;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != local.ss_family) continue;
        if (local.ss_family == AF_INET) {
            auto* x = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            auto* y = reinterpret_cast<const sockaddr_in*>(&local);
            if (x->sin_addr.s_addr == y->sin_addr.s_addr) found = a->ifa_name;
        } else if (local.ss_family == AF_INET6) {
            auto* x = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            auto* y = reinterpret_cast<const sockaddr_in6*>(&local);
            if (std::memcmp(&x->sin6_addr, &y->sin6_addr, sizeof x->sin6_addr) == 0) found = a->ifa_name;
        }
    }
    freeifaddrs(list);
    return found;
}

// A socket address for a numeric IPv4 or IPv6 text; false when it is neither.
bool socketAddress(const ServiceAddress& a, sockaddr_storage& out, socklen_t& len) {
    out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (inet_pton(AF_INET, a.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(a.port);
        len = sizeof *v4;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET6, a.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(a.port);
        v6->sin6_scope_id = a.interfaceIndex;
        len = sizeof *v6;
        return true;
    }
    return false;
}

}  // namespace

struct WirelessConnector::Shared {
    std::optional<std::string> interface;      // pins later connections
    std::optional<std::string> interfaceName;  // where the control stream became ready
};

// One connect: lookup → TCP → TLS → bridge, bounded by the time-out. Runs on the connect queue
// and keeps itself alive until its one completion has been posted to the main queue.
class WirelessConnector::Attempt : public std::enable_shared_from_this<Attempt> {
public:
    Attempt(std::weak_ptr<Shared> owner, const PairingRecord& record, std::string hostID, WirelessLink link,
            uint16_t port, std::optional<std::string> pin, std::weak_ptr<ServiceBrowser> discovery,
            std::shared_ptr<Executor> queue, std::shared_ptr<Executor> main, ConnectCompletion completion)
        : owner_(std::move(owner)), service_(record.service), key_(record.key), hostID_(std::move(hostID)),
          link_(link), port_(port),
          type_(port == Wire::videoPort ? SecureTransport::videoServiceType : SecureTransport::ctrlServiceType),
          pin_(std::move(pin)), discovery_(std::move(discovery)), queue_(std::move(queue)), main_(std::move(main)),
          completion_(std::move(completion)) {}

    void begin() {
        self_ = shared_from_this();
        ctx_ = makeSecureContext(SecureTransport::parameters(key_, hostID_, link_ != WirelessLink::infrastructure), false);
        if (!ctx_) {
            finish(ConnectError::failed("TLS: parameters refused"));
            return;
        }
        deadline_ = queue_->makeTimer();
        retry_ = queue_->makeTimer();
        deadline_->scheduleOnce(connectTimeoutUs, guarded([](Attempt& a) { a.finish(ConnectError::failed("timeout")); }));
        lookUp();
    }

private:
    // A task that runs `fn` while the attempt is alive and unfinished.
    template <class F>
    Task guarded(F fn) {
        return [weak = weak_from_this(), fn] {
            auto self = weak.lock();
            if (self && !self->done_) fn(*self);
        };
    }

    void lookUp() {
        auto discovery = discovery_.lock();
        if (!discovery) {
            finish(ConnectError::failed("discovery stopped"));
            return;
        }
        std::weak_ptr<Attempt> weak = weak_from_this();
        lookup_ = discovery->resolve({service_, std::string(type_), "local", pin_.value_or("")}, queue_,
                                      [weak](ResolveResult r) {
                                          auto self = weak.lock();
                                          if (self && !self->done_) self->resolved(std::move(r));
                                      });
    }

    void resolved(ResolveResult r) {
        lookup_.reset();
        if (r.addresses.empty()) {
            waitAndRetry(r.error.empty() ? "service not found" : r.error);
            return;
        }
        const ServiceAddress& a = r.addresses.front();
        sockaddr_storage addr;
        socklen_t len = 0;
        if (!socketAddress(a, addr, len)) {
            waitAndRetry("unusable address " + a.address);
            return;
        }
        socket_.reset(::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket_) {
            finish(ConnectError::failed(std::strerror(errno)));
            return;
        }
        int one = 1;
        setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (pin_) {
            // Best effort: without the privilege the lookup on that interface is the pinning.
            setsockopt(socket_.get(), SOL_SOCKET, SO_BINDTODEVICE, pin_->c_str(), static_cast<socklen_t>(pin_->size()));
        }
        if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0) {
            startTls();
            return;
        }
        if (errno != EINPROGRESS) {
            socketFailed(errno);
            return;
        }
        watch_ = queue_->watchFd(socket_.get());
        if (!watch_) {
            finish(ConnectError::failed("no descriptor watching on " + std::string(queue_->label())));
            return;
        }
        watch_->waitWritable(guarded([](Attempt& a) {
            int err = 0;
            socklen_t errLen = sizeof err;
            getsockopt(a.socket_.get(), SOL_SOCKET, SO_ERROR, &err, &errLen);
            a.watch_.reset();
            if (err == 0) {
                // The handshake's own watch registers in a later task, after this one is gone.
                a.queue_->post(a.guarded([](Attempt& b) { b.startTls(); }));
            } else {
                a.socketFailed(err);
            }
        }));
    }

    // Refused, unreachable…: the tablet may not be listening yet; keep trying until the time-out.
    void socketFailed(int err) {
        closeAfterCallback(*queue_, std::move(socket_));
        waitAndRetry(std::strerror(err));
    }

    void waitAndRetry(const std::string& why) {
        Log::d(kTag, [&] { return std::string(type_) + " waiting: " + why; });
        retry_->scheduleOnce(retryDelayUs, guarded([](Attempt& a) { a.lookUp(); }));
    }

    void startTls() {
        auto stream = TlsStream::make(std::move(socket_), ctx_, false);
        if (!stream) {
            finish(ConnectError::failed("TLS: cannot make a session"));
            return;
        }
        std::weak_ptr<Attempt> weak = weak_from_this();
        handshake_ = TlsHandshake::start(std::move(*stream), queue_,
                                         [weak](std::optional<TlsStream> s, TlsFailure failure) {
                                             auto self = weak.lock();
                                             if (self && !self->done_) self->handshaken(std::move(s), failure);
                                         });
    }

    void handshaken(std::optional<TlsStream> stream, const TlsFailure& failure) {
        handshake_.reset();
        if (!stream) {
            Log::d(kTag, [&] { return std::string(type_) + " failed: " + failure.text; });
            finish(ConnectError::failed(failure.tls ? "TLS: " + failure.text : failure.text));
            return;
        }
        std::optional<std::string> via = localInterfaceOf(stream->socket.get());
        if (!via) via = pin_;
        auto owner = owner_.lock();
        if (!owner) {
            // Nobody is left to use it; a bridge would only leak a live session.
            closeAfterCallback(*queue_, std::move(stream->socket));
            finish(ConnectError::failed("cancelled"));
            return;
        }
        if (link_ == WirelessLink::direct && via && !isDirectInterface(*via)) {
            closeAfterCallback(*queue_, std::move(stream->socket));
            finish(ConnectError::failed("path is " + *via + ", not peer-to-peer"));
            return;
        }
        Log::i(kTag, std::string(type_) + " ready via " + via.value_or("?") + " (TLS " +
                         SecureTransport::negotiatedSuite(stream->ssl.get()) + ")");
        if (port_ == Wire::ctrlPort) {
            // Posted before the completion, so the video connect that follows it sees the pin.
            main_->post([weak = std::weak_ptr<Shared>(owner), via] {
                if (auto shared = weak.lock()) {
                    shared->interface = via;
                    shared->interfaceName = via;
                }
            });
        }
        UniqueFd fd = SocketBridge::attach(std::move(*stream), queue_);
        if (!fd) {
            finish(ConnectError::failed("socketpair failed"));
            return;
        }
        finish(std::move(fd));
    }

    void finish(ConnectResult result) {
        if (done_) return;
        done_ = true;
        if (deadline_) deadline_->cancel();
        if (retry_) retry_->cancel();
        lookup_.reset();
        watch_.reset();
        if (handshake_) handshake_->cancel();
        handshake_.reset();
        closeAfterCallback(*queue_, std::move(socket_));
        auto held = std::make_shared<ConnectResult>(std::move(result));
        main_->post([completion = std::move(completion_), held]() mutable { completion(std::move(*held)); });
        queue_->post([keep = std::move(self_)] {});  // released after the running callback
    }

    std::weak_ptr<Shared> owner_;
    std::string service_;
    std::vector<uint8_t> key_;
    std::string hostID_;
    WirelessLink link_;
    uint16_t port_;
    std::string_view type_;
    std::optional<std::string> pin_;
    std::weak_ptr<ServiceBrowser> discovery_;
    std::shared_ptr<Executor> queue_;
    std::shared_ptr<Executor> main_;
    ConnectCompletion completion_;

    SslCtxPtr ctx_;
    std::unique_ptr<Timer> deadline_;
    std::unique_ptr<Timer> retry_;
    std::unique_ptr<DiscoveryHandle> lookup_;
    UniqueFd socket_;
    std::unique_ptr<FdWatch> watch_;
    std::shared_ptr<TlsHandshake> handshake_;
    bool done_ = false;
    std::shared_ptr<Attempt> self_;
};

WirelessConnector::WirelessConnector(PairingRecord record, std::string hostID, WirelessLink link,
                                     std::optional<std::string> directInterface,
                                     std::weak_ptr<ServiceBrowser> discovery, std::shared_ptr<Executor> connectQueue,
                                     std::shared_ptr<Executor> mainQueue)
    : record_(std::move(record)), hostID_(std::move(hostID)), link_(link), discovery_(std::move(discovery)),
      connectQueue_(std::move(connectQueue)), main_(std::move(mainQueue)), shared_(std::make_shared<Shared>()) {
    shared_->interface = std::move(directInterface);
}

WirelessConnector::~WirelessConnector() = default;

std::string WirelessConnector::label(std::string_view interfaceName) {
    return isDirectInterface(interfaceName) ? "Direct" : "Wi\u2011Fi";
}

std::string WirelessConnector::transportLabel() const { return label(shared_->interfaceName.value_or("")); }

std::optional<std::string> WirelessConnector::interfaceName() const { return shared_->interfaceName; }

void WirelessConnector::connect(uint16_t port, ConnectCompletion completion) {
    // The control stream is pinned only on a direct link; the video stream always follows the
    // interface the control stream took.
    std::optional<std::string> pin;
    if (shared_->interface && (port == Wire::videoPort || link_ == WirelessLink::direct)) pin = shared_->interface;
    auto attempt = std::make_shared<Attempt>(shared_, record_, hostID_, link_, port, std::move(pin), discovery_,
                                             connectQueue_, main_, std::move(completion));
    connectQueue_->post([attempt] { attempt->begin(); });
}

}  // namespace kelvo
