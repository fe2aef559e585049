// A session against the simulated tablet on loopback, over developer TCP, on real queues.
#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include "testing/fake_ipad.hpp"
#include "core/transport/direct_connector.hpp"
#include "core/transport/tcp.hpp"
#include "core/transport/tcp_listener.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "session_test_support.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace test;

class DeviceSessionLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeIPad::Options options;
        options.name = "Loopback iPad";
        options.serviceName = "loopback-ipad";
        auto made = FakeIPad::make(options);
        ASSERT_TRUE(made.ok()) << made.error().description();
        fake = made.value();
        connector = std::make_shared<DirectConnector>("127.0.0.1", fake->ctrlPort(), fake->videoPort(),
                                                      AsioExecutor::makeQueue("kv.direct.connect"), env.main);
    }
    void TearDown() override {
        env.onMain([this] {
            if (session) session->end("test over", false, "error");
            session.reset();
        });
        if (fake) fake->close();
    }

    // Connects the control port and starts a session on it, as the manager does.
    void connect() {
        env.onMain([this] {
            connector->connect(DeviceSession::kCtrlPort, [this](ConnectResult result) {
                ASSERT_TRUE(result.ok()) << result.error().description();
                session = DeviceSession::create(connector, std::move(result).value(), testOptions(), env.stores(),
                                                env.environment());
                session->onEnded = [this](DeviceSession&, const std::string& reason) { ended.push_back(reason); };
                session->start();
            });
        });
    }
    template <class T>
    T onMain(const std::function<T()>& read) {
        T value{};
        env.onMain([&] { value = read(); });
        return value;
    }
    std::vector<std::string> endings() {
        return onMain<std::vector<std::string>>([this] { return ended; });
    }

    FakeSessionEnvironment env{FakeSessionEnvironment::Queues::threads};
    std::shared_ptr<FakeIPad> fake;
    std::shared_ptr<DirectConnector> connector;
    std::shared_ptr<DeviceSession> session;  // main queue
    std::vector<std::string> ended;          // main queue
};

TEST_F(DeviceSessionLoopbackTest, GreetingPairingAndTheTabletsBye) {
    connect();
    ASSERT_TRUE(waitUntil([&] {
        const auto c = fake->snapshot();
        return c.lastHostState && !c.pairAcks.empty();
    }));
    auto counters = fake->snapshot();
    const std::vector<MsgType> greeting{MsgType::helloAck, MsgType::config, MsgType::uiLayout, MsgType::uiState,
                                        MsgType::hostState};
    ASSERT_GE(counters.ctrlReceived.size(), greeting.size());
    EXPECT_EQ(std::vector<MsgType>(counters.ctrlReceived.begin(), counters.ctrlReceived.begin() + 5), greeting);
    ASSERT_TRUE(counters.lastHelloAck);
    const std::string token = counters.lastHelloAck->session;
    EXPECT_EQ(token.size(), 16u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_NE(HelloAckMsg::token(token).value_or(0), 0u);
    EXPECT_EQ(counters.helloAcks, 1);
    ASSERT_TRUE(counters.lastConfig && counters.lastLayout && counters.lastUIState);
    EXPECT_EQ(counters.lastConfig->orientation, "landscape");
    EXPECT_EQ(counters.lastUIState->mode, "touch");

    // Exactly one offer over the loopback link, stored under the tablet's service name.
    ASSERT_TRUE(waitUntil([&] { return onMain<bool>([&] { return env.pairing.record(connector->deviceKey()).has_value(); }); }));
    counters = fake->snapshot();
    EXPECT_EQ(std::count(counters.ctrlReceived.begin(), counters.ctrlReceived.end(), MsgType::pair), 1);
    ASSERT_EQ(counters.pairAcks.size(), 1u);
    const auto record = onMain<std::optional<PairingRecord>>([&] { return env.pairing.record(connector->deviceKey()); });
    ASSERT_TRUE(record);
    EXPECT_EQ(record->service, "loopback-ipad");
    EXPECT_EQ(record->name, "Loopback iPad");
    EXPECT_EQ(record->key.size(), 32u);
    EXPECT_EQ(counters.pairedFingerprint, record->fingerprint());
    EXPECT_FALSE(onMain<bool>([&] { return session->state().isClosed(); }));

    // The tablet closes both streams after its bye; the video stream's end may reach the main
    // queue first.
    fake->sendBye("backgrounded");
    ASSERT_TRUE(waitUntil([&] { return !endings().empty(); }));
    ASSERT_EQ(endings().size(), 1u);
    EXPECT_TRUE(endings()[0] == "iPad said bye: backgrounded" || endings()[0].starts_with("video closed"))
        << endings()[0];
}

TEST_F(DeviceSessionLoopbackTest, UserDisconnectSaysWhy) {
    connect();
    ASSERT_TRUE(waitUntil([&] { return fake->snapshot().lastHostState.has_value(); }));
    env.onMain([&] { session->disconnect("user"); });
    ASSERT_TRUE(waitUntil([&] { return fake->snapshot().lastBye.has_value(); }));
    const auto counters = fake->snapshot();
    EXPECT_EQ(counters.lastBye, "user");
    EXPECT_EQ(counters.lastByeDetail, "disconnected by user");
    EXPECT_EQ(endings(), std::vector<std::string>{"disconnected by user"});
}

// A local address that is not loopback, when the machine has one.
std::optional<std::string> outsideAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> found;
    for (auto* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) found = text;
    }
    ::freeifaddrs(list);
    return found;
}

