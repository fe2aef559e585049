// Which tablet the manager reaches: cabled tablets through a fake multiplexing daemon (lowest
// device id first, the user's disconnect respected), developer TCP, and the gates of the loop.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/runtime/manual_executor.hpp"
#include "core/testing/fake_ipad.hpp"
#include "core/testing/fake_usbmuxd.hpp"
#include "platform/runtime/asio_executor.hpp"
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

// A loopback port nothing listens on (bound, then given back).
uint16_t closedPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

class UsbChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        SessionEnvironment env;
        env.main = loop.sharedExecutor();
        env.makeQueue = [](const std::string& label) { return AsioExecutor::makeQueue(label); };
        env.usbmuxSocketPath = dir.file("usbmuxd");
        Settings settings;
        settings.wireless = false;
        rig.emplace(std::move(env), settings);
        rig->drive = [this] { loop.runFor(2'000); };
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

    test::TempDir dir;
    MainLoop loop;
    std::optional<test::ManagerRig> rig;
    std::optional<test::FakeUsbmuxd> daemon;
};

TEST_F(UsbChoiceTest, LowestDeviceIdIsReachedFirst) {
    auto seven = makeTablet("seven");
    auto three = makeTablet("three");
    attach(7, seven);
    attach(3, three);
    rig->make();
    rig->onMain([&] { rig->manager->start(); });
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return three->snapshot().sessions == 1; }));
    EXPECT_EQ(seven->snapshot().sessions, 0);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return rig->manager->session() != nullptr; }));
    EXPECT_EQ(rig->manager->session()->connector()->deviceKey(), "udid-3");
    EXPECT_EQ(rig->manager->session()->connector()->transportLabel(), "USB");
}

TEST_F(UsbChoiceTest, DaemonMissingShowsAsUnavailable) {
    daemon->stop();
    rig->make();
    rig->onMain([&] { rig->manager->start(); });
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return rig->manager->status().is<HostStatus::UsbmuxUnavailable>(); }));
}

TEST_F(UsbChoiceTest, TabletWhoseAppDoesNotListenIsWaitedFor) {
    daemon->attach(UsbmuxDevice{5, "udid-5", 0x12ab, "USB"});  // no port mapped: the daemon refuses
    rig->make();
    rig->onMain([&] { rig->manager->start(); });
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return rig->manager->status() == HostStatus::WaitingForApp{"udid-5"}; }));
    daemon->detach(5);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return rig->manager->status().is<HostStatus::NoDevice>(); }));
}

// Developer mode and the loop's gates, in virtual time on one manual queue.
class DirectModeTest : public ::testing::Test {
protected:
    void make(uint16_t ctrlPort, uint16_t videoPort) {
        SessionEnvironment env;
        env.main = main;
        env.makeQueue = [this](const std::string&) { return main; };
        rig.emplace(std::move(env), test::directSettings(ctrlPort, videoPort));
        rig->drive = [this] { main->runUntilIdle(); };
        rig->make();
    }
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    std::optional<test::ManagerRig> rig;
};

TEST_F(DirectModeTest, RefusedConnectionWaitsForTheAppAndIsTriedEverySecond) {
    test::LogCapture log;
    make(closedPort(), closedPort());
    rig->onMain([&] { rig->manager->start(); });
    ASSERT_TRUE(test::waitUntil([&] { return rig->manager->status() == HostStatus::WaitingForApp{"direct"}; },
                                std::chrono::seconds(10), [&] { main->runUntilIdle(); }));
    EXPECT_EQ(rig->manager->session(), nullptr);
    EXPECT_TRUE(log.contains("direct mode → 127.0.0.1:", "manager"));
    EXPECT_EQ(rig->statuses.size(), 1u);  // steady states are not published again
    main->advance(3 * SessionManager::kTickUs);
    EXPECT_EQ(rig->statuses.size(), 1u);
}

TEST_F(DirectModeTest, NoConnectionWhileTheDisplaySleepsOrTheScreenIsLocked) {
    auto tablet = makeTablet("t");
    make(tablet->ctrlPort(), tablet->videoPort());
    rig->display->asleepNow = true;
    rig->onMain([&] { rig->manager->start(); });
    main->advance(3 * SessionManager::kTickUs);
    rig->onMain([&] { rig->lock->setLocked(true); });
    rig->onMain([&] { rig->display->set(false); });
    main->advance(3 * SessionManager::kTickUs);
    EXPECT_EQ(tablet->snapshot().sessions, 0);
    EXPECT_EQ(rig->manager->session(), nullptr);

    rig->onMain([&] { rig->lock->setLocked(false); });  // unlocking with no session tries at once
    ASSERT_TRUE(test::waitUntil([&] { return rig->manager->session() != nullptr; }, std::chrono::seconds(10),
                                [&] { main->runUntilIdle(); }));
    // The session offers pairing over loopback: the tablet's secure listeners must stop here, not
    // in a late callback of its queue while the process exits.
    tablet->close();
}

TEST_F(DirectModeTest, NothingConnectsAfterStop) {
    auto tablet = makeTablet("t");
    make(tablet->ctrlPort(), tablet->videoPort());
    rig->display->asleepNow = true;
    rig->onMain([&] { rig->manager->start(); });
    rig->onMain([&] { rig->manager->stop(); });
    rig->onMain([&] { rig->display->set(false); });  // a wake would otherwise connect at once
    rig->onMain([&] {
        rig->manager->reconnect();
        rig->manager->tick();
    });
    main->advance(30 * SessionManager::kTickUs);
    EXPECT_EQ(rig->manager->session(), nullptr);
    EXPECT_EQ(tablet->snapshot().sessions, 0);
    EXPECT_EQ(main->armedTimers(), 0u);
}

}  // namespace
}  // namespace kelvo
