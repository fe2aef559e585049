#include "core/transport/tcp.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

namespace kelvo {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// Waits for a non-blocking connect to settle and returns its errno (0 on success). A poll cut
// short by a signal is resumed with the time left; the socket's own error is what counts.
int awaitConnect(int fd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int ready;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLOUT, 0};
        ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready >= 0 || errno != EINTR) break;
    }
    int pollErrno = errno;
    int soError = 0;
    socklen_t len = sizeof(soError);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) soError = errno;
    if (soError != 0) return soError;
    if (ready > 0) return 0;
    return ready == 0 ? ETIMEDOUT : pollErrno;
}

}  // namespace

ConnectResult TCP::connect(const std::string& host, uint16_t port, double timeoutSeconds) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    if (rc != 0 || !list) return ConnectError::failed("cannot resolve " + host);

    double ms = timeoutSeconds * 1000.0;
    int timeoutMs = !(ms > 0) ? 0 : ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
    ConnectError pending = ConnectError::failed("no address for " + host);

    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) continue;
        int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
        int err = 0;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) < 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) err = awaitConnect(fd.get(), timeoutMs);
        }
        if (err == 0) {
            ::fcntl(fd.get(), F_SETFL, flags);
            return fd;
        }
        pending = err == ECONNREFUSED ? ConnectError::refused() : ConnectError::failed(std::strerror(err));
    }
    return pending;
}

}  // namespace kelvo
