// The application's launch, windows, login item and the core's news on the main queue.
#include "host/app/app_delegate.hpp"

#include <gtest/gtest.h>

#include <QPushButton>

#include <signal.h>

#include <sstream>
#include <thread>

#include "core/runtime/manual_executor.hpp"
#include "core/session/session_manager.hpp"
#include "host/app/quit_signals.hpp"
#include "host/app/status_menu_controller.hpp"
#include "host_test_support.hpp"
#include "platform/desktop/control_bridge.hpp"

namespace kelvo {
namespace {

using test::processPending;
using test::processUntil;
using test::TestApp;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(AppDelegate, SmokeTestPrintsFourLinesAndConnectsNothing) {
    auto fake = test::makeFakeIPad("Fake iPad");
    FakeIPadCloser closer(fake);
    ASSERT_NE(fake, nullptr);
    TestApp host({.settings = TestApp::developerSettings(fake->ctrlPort(), fake->videoPort()),
                  .smokeTest = true,
                  .launch = false});
    host.permissions().accessibilityAllowed = false;
    std::ostringstream out;
    EXPECT_EQ(host.app().applicationDidFinishLaunching(out), 0);
    EXPECT_EQ(lines(out.str()), (std::vector<std::string>{"smoke: menu items = 18",
                                                          "smoke: virtual display API available = true",
                                                          "smoke: screen capture permission = true, accessibility = false",
                                                          "smoke: OK"}));
    EXPECT_EQ(host.app().control(), nullptr);
    processUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(fake->snapshot().sessions, 0);
    EXPECT_EQ(host.app().windows().window("onboarding"), nullptr);
}

TEST(AppDelegate, LaunchPublishesTheStatusAndAsksOnlyForMissingPermissions) {
    struct Case {
        bool screen, accessibility, onboarding;
    } cases[] = {{true, true, false}, {false, true, true}, {true, false, true}};
    for (const auto& c : cases) {
        TestApp host({.launch = false});
        host.permissions().screenCaptureAllowed = c.screen;
        host.permissions().accessibilityAllowed = c.accessibility;
        test::LogCapture log;
        std::ostringstream out;
        EXPECT_EQ(host.app().applicationDidFinishLaunching(out), std::nullopt);
        EXPECT_TRUE(out.str().empty());
        EXPECT_TRUE(log.contains("Kelvo Host started", "app"));
        EXPECT_EQ(host.app().windows().window("onboarding") != nullptr, c.onboarding);
        ASSERT_NE(host.app().control(), nullptr);
        // The control's suite holds the first status.
        EXPECT_EQ(test::readFile(host.folder().file("config/") + ControlBridge::kSuiteName + "/detail.json"),
                  "\"未连接\"");
    }
}

// From a terminal, or with no system log to read, the log is echoed to standard error at info;
// otherwise it goes to the system log alone.
TEST(AppDelegate, LaunchEchoesTheLogOnlyWhereNoOneWouldSeeItOtherwise) {
    for (bool needsEcho : {true, false}) {
        SCOPED_TRACE(needsEcho ? "terminal or no system log" : "system log only");
        TestApp host({.logNeedsEcho = needsEcho});
        EXPECT_EQ(LogStore::shared().echoLevel(), needsEcho ? std::optional(LogLevel::info) : std::nullopt);
    }
    LogStore::shared().setEchoLevel(std::nullopt);
}

// An environment without a permissions service grants nothing: the first-run window and the
// menu's warning show both missing, and their buttons ask nobody.
TEST(AppDelegate, WithoutAPermissionsServiceBothAreMissingAndNothingIsAsked) {
    TestApp host({.withoutPermissions = true});
    auto& app = host.app();
    QWidget* onboarding = app.windows().window("onboarding");
    ASSERT_NE(onboarding, nullptr) << "shown at launch";
    for (const char* name : {"step1Button", "step2Button"}) {
        auto* button = onboarding->findChild<QPushButton*>(name);
        ASSERT_NE(button, nullptr) << name;
        button->click();
        EXPECT_FALSE(button->isHidden()) << name << ": still to be granted";
    }
    host.menu().refresh();
    EXPECT_TRUE(host.menu().items().permissionWarning->isVisible());
    EXPECT_EQ(host.menu().items().permissionWarning->text().toStdString(), "⚠️ 缺少权限：录屏 / 辅助功能（点击查看…）");
    onboarding->close();
    processPending();
    host.menu().items().permissionWarning->trigger();
    EXPECT_NE(app.windows().window("onboarding"), nullptr);
    EXPECT_EQ(host.permissions().requests, 0);
}

TEST(AppDelegate, WindowsAreMadeOnceAndAnewAfterClosing) {
    TestApp host({});
    auto& app = host.app();
    app.showSettings();
    QWidget* settings = app.windows().window("settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->windowTitle().toStdString(), "Kelvo 设置");
    EXPECT_EQ(settings->size(), QSize(560, 520));
    app.showSettings();
    EXPECT_EQ(app.windows().window("settings"), settings);

    app.showDiagnostics();
    QPointer<QWidget> diagnostics = app.windows().window("diagnostics");
    ASSERT_FALSE(diagnostics.isNull());
    EXPECT_EQ(diagnostics->size(), QSize(720, 560));
    diagnostics->close();
    EXPECT_EQ(app.windows().window("diagnostics"), nullptr);
    app.showDiagnostics();  // before the closed one is deleted
    QWidget* again = app.windows().window("diagnostics");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, diagnostics.data());
    processPending();
    EXPECT_TRUE(diagnostics.isNull());
    EXPECT_EQ(app.windows().window("diagnostics"), again);

    // The menu's items open them too.
    host.menu().items().permissionWarning->trigger();
    EXPECT_NE(app.windows().window("onboarding"), nullptr);
}

TEST(AppDelegate, LoginItemFollowsTheSetting) {
    TestApp host({});
    const std::string entry = host.folder().file("xdg-config/autostart/kelvo-host.desktop");
    host.settings().update([](Settings& s) { s.launchAtLogin = true; });
    ASSERT_TRUE(processUntil([&] { return !test::readFile(entry).empty(); }));
    EXPECT_NE(test::readFile(entry).find("Exec=\"/opt/kelvo/kelvo-host\""), std::string::npos);
    host.settings().update([](Settings& s) { s.launchAtLogin = false; });
    ASSERT_TRUE(processUntil([&] { return access(entry.c_str(), F_OK) != 0; }));
    // Other changes leave it alone.
    host.settings().update([](Settings& s) { s.mirrorMain = true; });
    processPending();
    EXPECT_NE(access(entry.c_str(), F_OK), 0);
}

TEST(QuitSignals, TermAndIntArriveOnTheLoopAndThenDoWhatTheyDidOrNothing) {
    test::qtApplication();
    std::vector<int> received;
    {
        QuitSignals signals([&](int signal) { received.push_back(signal); });
        raise(SIGTERM);
        raise(SIGINT);
        EXPECT_TRUE(received.empty());  // not inside the handler
        ASSERT_TRUE(processUntil([&] { return received.size() == 2; }));
        EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    }
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);

