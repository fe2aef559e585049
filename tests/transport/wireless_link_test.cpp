// The Wi-Fi path for real on loopback: WirelessConnector → TLS-PSK → SecureListener, found
// through the fake discovery backend, with Channels on both bridged descriptors.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_service_browser.hpp"
#include "core/transport/channel.hpp"
#include "core/transport/secure_listener.hpp"
#include "core/transport/socket_bridge.hpp"
#include "core/transport/wireless_connector.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kService = "fake-47100";
const std::string kHostID = "0b6f1f7e-3c1a-4d53-9a0e-6c2f5a9d1e42";

template <class T>
class Inbox {
public:
    void put(T value) {
        std::lock_guard g(m_);
        items_.push_back(std::move(value));
        cv_.notify_all();
    }
    std::optional<T> take(std::chrono::milliseconds wait = test::kPatience) {
        std::unique_lock g(m_);
        if (!cv_.wait_for(g, wait, [&] { return !items_.empty(); })) return std::nullopt;
        T v = std::move(items_.front());
        items_.pop_front();
        return v;
    }
    size_t size() const {
        std::lock_guard g(m_);
        return items_.size();
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<T> items_;
};

struct Rig {
    std::shared_ptr<FakeServiceBrowser> discovery = std::make_shared<FakeServiceBrowser>();
    std::shared_ptr<Executor> listenerQueue = AsioExecutor::makeQueue("kv.secure.listener");
    std::shared_ptr<Executor> connectQueue = AsioExecutor::makeQueue("kv.wireless.connect");
    std::shared_ptr<Executor> main = AsioExecutor::makeQueue("kv.test.main");
    std::vector<uint8_t> key = SecureTransport::newKey();
    Inbox<UniqueFd> accepted;
    Inbox<std::string> rejected;

    ~Rig() {
        // Every bridge ends once both of its descriptors are closed; none may outlive the test.
        EXPECT_TRUE(test::waitUntil([] { return SocketBridge::liveCount() == 0; }));
    }

    std::unique_ptr<SecureListener> listen(std::string type = "_kelvo._tcp", SecureParameters params = {},
                                           uint64_t handshakeTimeoutUs = 5'000'000) {
        if (params.key.empty()) params = SecureTransport::parameters(key, kHostID, true);
        SecureListener::Options options;
        options.host = "127.0.0.1";
        options.service = SecureListener::Service{kService, type};
        options.publisher = discovery;
        options.handshakeTimeoutUs = handshakeTimeoutUs;
        options.onReject = [this](std::string e) { rejected.put(std::move(e)); };
        auto got = SecureListener::listen(params, options, listenerQueue,
                                          [this](UniqueFd fd) { accepted.put(std::move(fd)); });
        EXPECT_TRUE(got.ok()) << (got.ok() ? "" : got.error().description());
        return std::move(got).value();
    }

    std::unique_ptr<WirelessConnector> connector(WirelessLink link = WirelessLink::any,
                                                 std::optional<std::string> direct = std::nullopt) {
        PairingRecord rec{"udid-1", "iPad", kService, key, SystemTime{}};
        return std::make_unique<WirelessConnector>(rec, kHostID, link, direct, discovery, connectQueue, main);
    }

    // Connects and waits for the one completion; also reports how long it took.
    ConnectResult connect(WirelessConnector& c, uint16_t port, double* seconds = nullptr) {
        auto done = std::make_shared<std::promise<ConnectResult>>();
        auto start = Clock::now();
        runSync(*main, [&] { c.connect(port, [done](ConnectResult r) { done->set_value(std::move(r)); }); });
        auto future = done->get_future();
        EXPECT_EQ(future.wait_for(test::kPatience), std::future_status::ready);
        if (seconds) *seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return future.get();
    }
};

// Both ends send `bytes` in 64 KiB frames at once; each checks what it got.
struct Exchange {
    struct End {
        std::shared_ptr<Channel> channel;
        std::atomic<uint64_t> received{0};
        std::atomic<bool> corrupt{false};
        std::atomic<bool> closed{false};
    };
    End host, tablet;

