#include "platform/desktop/control_bridge.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "core/display/display_broker.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "core/settings/user_defaults.hpp"
#include "testing/fake_host_environment.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/simulated_display_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"
#include "platform/desktop/control_bus.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// A session manager in developer mode over stores of its own, pointed at the simulated tablet.
struct DirectHost {
    MainLoop loop;
    SettingsStore settings;
    DeviceProfileStore profiles{nullptr};
    AppProfileStore appProfiles{nullptr};
    PairingStore pairing{std::nullopt};
    StatsStore stats;
    std::shared_ptr<SimulatedDisplayServer> displays = std::make_shared<SimulatedDisplayServer>();
    std::shared_ptr<SessionManager> manager;
    std::vector<std::weak_ptr<Executor>> queues;  // made for the sessions, on the loop's thread

    DirectHost(uint16_t ctrlPort, uint16_t videoPort) : settings(nullptr, developer(ctrlPort, videoPort)) {
        displays->addDisplay({{SimulatedDisplayServer::mode(1920, 1080)}, 0, 0, 0, true, std::nullopt});
        HostOptions options;
        options.frameSource = HostOptions::FrameSourceKind::testPattern;
        options.inject = false;
        options.cursor = false;
        SessionEnvironment env;
        env.main = loop.sharedExecutor();
        env.makeQueue = [this](const std::string& label) -> std::shared_ptr<Executor> {
            auto queue = AsioExecutor::makeQueue(label);
            queues.push_back(queue);
            return queue;
        };
        env.displayServices = displays;
        env.displays = std::make_shared<DisplayBroker>(*displays, *displays, env.main);
        env.permissions = std::make_shared<FakePermissions>();
        manager = SessionManager::create({settings, profiles, appProfiles, pairing, stats}, options, env);
    }
    ~DirectHost() {
        manager->stop();
        // Tasks on the session's queues may hold the last reference to an ended session, whose
        // timers belong to this loop: they run while the loop still exists.
        for (int round = 0; round < 2; ++round) {
            loop.poll();
            for (auto& made : queues) {
                if (auto queue = made.lock()) queue->drain();
            }
        }
        loop.poll();
    }
    static Settings developer(uint16_t ctrlPort, uint16_t videoPort) {
        Settings s;
        s.directMode = true;
        s.directCtrlPort = ctrlPort;
        s.directVideoPort = videoPort;
        s.graceSeconds = 0;
        return s;
    }
};

TEST(ControlBridge, DetailPerStatus) {
    struct Case {
        HostStatus status;
        bool connected;
        std::string detail;
    } cases[] = {
        {HostStatus::Connecting{"iPad"}, false, "连接 iPad…"},
        {HostStatus::Probing{"iPad"}, true, "连接 iPad…"},
        {HostStatus::Connected{" iPad\n", "USB", "2048×1536", 60}, true, "iPad · USB"},
        {HostStatus::Paused{"iPad", "iPad 不在前台"}, true, "iPad · 已暂停"},
        {HostStatus::WaitingForApp{"iPad"}, false, "未连接"},
        {HostStatus::NoDevice{}, false, "未连接"},
        {HostStatus::UsbmuxUnavailable{}, false, "未连接"},
        {HostStatus::SearchingWireless{}, false, "未连接"},
        {HostStatus::NeedsScreenPermission{}, false, "未连接"},
        // 14 characters whole, 15 shortened; a flag (two code points) is one character.
        {HostStatus::Paused{"abcdefghijklmn", ""}, true, "abcdefghijklmn · 已暂停"},
        {HostStatus::Paused{"abcdefghijklmno", ""}, true, "abcdefgh…lmno · 已暂停"},
        {HostStatus::Paused{"\U0001F1E8\U0001F1F3bcdefghijklmn", ""}, true, "\U0001F1E8\U0001F1F3bcdefghijklmn · 已暂停"},
    };
    for (const auto& c : cases) {
        auto [connected, detail] = ControlBridge::describe(c.status);
        EXPECT_EQ(connected, c.connected) << c.detail;
        EXPECT_EQ(detail, c.detail);
    }
}

