#include "core/transport/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>

#include "core/transport/direct_connector.hpp"
#include "core/transport/tcp_listener.hpp"
#include "core/runtime/manual_executor.hpp"
#include "core/util/clock.hpp"
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

// Connects on a queue of the shared pool and waits for the outcome.
ConnectResult connectNow(const std::string& host, uint16_t port, uint64_t timeoutUs) {
    std::promise<ConnectResult> done;
    TCP::connect(host, port, timeoutUs, AsioExecutor::makeQueue("kv.direct.connect"),
                 [&](ConnectResult r) { done.set_value(std::move(r)); });
    return done.get_future().get();
}

// A plain blocking connect to a loopback port that is listening.
UniqueFd connectBlocking(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) fd.reset();
    return fd;
}

TEST(TCP, ConnectOutcomesOnLoopback) {
    FullListener full;
    auto queue = AsioExecutor::makeQueue("kv.fake");
    auto open = TCPListener::listen(0, "127.0.0.1", queue, [](UniqueFd) {});
    ASSERT_TRUE(open);
    struct Case {
        std::string host;
        uint16_t port;
        std::optional<ConnectError> error;  // nullopt: connected
    };
    const Case cases[] = {
        {"127.0.0.1", closedPort(), ConnectError::refused()},
        // Spaces make the resolver give up locally, with no query sent anywhere.
        {"no such host.invalid", 9, ConnectError::failed("cannot resolve no such host.invalid")},
        {"127.0.0.1", full.port, ConnectError::failed(std::strerror(ETIMEDOUT))},
        {"127.0.0.1", open.value()->port(), std::nullopt},
        // A name is looked up off the queue; an address of it that refuses is passed over.
        {"localhost", open.value()->port(), std::nullopt},
    };
    for (const Case& c : cases) {
        auto result = connectNow(c.host, c.port, 300'000);
        if (c.error) {
            ASSERT_FALSE(result) << c.host;
            EXPECT_EQ(result.error(), *c.error) << c.host;
        } else {
            ASSERT_TRUE(result) << c.host << ": " << result.error().description();
            // Handed over in blocking mode; a channel makes it non-blocking again.
            EXPECT_EQ(::fcntl(result.value().get(), F_GETFL) & O_NONBLOCK, 0);
        }
    }
    open.value()->stop();
}

// Waiting connects hold no thread: on a pool of two, four of them time out together while a
// 10 ms timer on another queue keeps its cadence, and the direct connector reports each on
// the main queue.
TEST(DirectConnector, ConnectsThatNeverSettleLeaveThePoolFree) {
    IoPool pool(2);
    auto connectQueue = std::make_shared<AsioExecutor>(pool.context(), "kv.direct.connect");
    auto mainQueue = std::make_shared<AsioExecutor>(pool.context(), "main");
    auto tickQueue = std::make_shared<AsioExecutor>(pool.context(), "kv.tick");
    FullListener full;
    DirectConnector silent("127.0.0.1", full.port, full.port, connectQueue, mainQueue, 2'000'000);

    std::mutex lock;
    std::vector<uint64_t> ticks;
    auto timer = tickQueue->makeTimer();
    runSync(*tickQueue, [&] {
        timer->scheduleRepeating(10'000, [&] {
            std::lock_guard g(lock);
            ticks.push_back(Clock::nowUs());
        });
    });

    constexpr int kConnects = 4;
    std::vector<std::promise<ConnectResult>> outcomes(kConnects);
    const uint64_t start = Clock::nowUs();
    for (auto& outcome : outcomes) {
        silent.connect(Wire::ctrlPort, [&, done = &outcome](ConnectResult r) {
            EXPECT_TRUE(mainQueue->isCurrent());
            done->set_value(std::move(r));
        });
    }
    for (auto& outcome : outcomes) {
        auto result = outcome.get_future().get();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), ConnectError::failed(std::strerror(ETIMEDOUT)));
    }
    const uint64_t end = Clock::nowUs();
    runSync(*tickQueue, [&] { timer.reset(); });

    std::lock_guard g(lock);
    ASSERT_FALSE(ticks.empty());
    // Only the ticks of the connects' own span count: one may fire just before `start` or after `end`.
    uint64_t previous = start;
    uint64_t worstGap = 0;
    for (uint64_t tick : ticks) {
        if (tick < start || tick > end) continue;
        worstGap = std::max(worstGap, tick - previous);
        previous = tick;
    }
    worstGap = std::max(worstGap, end - previous);
    // Connects holding both pool threads would starve the tick for their 2 s time-out; a busy
    // machine alone delays it far less.
    EXPECT_LE(worstGap, 1'000'000u) << ticks.size() << " ticks";
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
    std::vector<UniqueFd> clients;
    runSync(*queue, [&] {
        clients.push_back(connectBlocking(listener->port()));
        clients.push_back(connectBlocking(listener->port()));
    });
    for (auto& c : clients) ASSERT_TRUE(c);
    auto count = [&] {
        std::lock_guard g(lock);
        return accepted.size();
    };
    EXPECT_TRUE(test::waitUntil([&] { return count() >= 2; }));
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(blocking, 2);

    uint16_t port = listener->port();
    listener->stop();
    listener->stop();
    runSync(*queue, [] {});
    EXPECT_EQ(connectNow("127.0.0.1", port, 1'000'000).error(), ConnectError::refused());
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
