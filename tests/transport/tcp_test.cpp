#include "core/transport/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>

#include "core/transport/direct_connector.hpp"
#include "core/transport/tcp_listener.hpp"
#include "core/runtime/manual_executor.hpp"
#include "support/test_support.hpp"
#include "transport_test_util.hpp"

namespace kelvo {
namespace {

// A loopback port that was free a moment ago and has nobody listening.
uint16_t closedPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A loopback listener that never accepts and whose backlog is full, so that further connects
// hang until their time-out.
struct FullListener {
    FullListener() {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(fd.get(), 0);
        socklen_t len = sizeof(addr);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        for (int i = 0; i < 16; ++i) {
            UniqueFd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            ::connect(c.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            pollfd p{c.get(), POLLOUT, 0};
            bool settled = ::poll(&p, 1, 1000) == 1;  // generous: a loaded machine settles slowly
            fillers.push_back(std::move(c));
            if (!settled) return;  // this one hangs: the queue is full
        }
    }
    UniqueFd fd;
    uint16_t port = 0;
    std::vector<UniqueFd> fillers;
};

TEST(TCP, ConnectOutcomesOnLoopback) {
    auto refused = TCP::connect("127.0.0.1", closedPort(), 1.0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ConnectError::refused());
    EXPECT_EQ(refused.error().description(), "connection refused");

    // Spaces make the resolver give up locally, with no query sent anywhere.
    auto unknown = TCP::connect("no such host.invalid", 9, 1.0);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().description(), "cannot resolve no such host.invalid");

    FullListener full;
    auto timedOut = TCP::connect("127.0.0.1", full.port, 0.3);
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(timedOut.error().description(), std::strerror(ETIMEDOUT));
}

TEST(TCP, SignalDuringTheWaitResumesItAndReportsTheTimeOut) {
    struct sigaction action{}, previous{};
    action.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &action, &previous);  // no SA_RESTART: poll fails with EINTR
    FullListener full;
    std::promise<pthread_t> started;
    auto outcome = std::async(std::launch::async, [&] {
        started.set_value(pthread_self());
        return TCP::connect("127.0.0.1", full.port, 0.5);
    });
    pthread_t worker = started.get_future().get();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::pthread_kill(worker, SIGUSR1);
    auto result = outcome.get();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), std::strerror(ETIMEDOUT));
}

TEST(DirectConnector, NamesMapsPortsAndTrustsOnlyLoopbackNames) {
    auto q = std::make_shared<ManualExecutor>();
    DirectConnector remote("10.0.0.5", 9000, 9001, q, q);
    EXPECT_EQ(remote.deviceKey(), "direct:10.0.0.5:9000");
    EXPECT_EQ(remote.transportLabel(), "TCP 10.0.0.5");
    EXPECT_FALSE(remote.isTrustedForPairing());
    EXPECT_EQ((std::vector{remote.mappedPort(47100), remote.mappedPort(47101), remote.mappedPort(5000)}),
              (std::vector<uint16_t>{9000, 9001, 5000}));
    for (const char* host : {"127.0.0.1", "localhost", "::1"})
        EXPECT_TRUE(DirectConnector(host, 1, 2, q, q).isTrustedForPairing()) << host;
    for (const char* host : {"LOCALHOST", "127.0.0.2"})
        EXPECT_FALSE(DirectConnector(host, 1, 2, q, q).isTrustedForPairing()) << host;
}

TEST(DirectConnector, CompletesOnTheMainQueueWithRefusedOrTimeOut) {
    MainLoop main;
    auto connectQueue = AsioExecutor::makeQueue("kv.direct.connect");
    FullListener full;
    DirectConnector refusing("127.0.0.1", closedPort(), full.port, connectQueue, main.sharedExecutor());
    std::optional<ConnectResult> ctrl, video;
    refusing.connect(Wire::ctrlPort, [&](ConnectResult r) {
        EXPECT_TRUE(main.executor().isCurrent());
        ctrl.emplace(std::move(r));
    });
    refusing.connect(Wire::videoPort, [&](ConnectResult r) { video.emplace(std::move(r)); });
    ASSERT_TRUE(test::pumpUntil(main, [&] { return ctrl && video; }));
    ASSERT_FALSE(*ctrl);
    EXPECT_TRUE(ctrl->error().isRefused());
    ASSERT_FALSE(*video);
    EXPECT_EQ(video->error(), ConnectError::failed(std::strerror(ETIMEDOUT)));
}

TEST(TCPListener, ReportsItsPortAndAcceptsEveryPendingConnectionInBlockingMode) {
    auto queue = AsioExecutor::makeQueue("kv.fake");
    std::mutex lock;
    std::vector<UniqueFd> accepted;
    std::atomic<int> blocking{0};
    auto made = TCPListener::listen(0, "127.0.0.1", queue, [&](UniqueFd fd) {
        EXPECT_TRUE(queue->isCurrent());
        if ((::fcntl(fd.get(), F_GETFL) & O_NONBLOCK) == 0) ++blocking;
        std::lock_guard g(lock);
        accepted.push_back(std::move(fd));
    });
    ASSERT_TRUE(made);
    auto listener = std::move(made).value();
    ASSERT_NE(listener->port(), 0);

    // Two connections queued while the listener's queue is busy arrive in one readiness event.
    std::vector<ConnectResult> clients;
    runSync(*queue, [&] {
        clients.push_back(TCP::connect("127.0.0.1", listener->port(), 1.0));
        clients.push_back(TCP::connect("127.0.0.1", listener->port(), 1.0));
    });
    for (auto& c : clients) ASSERT_TRUE(c);
    auto count = [&] {
        std::lock_guard g(lock);
        return accepted.size();
    };
    for (int i = 0; i < 500 && count() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(blocking, 2);

    uint16_t port = listener->port();
    listener->stop();
    listener->stop();
    runSync(*queue, [] {});
    EXPECT_TRUE(TCP::connect("127.0.0.1", port, 1.0).error().isRefused());
}

TEST(TCPListener, RefusesAddressesItCannotBindWithoutLeavingASocket) {
    auto queue = AsioExecutor::makeQueue("kv.fake");
    TCPListener::listen(0, "127.0.0.1", queue, nullptr).value()->stop();  // the reactor's own descriptors
    runSync(*queue, [] {});
    const int before = test::openFdCount();
    auto word = TCPListener::listen(0, "localhost", queue, nullptr);
    ASSERT_FALSE(word);
    EXPECT_EQ(word.error().description(), "bind localhost:0: not an IPv4 address");

    auto first = TCPListener::listen(0, "127.0.0.1", queue, nullptr);
    ASSERT_TRUE(first);
    uint16_t port = first.value()->port();
    auto taken = TCPListener::listen(port, "127.0.0.1", queue, nullptr);
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().description(),
              "bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(EADDRINUSE));
    first.value()->stop();
    runSync(*queue, [] {});

    // A queue that reports no readiness could never accept: refused up front.
    auto manual = std::make_shared<test::UnwatchableExecutor>("kv.manual");
    auto unwatched = TCPListener::listen(0, "127.0.0.1", manual, nullptr);
    ASSERT_FALSE(unwatched);
    EXPECT_EQ(unwatched.error().description(), "socket: cannot be watched on kv.manual");
    manual->runUntilIdle();
    EXPECT_EQ(test::openFdCount(), before);
}

}  // namespace
}  // namespace kelvo