TEST(ControlBridge, PublishesOnlyChangesAndIgnoresWhatIsNoRequest) {
    DirectHost host(1, 1);
    MemoryUserDefaults suite;
    int reloads = 0;
    ControlBridge bridge(*host.manager, &suite, [&] { ++reloads; });

    // The same pair twice, or a status that only differs in what the control does not show.
    bridge.publish(HostStatus::Connected{"iPad", "USB", "2048×1536", 60});
    bridge.publish(HostStatus::Connected{"iPad", "USB", "2048×1536", 60});
    bridge.publish(HostStatus::Connected{"iPad", "USB", "2048×1536", 30});
    EXPECT_EQ(suite.writeCount(), 2u);  // "connected" and "detail", once
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(suite.data("connected"), "true");
    EXPECT_EQ(suite.data("detail"), "\"iPad · USB\"");

    test::LogCapture log;
    bridge.applyRequest();  // nothing requested
    suite.setData("requestedOn", "1");  // not a Bool
    bridge.applyRequest();
    EXPECT_TRUE(log.messages("control").empty());
    EXPECT_EQ(suite.writeCount(), 3u);
    EXPECT_EQ(reloads, 1);

    // Without a suite it only reloads; requests are ignored.
    ControlBridge unopened(*host.manager, nullptr, [&] { ++reloads; });
    unopened.publish(HostStatus::Paused{"iPad", ""});
    unopened.applyRequest();
    EXPECT_EQ(reloads, 2);
    EXPECT_TRUE(log.messages("control").empty());
}

TEST(ControlBridge, RequestsConnectAndDisconnectThroughTheManager) {
    auto fake = FakeIPad::make({});
    ASSERT_TRUE(fake.ok());
    FakeIPadCloser closer(fake.value());
    DirectHost host(fake.value()->ctrlPort(), fake.value()->videoPort());
    MemoryUserDefaults suite;
    int reloads = 0;
    ControlBridge bridge(*host.manager, &suite, [&] { ++reloads; });
    host.manager->onStatusChange = [&](const HostStatus& status) { bridge.publish(status); };
    test::LogCapture log;

    // Connect: the manager connects; the suite is rewritten and reloaded even when unchanged.
    bridge.publish(host.manager->status());
    suite.setData("requestedOn", "true");
    const size_t writes = suite.writeCount();
    bridge.applyRequest();
    EXPECT_TRUE(log.contains("控制开关 → 连接", "control"));
    EXPECT_EQ(suite.writeCount(), writes + 2);
    EXPECT_EQ(reloads, 2);
    EXPECT_EQ(suite.data("requestedOn"), "true");  // left for the control
    ASSERT_TRUE(test::pumpUntil(host.loop, [&] { return suite.data("connected") == "true"; }))
        << host.manager->status().description();

    // Disconnect: the session ends as the user's, with its bye.
    suite.setData("requestedOn", "false");
    bridge.applyRequest();
    EXPECT_TRUE(log.contains("控制开关 → 断开", "control"));
    ASSERT_TRUE(test::pumpUntil(host.loop, [&] {
        return fake.value()->snapshot().lastBye == "user" && suite.data("connected") == "false";
    }));
    EXPECT_EQ(host.manager->session(), nullptr);
    EXPECT_EQ(suite.data("detail"), "\"未连接\"");
    host.manager->onStatusChange = nullptr;
}

// A session bus of the test's own, stopped at the end.
class PrivateBus {
public:
    PrivateBus() {
        std::string config = dir_.file("bus.conf");
        test::writeFile(config, "<busconfig><type>session</type><listen>unix:dir=" + dir_.path() +
                                    "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                    "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                    "<allow own=\"*\"/></policy></busconfig>");
        std::string configArg = "--config-file=" + config;  // no allocation between fork and exec
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            execlp("dbus-daemon", "dbus-daemon", "--nofork", "--print-address=1", configArg.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[1024] = {};
        if (f && fgets(line, sizeof line, f)) address_ = std::string(line, strcspn(line, "\n"));
        if (f) fclose(f);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& address() const { return address_; }

private:
    test::TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
};

TEST(ControlBus, CommandRequestReachesTheHost) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon could not be started";
    const char* old = getenv("DBUS_SESSION_BUS_ADDRESS");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    {
        DirectHost direct(1, 1);
        MainLoop& loop = direct.loop;
        MemoryUserDefaults suite;
        ControlBridge bridge(*direct.manager, &suite, nullptr);
        int requests = 0;
        auto host = ControlBus::open(loop.executor(), [&] {
            ++requests;
            bridge.applyRequest();
        });
        ASSERT_NE(host, nullptr);
        test::LogCapture log;
        host->announceChanged();
        EXPECT_TRUE(log.messages("control").empty());

        EXPECT_EQ(sendControlRequest(suite, false), "");
        ASSERT_TRUE(test::pumpUntil(loop, [&] { return requests == 1; }));
        EXPECT_TRUE(log.contains("控制开关 → 断开", "control"));
        EXPECT_EQ(suite.data("detail"), "\"未连接\"");
        host.reset();
    }
    if (saved) setenv("DBUS_SESSION_BUS_ADDRESS", saved->c_str(), 1);
    else unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace kelvo
