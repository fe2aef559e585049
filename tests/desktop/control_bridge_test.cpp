#include "platform/desktop/control_bridge.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "core/settings/user_defaults.hpp"
#include "platform/desktop/control_bus.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Kind = ControlStatus::Kind;

struct FakeTarget : ControlTarget {
    ControlStatus status;
    int reconnects = 0, disconnects = 0;
    ControlStatus controlStatus() const override { return status; }
    void reconnect() override { ++reconnects; }
    void disconnect() override { ++disconnects; }
};

TEST(ControlBridge, DetailPerStatus) {
    struct Case {
        ControlStatus status;
        bool connected;
        std::string detail;
    } cases[] = {
        {{Kind::connecting, "iPad", ""}, false, "连接 iPad…"},
        {{Kind::probing, "iPad", ""}, true, "连接 iPad…"},
        {{Kind::connected, " iPad\n", "USB"}, true, "iPad · USB"},
        {{Kind::paused, "iPad", "USB"}, true, "iPad · 已暂停"},
        {{Kind::other, "iPad", ""}, false, "未连接"},
        // 14 characters whole, 15 shortened; a flag (two code points) is one character.
        {{Kind::paused, "abcdefghijklmn", ""}, true, "abcdefghijklmn · 已暂停"},
        {{Kind::paused, "abcdefghijklmno", ""}, true, "abcdefgh…lmno · 已暂停"},
        {{Kind::paused, "\U0001F1E8\U0001F1F3bcdefghijklmn", ""}, true, "\U0001F1E8\U0001F1F3bcdefghijklmn · 已暂停"},
    };
    for (const auto& c : cases) {
        auto [connected, detail] = ControlBridge::describe(c.status);
        EXPECT_EQ(connected, c.connected) << c.detail;
        EXPECT_EQ(detail, c.detail);
    }
}

TEST(ControlBridge, PublishesOnlyChangesAndAppliesRequests) {
    FakeTarget target;
    MemoryUserDefaults suite;
    int reloads = 0;
    ControlBridge bridge(target, &suite, [&] { ++reloads; });

    bridge.publish({Kind::connected, "iPad", "USB"});
    bridge.publish({Kind::connected, "iPad", "USB"});
    EXPECT_EQ(suite.writeCount(), 2u);  // "connected" and "detail", once
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(suite.data("connected"), "true");
    EXPECT_EQ(suite.data("detail"), "\"iPad · USB\"");

    test::LogCapture log;
    bridge.applyRequest();  // nothing requested
    suite.setData("requestedOn", "1");  // not a Bool
    bridge.applyRequest();
    EXPECT_TRUE(log.messages("control").empty());
    EXPECT_EQ(target.reconnects + target.disconnects, 0);

    // Connect while connected: the same pair is written and reloaded again.
    target.status = {Kind::connected, "iPad", "USB"};
    suite.setData("requestedOn", "true");
    size_t writes = suite.writeCount();
    bridge.applyRequest();
    EXPECT_EQ(target.reconnects, 1);
    EXPECT_EQ(suite.writeCount(), writes + 2);
    EXPECT_EQ(reloads, 2);
    EXPECT_TRUE(log.contains("控制中心开关 → 连接", "control"));
    EXPECT_EQ(suite.data("requestedOn"), "true");  // left for the control

    target.status = {};
    suite.setData("requestedOn", "false");
    bridge.applyRequest();
    EXPECT_EQ(target.disconnects, 1);
    EXPECT_EQ(suite.data("detail"), "\"未连接\"");

    // Without a suite it only reloads.
    ControlBridge unopened(target, nullptr, [&] { ++reloads; });
    unopened.publish({Kind::paused, "iPad", ""});
    unopened.applyRequest();
    EXPECT_EQ(reloads, 4);
    EXPECT_EQ(target.disconnects, 1);
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
        MainLoop loop;
        FakeTarget target;
        MemoryUserDefaults suite;
        ControlBridge bridge(target, &suite, nullptr);
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
        EXPECT_EQ(target.disconnects, 1);
        EXPECT_EQ(suite.data("detail"), "\"未连接\"");
        host.reset();
    }
    if (saved) setenv("DBUS_SESSION_BUS_ADDRESS", saved->c_str(), 1);
    else unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace kelvo