// Trust for pairing follows the address the control stream really reached, and plain TCP off
// this machine's loopback is called what it is.
TEST(DeviceSessionPeer, PairingTrustAndPlainTcpWarningFollowTheConnectedAddress) {
    const auto address = outsideAddress();
    if (!address) GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
    FakeSessionEnvironment env;
    auto queue = std::make_shared<ManualExecutor>("accept");
    std::vector<UniqueFd> accepted;
    auto listener = TCPListener::listen(0, *address, queue, [&](UniqueFd fd) { accepted.push_back(std::move(fd)); });
    ASSERT_TRUE(listener.ok()) << listener.error().description();
    std::optional<ConnectResult> connected;
    TCP::connect(*address, listener.value()->port(), 2'000'000, queue, [&](ConnectResult r) { connected.emplace(std::move(r)); });
    for (int i = 0; i < 200 && (!connected || accepted.empty()); ++i) {
        queue->runUntilIdle();
        queue->advance(10'000);
    }
    ASSERT_TRUE(connected && connected->ok() && !accepted.empty());

    // A connector that claims trust (a name that resolved elsewhere, say): the address decides.
    struct Claiming final : DeviceConnector {
        std::string host;
        std::string deviceKey() const override { return "direct:" + host + ":1"; }
        std::string transportLabel() const override { return "TCP " + host; }
        bool isTrustedForPairing() const override { return true; }
        void connect(uint16_t, ConnectCompletion) override {}
    };
    auto claiming = std::make_shared<Claiming>();
    claiming->host = *address;
    LogCapture log;
    auto session = DeviceSession::create(claiming, std::move(*connected).value(), testOptions(), env.stores(),
                                         env.environment());
    ScriptedPeer tablet;
    tablet.open(std::move(accepted.front()), env.main);
    env.onMain([&] { session->start(); });
    tablet.sendJSON(MsgType::hello, standardHello());
    env.run();
    EXPECT_EQ(tablet.count(MsgType::helloAck), 1u);
    EXPECT_EQ(tablet.count(MsgType::pair), 0u);
    env.onMain([&] { session->end("test over", false, "error"); });

    // The warning is for the developer connector going off the machine.
    auto direct = std::make_shared<DirectConnector>(*address, 1, 2, env.main, env.main);
    connected.reset();
    TCP::connect(*address, listener.value()->port(), 2'000'000, queue, [&](ConnectResult r) { connected.emplace(std::move(r)); });
    for (int i = 0; i < 200 && !connected; ++i) {
        queue->runUntilIdle();
        queue->advance(10'000);
    }
    ASSERT_TRUE(connected && connected->ok());
    auto plain = DeviceSession::create(direct, std::move(*connected).value(), testOptions(), env.stores(),
                                       env.environment());
    env.onMain([&] { plain->start(); });
    EXPECT_EQ(log.count("is not encrypted", "session"), 1u);
    env.onMain([&] { plain->end("test over", false, "error"); });
    queue->post([&] { listener.value()->stop(); });  // stops on its queue
    queue->runUntilIdle();
}

}  // namespace
}  // namespace kelvo