    // The application's own stays deaf to both once gone: its teardown runs on to the exit.
    { QuitSignals signals([&](int signal) { received.push_back(signal); }, QuitSignals::Afterwards::ignore); }
    raise(SIGTERM);
    raise(SIGINT);
    processPending();
    EXPECT_EQ(received.size(), 2u);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

TEST(CoreEvents, DeliversOnTheMainQueueInOrderAndNotAfterUnsubscribing) {
    auto main = std::make_shared<ManualExecutor>();
    SettingsStore settings(nullptr);
    StatsStore stats;
    LogStore log;
    std::vector<std::string> seen;
    {
        CoreEvents events(main, settings, stats, log);
        auto onSettings = events.onSettings([&](const Settings&, const Settings& now) {
            seen.push_back("settings " + std::to_string(now.fpsCap));
        });
        auto onLog = events.onLog([&](const LogEntry& entry) { seen.push_back("log " + entry.message); });
        Subscription onStats;
        onStats = events.onStats([&](const LiveStats& s) {
            seen.push_back("stats " + std::to_string(s.fpsCap));
            onStats = {};  // a handler may leave while called
        });
        std::thread other([&] {
            settings.update([](Settings& s) { s.fpsCap = 30; });
            log.append(LogLevel::info, "t", "one", LogOrigin::mac, SystemTime{});
            LiveStats s;
            s.fpsCap = 45;
            stats.push(s);
            stats.push(s);
        });
        other.join();
        EXPECT_TRUE(seen.empty());  // nothing on the posting thread
        main->runUntilIdle();
        EXPECT_EQ(seen, (std::vector<std::string>{"settings 30", "log one", "stats 45"}));

        settings.update([](Settings& s) { s.fpsCap = 20; });
        onSettings = {};
        events.statusChanged(HostStatus::NoDevice{});
        main->runUntilIdle();
        EXPECT_EQ(seen.size(), 3u);

        log.append(LogLevel::info, "t", "late", LogOrigin::mac, SystemTime{});
    }
    main->runUntilIdle();  // posted before the events went: not delivered
    EXPECT_EQ(seen.size(), 3u);
}

}  // namespace
}  // namespace kelvo
