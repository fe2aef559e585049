// Which tablet the manager reaches: cabled tablets through a fake multiplexing daemon (lowest
// device id first, the user's disconnect respected), developer TCP, and the gates of the loop.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/fake_service_browser.hpp"
#include "testing/fake_usbmuxd.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/wireless_connector.hpp"
#include "session_manager_rig.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

std::shared_ptr<FakeIPad> makeTablet(const std::string& name) {
    FakeIPad::Options options;
    options.name = name;
    options.decode = false;
    auto made = FakeIPad::make(options);
    EXPECT_TRUE(made.ok());
    return made.ok() ? made.value() : nullptr;
}

// A TCP socket bound to a loopback port the kernel chose.
UniqueFd boundLoopback(uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// A loopback port nothing listens on (bound, then given back).
uint16_t closedPort() {
    uint16_t port = 0;
    boundLoopback(port);
    return port;
}

class UsbChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings settings;
        settings.wireless = false;
        rig.emplace(FakeSessionEnvironment::Queues::threads, settings);
        rig->make([&](SessionEnvironment& env) {
            env.usbmuxSocketPath = dir.file("usbmuxd");
            env.usbmuxdInstalled = [this] { return installed.load(); };
        });
        daemon.emplace(dir.file("usbmuxd"));
        daemon->start();
    }
    void TearDown() override {
        rig.reset();
        daemon->stop();
    }

    // Cabled tablet `id`, whose control and video ports lead to `tablet`.
    void attach(int64_t id, const std::shared_ptr<FakeIPad>& tablet) {
        daemon->mapPort(id, DeviceSession::kCtrlPort, tablet->ctrlPort());
        daemon->mapPort(id, DeviceSession::kVideoPort, tablet->videoPort());
        daemon->attach(UsbmuxDevice{id, "udid-" + std::to_string(id), 0x12ab, "USB"});
    }

    bool eventually(const std::function<bool()>& pred) {
        return test::waitUntil([&] { return rig->read(pred); });
    }

    test::TempDir dir;
    std::atomic<bool> installed{true};
    std::optional<test::ManagerRig> rig;
    std::optional<test::FakeUsbmuxd> daemon;
};

TEST_F(UsbChoiceTest, LowestDeviceIdIsReachedFirst) {
    auto seven = makeTablet("seven");
    auto three = makeTablet("three");
    attach(7, seven);
    attach(3, three);
    rig->start();
    ASSERT_TRUE(test::waitUntil([&] { return three->snapshot().sessions == 1; }));
    EXPECT_EQ(seven->snapshot().sessions, 0);
    ASSERT_TRUE(eventually([&] { return rig->manager->session() != nullptr; }));
    EXPECT_EQ(rig->read([&] { return rig->manager->session()->connector()->deviceKey(); }), "udid-3");

    // The user's disconnect turns to the next tablet; plugging the first in again clears it.
    rig->onMain([&] { rig->manager->disconnect(); });
    ASSERT_TRUE(test::waitUntil([&] { return seven->snapshot().sessions == 1; }));
    ASSERT_TRUE(eventually([&] {
        return rig->manager->session() && rig->manager->session()->connector()->deviceKey() == "udid-7";
    }));
    daemon->detach(7);
    ASSERT_TRUE(eventually([&] { return rig->manager->session() == nullptr; }));
    EXPECT_EQ(rig->read([&] { return rig->manager->status(); }), HostStatus(HostStatus::NoDevice{}));
    daemon->detach(3);
    attach(3, three);
    ASSERT_TRUE(test::waitUntil([&] { return three->snapshot().sessions == 2; }));
}

TEST_F(UsbChoiceTest, DaemonMissingShowsAsUnavailable) {
    installed = false;  // installed, it would be at rest: no fault
    daemon->stop();
    rig->start();
    ASSERT_TRUE(eventually([&] { return rig->manager->status() == HostStatus::UsbmuxUnavailable{.notInstalled = true}; }));
}

TEST_F(UsbChoiceTest, TabletWhoseAppDoesNotListenIsWaitedFor) {
    daemon->attach(UsbmuxDevice{5, "udid-5", 0x12ab, "USB"});  // no port mapped: the daemon refuses
    rig->start();
    ASSERT_TRUE(eventually([&] { return rig->manager->status() == HostStatus::WaitingForApp{"udid-5"}; }));
    daemon->detach(5);
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::NoDevice>(); }));
}

