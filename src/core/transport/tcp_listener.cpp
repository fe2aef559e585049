#include "core/transport/tcp_listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kelvo {

struct TCPListener::State : std::enable_shared_from_this<TCPListener::State> {
    std::shared_ptr<Executor> queue;
    AcceptFn onAccept;
    UniqueFd fd;
    std::unique_ptr<FdWatch> watch;

    // On the queue.
    void arm() {
        std::weak_ptr<State> weak = weak_from_this();
        watch->waitReadable([weak] {
            if (auto self = weak.lock()) self->acceptAll();
        });
    }

    void acceptAll() {
        AcceptFn handler = onAccept;  // stop() from inside it releases onAccept
        while (fd) {
            int c = ::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;  // EAGAIN, or a failure the next readiness will show again
            }
            UniqueFd conn(c);
            setNonBlocking(c, false);
            if (handler) handler(std::move(conn));
        }
        if (fd) arm();
    }

    void stopOnQueue() {
        watch.reset();
        // The watch may still be finishing a readiness callback (onAccept may be the caller);
        // closing after it lets the watch deregister before the number can be reused.
        if (fd) queue->post([closing = std::make_shared<UniqueFd>(std::move(fd))] {});
        onAccept = nullptr;
    }
};

Expected<std::unique_ptr<TCPListener>, ConnectError> TCPListener::listen(uint16_t port, const std::string& host,
                                                                          std::shared_ptr<Executor> queue,
                                                                          AcceptFn onAccept) {
    auto failure = [&](const char* text) {
        return ConnectError::failed("bind " + host + ":" + std::to_string(port) + ": " + text);
    };
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // An unparsed host would leave the address all zeros, i.e. every interface.
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return failure("not an IPv4 address");

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return ConnectError::failed(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) < 0 || ::listen(fd.get(), 4) < 0)
        return failure(std::strerror(errno));
    socklen_t len = sizeof(addr);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    setNonBlocking(fd.get());

    auto state = std::make_shared<State>();
    state->queue = std::move(queue);
    state->onAccept = std::move(onAccept);
    state->watch = state->queue->watchFd(fd.get());
    // Without readiness reports nothing would ever be accepted.
    if (!state->watch)
        return ConnectError::failed("socket: cannot be watched on " + std::string(state->queue->label()));
    state->fd = std::move(fd);
    state->queue->dispatch([state] {
        if (state->fd) state->arm();
    });
    return std::unique_ptr<TCPListener>(new TCPListener(ntohs(addr.sin_port), std::move(state)));
}

TCPListener::TCPListener(uint16_t port, std::shared_ptr<State> state) : port_(port), state_(std::move(state)) {}

TCPListener::~TCPListener() { stop(); }

void TCPListener::stop() {
    if (!state_) return;
    auto state = std::move(state_);
    runSync(*state->queue, [&] { state->stopOnQueue(); });
}

}  // namespace kelvo
