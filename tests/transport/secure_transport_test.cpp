#include "core/transport/secure_transport.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/runtime/manual_executor.hpp"
#include "core/transport/socket_bridge.hpp"
#include "core/transport/tls_stream.hpp"
#include "transport_test_util.hpp"

namespace kelvo {
namespace {

TEST(SecureTransport, KeysAreFreshAndFingerprintsArePublishedDigestPrefixes) {
    auto a = SecureTransport::newKey();
    auto b = SecureTransport::newKey();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(SecureTransport::fingerprint({}), "e3b0c44298fc1c14");
    EXPECT_EQ(SecureTransport::fingerprint({'a', 'b', 'c'}), "ba7816bf8f01cfea");
}

TEST(SecureTransport, ContextsAcceptOnlyKnownSuites) {
    auto params = SecureTransport::parameters(SecureTransport::newKey(), "host", true);
    EXPECT_EQ(params.ciphersuites, (std::vector<uint16_t>{0xCCAC, 0x00A8}));
    EXPECT_TRUE(makeSecureContext(params, false));
    EXPECT_TRUE(makeSecureContext(params, true));
    params.ciphersuites = {0xC02F};  // a certificate suite: no
    EXPECT_FALSE(makeSecureContext(params, false));
    params.ciphersuites = {};
    EXPECT_FALSE(makeSecureContext(params, true));
    EXPECT_EQ(SecureTransport::negotiatedSuite(nullptr), "?");
}

TEST(TlsHandshake, QueueThatCannotWatchTheSocketFailsOnceInsteadOfHanging) {
    auto queue = std::make_shared<test::UnwatchableExecutor>("kv.manual");
    auto [mine, peer] = test::socketPair();
    auto ctx = makeSecureContext(SecureTransport::parameters(SecureTransport::newKey(), "host", true), false);
    auto stream = TlsStream::make(std::move(mine), ctx, false);
    ASSERT_TRUE(stream);
    std::vector<std::string> outcomes;
    auto handshake = TlsHandshake::start(std::move(*stream), queue, [&](std::optional<TlsStream> s, TlsFailure f) {
        outcomes.push_back(s ? "stream" : (f.tls ? "tls: " : "socket: ") + f.text);
    });
    queue->runUntilIdle();
    EXPECT_EQ(outcomes, (std::vector<std::string>{"socket: socket cannot be watched"}));
    // The client's greeting went out, then the socket was closed.
    char buf[4096];
    while (::recv(peer.get(), buf, sizeof buf, MSG_DONTWAIT) > 0) {}
    EXPECT_EQ(::recv(peer.get(), buf, sizeof buf, MSG_DONTWAIT), 0);
}

// A connected TCP pair on 127.0.0.1 (kernel-chosen port): {ours, peer}.
std::pair<UniqueFd, UniqueFd> tcpLoopbackPair() {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(listener.get(), 1), 0);
    EXPECT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    UniqueFd ours(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(ours.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    return {std::move(ours), UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC))};
}

TEST(TlsHandshake, PeerHangingUpMidHandshakeIsReportedAsSuch) {
    struct Case {
        const char* name;
        bool server;
        std::vector<uint8_t> peerSends;  // before it hangs up, after reading what we sent
    };
    const Case cases[] = {
        {"peer reads the ClientHello, then hangs up", false, {}},
        {"client hangs up without a greeting", true, {}},
        {"client hangs up inside its first record", true, {0x16, 0x03, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto queue = std::make_shared<ManualExecutor>("kv.manual");
        auto [mine, peer] = tcpLoopbackPair();
        ASSERT_TRUE(mine && peer);
        auto ctx = makeSecureContext(SecureTransport::parameters(SecureTransport::newKey(), "host", true), c.server);
        auto stream = TlsStream::make(std::move(mine), ctx, c.server);
        ASSERT_TRUE(stream);
        std::vector<std::string> outcomes;
        auto handshake = TlsHandshake::start(std::move(*stream), queue, [&](std::optional<TlsStream> s, TlsFailure f) {
            outcomes.push_back(s ? "stream" : (f.tls ? "tls: " : "socket: ") + f.text);
        });
        queue->runUntilIdle();
        EXPECT_TRUE(outcomes.empty());
        // Read whatever was sent (a client's greeting), so the hang-up is a clean end of stream.
        std::vector<uint8_t> greeting(16384);
        ssize_t got = ::recv(peer.get(), greeting.data(), greeting.size(), MSG_DONTWAIT);
        if (!c.server) {
            ASSERT_GT(got, 5);
            EXPECT_EQ(greeting[0], 0x16);  // a handshake record
        }
        test::writeAll(peer.get(), c.peerSends);
        peer.reset();
        queue->runUntilIdle();
        EXPECT_EQ(outcomes, (std::vector<std::string>{"tls: connection closed during handshake"}));
    }
}

TEST(SocketBridge, StreamThatCannotBeBridgedIsClosedOnlyAfterTheRunningCallback) {
    auto queue = std::make_shared<ManualExecutor>("kv.manual");
    auto [mine, peer] = test::socketPair();
    auto ctx = makeSecureContext(SecureTransport::parameters(SecureTransport::newKey(), "host", true), false);
    auto stream = TlsStream::make(std::move(mine), ctx, false);
    ASSERT_TRUE(stream);

    // The same steps once with descriptors to spare: a sanitizer's first check of a type opens a
    // pipe of its own.
    std::shared_ptr<Executor> copy = queue;
    closeAfterCallback(*copy, UniqueFd(::dup(peer.get())));
    queue->runUntilIdle();

    // One descriptor left: not enough for the pair.
    struct Limit {
        rlimit saved{};
        Limit() { ::getrlimit(RLIMIT_NOFILE, &saved); }
        ~Limit() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    } limit;
    rlimit tight = limit.saved;
    tight.rlim_cur = static_cast<rlim_t>(peer.get() + 64);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<UniqueFd> fillers;
    while (UniqueFd fd{::dup(peer.get())}) fillers.push_back(std::move(fd));
    ASSERT_FALSE(fillers.empty());
    fillers.pop_back();
    UniqueFd caller = SocketBridge::attach(std::move(*stream), queue);
    fillers.clear();
    EXPECT_FALSE(caller);

    char byte;
    EXPECT_LT(::recv(peer.get(), &byte, 1, MSG_DONTWAIT), 0);  // still open within the task
    queue->runUntilIdle();
    EXPECT_EQ(::recv(peer.get(), &byte, 1, MSG_DONTWAIT), 0);
}

}  // namespace
}  // namespace kelvo