// Wi-Fi discovery whose daemon comes and goes: the status says it searches only while a browse
// runs, and the discovery backend lives only while the wireless setting is on.
TEST_F(UsbChoiceTest, WirelessSearchIsShownOnlyWhileDiscoveryRunsAndGoesWithTheSetting) {
    rig.reset();
    Settings settings;
    settings.wireless = true;
    rig.emplace(FakeSessionEnvironment::Queues::threads, settings);
    rig->fake.pairing.save(PairingRecord{"udid-9", "Tablet", "kelvo-9", std::vector<uint8_t>(32, 9), SystemTime{}});
    int made = 0;  // main queue
    std::weak_ptr<FakeServiceBrowser> backend;
    rig->make([&](SessionEnvironment& env) {
        env.usbmuxSocketPath = dir.file("usbmuxd");
        env.makeServiceBrowser = [&]() -> std::shared_ptr<ServiceBrowser> {
            ++made;
            auto fresh = std::make_shared<FakeServiceBrowser>();
            backend = fresh;
            return fresh;
        };
    });
    const std::string kCtrl(SecureTransport::ctrlServiceType);
    rig->start();
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::SearchingWireless>(); }));

    // The daemon goes away: nothing searches, and the status does not say it does.
    rig->read([&] { return backend.lock(); })->wait(kCtrl, "avahi-daemon stopped");
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::NoDevice>(); }));
    // Back: a browse answers again.
    rig->read([&] { return backend.lock(); })->add({"someone-else", kCtrl, "local", "en0"}, {});
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::SearchingWireless>(); }));

    // Settings observers run where the change is made: on the main queue, like the application's.
    rig->onMain([&] { rig->fake.settings.update([](Settings& s) { s.wireless = false; }); });
    ASSERT_TRUE(eventually([&] { return backend.expired() && rig->manager->status().is<HostStatus::NoDevice>(); }));
    rig->onMain([&] { rig->fake.settings.update([](Settings& s) { s.wireless = true; }); });
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::SearchingWireless>(); }));
    EXPECT_EQ(rig->read([&] { return made; }), 2);
}