    static void wire(End& end, UniqueFd fd, const std::string& name, std::shared_ptr<Executor> queue) {
        end.channel = Channel::create(std::move(fd), name, queue, SocketOptions::video);
        end.channel->onMessage = [&end](WireMessage m) {
            for (size_t i = 0; i < m.payload.size(); ++i)
                if (m.payload[i] != static_cast<uint8_t>((m.seq + i) & 0xFF)) end.corrupt = true;
            end.received += m.payload.size();
        };
        end.channel->onClose = [&end](std::optional<ChannelError>) { end.closed = true; };
        end.channel->start();
    }

    static void sendAll(End& end, size_t bytes) {
        constexpr size_t kFrame = 65536;
        for (uint32_t seq = 1; seq * kFrame <= bytes; ++seq) {
            std::vector<uint8_t> payload(kFrame);
            for (size_t i = 0; i < kFrame; ++i) payload[i] = static_cast<uint8_t>((seq + i) & 0xFF);
            end.channel->send(MsgType::videoFrame, std::move(payload));
        }
    }
};

TEST(WirelessLink, ControlStreamCarriesMoreThanAMebibyteEachWayAtOnce) {
    Rig rig;
    test::LogCapture log;
    auto listener = rig.listen();
    auto connector = rig.connector();
    EXPECT_EQ(connector->transportLabel(), "Wi\u2011Fi");

    auto result = rig.connect(*connector, 47100);
    ASSERT_TRUE(result.ok()) << result.error().description();
    auto tabletFd = rig.accepted.take();
    ASSERT_TRUE(tabletFd);
    EXPECT_TRUE(log.contains("_kelvo._tcp ready via lo (TLS 0xCCAC)", "wireless"));
    EXPECT_EQ(runSync(*rig.main, [&] { return connector->interfaceName(); }), "lo");
    EXPECT_EQ(runSync(*rig.main, [&] { return connector->transportLabel(); }), "Wi\u2011Fi");

    constexpr size_t kBytes = 24 * 65536;  // 1.5 MiB
    Exchange ex;
    auto hostQueue = AsioExecutor::makeQueue("kv.s.ctrl");
    auto tabletQueue = AsioExecutor::makeQueue("kv.fake");
    Exchange::wire(ex.host, std::move(result).value(), "ctrl", hostQueue);
    Exchange::wire(ex.tablet, std::move(*tabletFd), "fake", tabletQueue);
    std::thread a([&] { Exchange::sendAll(ex.host, kBytes); });
    std::thread b([&] { Exchange::sendAll(ex.tablet, kBytes); });
    a.join();
    b.join();
    EXPECT_TRUE(test::waitUntil([&] { return ex.host.received == kBytes && ex.tablet.received == kBytes; }));
    EXPECT_FALSE(ex.host.corrupt);
    EXPECT_FALSE(ex.tablet.corrupt);

    // A host that hangs up right after its last frame: the tablet still gets all of it, then the end.
    Exchange::sendAll(ex.host, 4 * 65536);
    ex.host.channel->onClose = nullptr;
    runSync(*hostQueue, [&] {
        ex.host.channel->onDrain = [&] { ex.host.channel->close(); };
        ex.host.channel->send(MsgType::videoFrame, std::vector<uint8_t>{});
    });
    EXPECT_TRUE(test::waitUntil([&] { return ex.tablet.closed.load(); }));
    EXPECT_EQ(ex.tablet.received, kBytes + 4 * 65536);
    listener->stop();
}

TEST(WirelessLink, BridgeHoldsBackASenderWhoseReaderStopsAndLosesNothing) {
    Rig rig;
    auto listener = rig.listen();
    auto connector = rig.connector();
    auto result = rig.connect(*connector, 47100);
    ASSERT_TRUE(result.ok());
    UniqueFd host = std::move(result).value();
    auto tablet = rig.accepted.take();
    ASSERT_TRUE(tablet);

    // Far more than every buffer on the way together: the writer must block until the host reads.
    constexpr size_t kBytes = 32u << 20;
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::vector<uint8_t> chunk(1 << 16);
        for (size_t off = 0; off < kBytes; off += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>((off + i) * 7 >> 3);
            size_t done = 0;
            while (done < chunk.size()) {
                ssize_t n = write(tablet->get(), chunk.data() + done, chunk.size() - done);
                ASSERT_GT(n, 0);
                done += static_cast<size_t>(n);
            }
        }
        written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(written.load());

    std::vector<uint8_t> buf(1 << 16);
    size_t got = 0;
    bool intact = true;
    while (got < kBytes && test::readable(host.get())) {
        ssize_t n = read(host.get(), buf.data(), buf.size());
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) intact &= buf[i] == static_cast<uint8_t>((got + i) * 7 >> 3);
        got += static_cast<size_t>(n);
    }
    if (got < kBytes) ::shutdown(tablet->get(), SHUT_RDWR);  // frees the writer, so the test ends
    writer.join();
    ASSERT_EQ(got, kBytes) << "the link stopped passing bytes";
    EXPECT_TRUE(intact);