// Turning Wi-Fi off while a connect is under way: the backend is stopped and goes at once, on the
// main queue, not later with the connect on its own queue (releasing a running Avahi client joins
// its poll thread).
TEST(WirelessDiscovery, TurnedOffDuringAConnectGoesOnMainAtOnce) {
    Settings settings;
    settings.wireless = true;
    test::ManagerRig rig(FakeSessionEnvironment::Queues::manual, settings);
    rig.fake.pairing.save(PairingRecord{"udid-9", "Tablet", "kelvo-9", std::vector<uint8_t>(32, 9), SystemTime{}});
    auto connectQueue = std::make_shared<ManualExecutor>("kv.wireless.connect");
    rig.fake.makeQueue = [&, all = rig.fake.makeQueue](const std::string& label) {
        return label == "kv.wireless.connect" ? connectQueue : all(label);
    };
    // A tablet that takes the connection and never answers the TLS handshake.
    uint16_t port = 0;
    UniqueFd mute = boundLoopback(port);
    ASSERT_EQ(::listen(mute.get(), 1), 0);
    ASSERT_EQ(::fcntl(mute.get(), F_SETFL, O_NONBLOCK), 0);  // accepted with a limit below

    // "stop" and "gone", each "on main" or "elsewhere".
    auto seen = std::make_shared<std::vector<std::string>>();
    struct Backend : FakeServiceBrowser {
        std::function<void(const char*)> note;
        void stop() override {
            note("stop");
            FakeServiceBrowser::stop();
        }
        ~Backend() override { note("gone"); }
    };
    std::weak_ptr<ServiceBrowser> backend;
    rig.make([&](SessionEnvironment& env) {
        env.makeServiceBrowser = [&]() -> std::shared_ptr<ServiceBrowser> {
            auto fresh = std::make_shared<Backend>();
            fresh->note = [seen, main = rig.fake.manual](const char* what) {
                seen->push_back(std::string(what) + (main->isCurrent() ? " on main" : " elsewhere"));
            };
            fresh->add({"kelvo-9", std::string(SecureTransport::ctrlServiceType), "local", "lo"},
                       {"127.0.0.1", port, 0});
            backend = fresh;
            return fresh;
        };
    });
    rig.start();
    // The connect waits in its handshake: the tablet took it and holds its first bytes. The
    // kernel brings the connection about in its own time, so the queues run until it has.
    UniqueFd tablet;
    char hello;
    const bool greeted = test::waitUntil(
        [&] {
            if (!tablet) tablet.reset(::accept4(mute.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            return tablet && ::recv(tablet.get(), &hello, 1, MSG_PEEK) == 1;
        },
        test::kPatience,
        [&] {
            connectQueue->runUntilIdle();
            rig.fake.run();
            pollfd waiting{tablet ? tablet.get() : mute.get(), POLLIN, 0};
            ::poll(&waiting, 1, 2);
        });
    ASSERT_TRUE(greeted) << (tablet ? "the connect sent nothing" : "the connect never reached the tablet");

    rig.onMain([&] { rig.fake.settings.update([](Settings& s) { s.wireless = false; }); });
    EXPECT_TRUE(backend.expired());
    EXPECT_EQ(*seen, (std::vector<std::string>{"stop on main", "gone on main"}));

    // The connect ends at its time-out; nothing of it is left.
    connectQueue->advance(WirelessConnector::connectTimeoutUs);
    rig.fake.run();
    EXPECT_EQ(connectQueue->armedTimers(), 0u);
}

// Developer mode and the loop's gates, in virtual time on one manual queue.
class DirectModeTest : public ::testing::Test {
protected:
    void make(uint16_t ctrlPort, uint16_t videoPort) {
        rig.emplace(FakeSessionEnvironment::Queues::manual, test::directSettings(ctrlPort, videoPort));
        rig->make();
        main = rig->fake.manual;
    }
    bool eventually(const std::function<bool()>& pred) {
        return test::waitUntil(pred, test::kPatience, [&] { main->runUntilIdle(); });
    }
    std::optional<test::ManagerRig> rig;
    std::shared_ptr<ManualExecutor> main;
};

TEST_F(DirectModeTest, RefusedConnectionWaitsForTheAppAndIsTriedEverySecond) {
    test::LogCapture log;
    make(closedPort(), closedPort());
    rig->start();
    ASSERT_TRUE(eventually([&] { return rig->manager->status() == HostStatus::WaitingForApp{"direct"}; }));
    EXPECT_EQ(rig->manager->session(), nullptr);
    EXPECT_TRUE(log.contains("direct mode → 127.0.0.1:", "manager"));
    EXPECT_EQ(rig->statuses.size(), 1u);  // steady states are not published again
    main->advance(3 * SessionManager::kTickUs);
    EXPECT_EQ(rig->statuses.size(), 1u);
}

TEST_F(DirectModeTest, NoConnectionWhileTheDisplaySleepsOrTheScreenIsLocked) {
    auto tablet = makeTablet("t");
    make(tablet->ctrlPort(), tablet->videoPort());
    rig->onMain([&] { rig->fake.displaySleep->set(true); });
    rig->start();
    main->advance(3 * SessionManager::kTickUs);
    rig->onMain([&] { rig->fake.sessionPower->setLocked(true); });
    rig->onMain([&] { rig->fake.displaySleep->set(false); });
    main->advance(3 * SessionManager::kTickUs);
    EXPECT_EQ(tablet->snapshot().sessions, 0);
    EXPECT_EQ(rig->manager->session(), nullptr);

    rig->onMain([&] { rig->fake.sessionPower->setLocked(false); });  // with no session: tried at once
    ASSERT_TRUE(eventually([&] { return tablet->snapshot().sessions == 1; }));
    // The session offers pairing over loopback: the tablet's secure listeners must stop here, not
    // in a late callback of its queue while the process exits.
    tablet->close();
}

TEST_F(DirectModeTest, NothingConnectsAfterStop) {
    auto tablet = makeTablet("t");
    make(tablet->ctrlPort(), tablet->videoPort());
    rig->onMain([&] { rig->fake.displaySleep->set(true); });
    rig->start();
    rig->onMain([&] { rig->manager->stop(); });
    rig->onMain([&] { rig->fake.displaySleep->set(false); });  // a wake would otherwise connect at once
    rig->onMain([&] {
        rig->manager->reconnect();
        rig->manager->tick();
    });
    main->advance(30 * SessionManager::kTickUs);
    EXPECT_EQ(rig->manager->session(), nullptr);
    EXPECT_EQ(tablet->snapshot().sessions, 0);
}

}  // namespace
}  // namespace kelvo