    // The tablet hanging up reaches the host as end-of-file.
    tablet->reset();
    ASSERT_TRUE(test::readable(host.get())) << "the hang-up never reached the host";
    EXPECT_EQ(read(host.get(), buf.data(), buf.size()), 0);
}

TEST(WirelessLink, ServerLimitedToTheSecondSuiteNegotiatesIt) {
    Rig rig;
    test::LogCapture log;
    auto params = SecureTransport::parameters(rig.key, kHostID, true);
    params.ciphersuites = {0x00A8};
    auto listener = rig.listen("_kelvo._tcp", params);
    auto connector = rig.connector();
    auto result = rig.connect(*connector, 47100);
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_TRUE(log.contains("(TLS 0x00A8)", "wireless"));
    auto tabletFd = rig.accepted.take();
    ASSERT_TRUE(tabletFd);
}

TEST(WirelessLink, WrongKeyOrIdentityFailsWithTlsTextLongBeforeTheTimeout) {
    Rig rig;
    struct Case {
        const char* name;
        SecureParameters listenerParams;
    };
    std::vector<Case> cases = {
        {"other key", SecureTransport::parameters(SecureTransport::newKey(), kHostID, true)},
        {"other host identity", SecureTransport::parameters(rig.key, "another-host", true)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto listener = rig.listen("_kelvo._tcp", c.listenerParams);
        auto connector = rig.connector();
        double seconds = 0;
        auto result = rig.connect(*connector, 47100, &seconds);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().description().rfind("TLS: ", 0), 0u) << result.error().description();
        // Refused by TLS itself, not left to the connect time-out (however busy the machine).
        EXPECT_LT(seconds, WirelessConnector::connectTimeoutUs / 1e6);
        EXPECT_TRUE(rig.rejected.take());
        EXPECT_EQ(rig.accepted.size(), 0u);
        listener->stop();
    }
}

TEST(WirelessLink, VideoPortResolvesTheVideoServiceOnTheControlStreamsInterface) {
    Rig rig;
    test::LogCapture log;
    auto ctrl = rig.listen("_kelvo._tcp");
    auto video = rig.listen("_kelvo-video._tcp");
    auto connector = rig.connector();
    auto c = rig.connect(*connector, 47100);
    ASSERT_TRUE(c.ok());
    auto v = rig.connect(*connector, 47101);
    ASSERT_TRUE(v.ok()) << v.error().description();
    EXPECT_TRUE(log.contains("_kelvo-video._tcp ready via lo", "wireless"));
    auto other = rig.connect(*connector, 5000);  // any other port means the control service
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(log.count("_kelvo._tcp ready via lo", "wireless"), 2u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(rig.accepted.take());
}

TEST(WirelessLink, DirectLinkRefusesAnInfrastructurePath) {
    Rig rig;
    auto listener = rig.listen();
    // The browser reported a peer-to-peer interface, but the tablet answers on loopback.
    rig.discovery->add({kService, "_kelvo._tcp", "local", "awdl0"}, {"127.0.0.1", listener->port(), 0});
    auto connector = rig.connector(WirelessLink::direct, std::string("awdl0"));
    auto result = rig.connect(*connector, 47100);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "path is lo, not peer-to-peer");
}

TEST(WirelessLink, ConnectionReadyAfterItsConnectorIsGoneIsCancelledNotBridged) {
    Rig rig;
    auto listener = rig.listen();
    auto connector = rig.connector();
    auto done = std::make_shared<std::promise<ConnectResult>>();
    runSync(*rig.main, [&] {
        connector->connect(47100, [done](ConnectResult r) { done->set_value(std::move(r)); });
        connector.reset();
    });
    auto future = done->get_future();
    ASSERT_EQ(future.wait_for(test::kPatience), std::future_status::ready);
    auto result = future.get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "cancelled");
    // The tablet's side, if its handshake finished, sees the connection end.
    if (auto fd = rig.accepted.take(std::chrono::milliseconds(500))) {
        char byte;
        ASSERT_TRUE(test::readable(fd->get())) << "the cancelled connection stayed open";
        EXPECT_EQ(recv(fd->get(), &byte, 1, 0), 0);
    }
}

TEST(WirelessLink, ServiceThatNeverAppearsTimesOutOnceAtFiveSeconds) {
    auto connectQueue = std::make_shared<ManualExecutor>("kv.wireless.connect");
    auto main = std::make_shared<ManualExecutor>("main");
    auto discovery = std::make_shared<FakeServiceBrowser>();
    PairingRecord rec{"udid-1", "iPad", "nobody", SecureTransport::newKey(), SystemTime{}};
    WirelessConnector connector(rec, kHostID, WirelessLink::any, std::nullopt, discovery, connectQueue, main);
    std::vector<std::string> completions;
    connector.connect(47100, [&](ConnectResult r) {
        completions.push_back(r.ok() ? "ok" : r.error().description());
    });
    connectQueue->runUntilIdle();
    connectQueue->advance(WirelessConnector::connectTimeoutUs - 1);
    main->runUntilIdle();
    EXPECT_TRUE(completions.empty());
    connectQueue->advance(1);
    main->runUntilIdle();
    EXPECT_EQ(completions, (std::vector<std::string>{"timeout"}));
    // Nothing is left to fire a second time.
    connectQueue->advance(60'000'000);
    main->runUntilIdle();
    EXPECT_EQ(completions.size(), 1u);
    EXPECT_EQ(connectQueue->armedTimers(), 0u);
}

// The discovery backend is its owner's to stop and release: a connector does not keep it alive,
// and a connect made once it is gone fails at once; one whose lookup went with it, at its time-out.
TEST(WirelessLink, ConnectorHoldsDiscoveryWeakly) {
    auto connectQueue = std::make_shared<ManualExecutor>("kv.wireless.connect");
    auto main = std::make_shared<ManualExecutor>("main");
    auto discovery = std::make_shared<FakeServiceBrowser>();
    std::weak_ptr<FakeServiceBrowser> weak = discovery;
    PairingRecord rec{"udid-1", "iPad", "nobody", SecureTransport::newKey(), SystemTime{}};
    WirelessConnector connector(rec, kHostID, WirelessLink::any, std::nullopt, discovery, connectQueue, main);
    std::vector<std::string> completions;
    auto record = [&](ConnectResult r) { completions.push_back(r.ok() ? "ok" : r.error().description()); };
    connector.connect(47100, record);
    connectQueue->runUntilIdle();
    discovery.reset();
    EXPECT_TRUE(weak.expired());
    connector.connect(47101, record);
    connectQueue->runUntilIdle();
    main->runUntilIdle();
    EXPECT_EQ(completions, (std::vector<std::string>{"discovery stopped"}));
    connectQueue->advance(WirelessConnector::connectTimeoutUs);
    main->runUntilIdle();
    EXPECT_EQ(completions, (std::vector<std::string>{"discovery stopped", "timeout"}));
}

TEST(WirelessLink, ListenerBoundsEveryHandshakeInTime) {
    Rig rig;
    auto listener = rig.listen("_kelvo._tcp", {}, 200'000);
    // A peer that connects and never says a word.
    UniqueFd mute(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(listener->port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(mute.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto why = rig.rejected.take();
    ASSERT_TRUE(why);
    EXPECT_EQ(*why, "handshake timeout");
    char byte;
    EXPECT_EQ(recv(mute.get(), &byte, 1, 0), 0);  // and the connection is gone

    // A stopped listener accepts nothing more and calls nobody.
    listener->stop();
    UniqueFd late(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_NE(::connect(late.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
}

}  // namespace
}  // namespace kelvo
