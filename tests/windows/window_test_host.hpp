#pragma once

// A host for window tests: the shared stores in memory, the Qt main queue, a simulated display
// server with two displays, fake permissions and power sources, and a session manager over them.

#include <QWidget>
#include <memory>
#include <optional>

#include "core/display/display_broker.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/power_observer.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "testing/fake_host_environment.hpp"
#include "testing/simulated_display_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"
#include "platform/qt/qt_main_executor.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo::test {

// The tests' patience in the milliseconds Qt's waits take.
inline constexpr int kPatienceMs = int(std::chrono::milliseconds(kPatience).count());

struct WindowTestHost {
    // `shared`: statistics and log are the process's stores, which a live session writes to.
    explicit WindowTestHost(std::optional<Settings> initial = std::nullopt, HostOptions options = {},
                            bool shared = false)
        : settings(nullptr, initial),
          stats(shared ? StatsStore::shared() : ownStats),
          log(shared ? LogStore::shared() : ownLog) {
        ownLog.setSystemLogEnabled(false);
        display->addDisplay({{SimulatedDisplayServer::mode(1920, 1080)}, 0, 0, 0, true, std::nullopt});
        display->addDisplay({{SimulatedDisplayServer::mode(1280, 1024)}, 0, 1920, 0, false, std::string("DELL U2412M")});
        SessionEnvironment env;
        env.main = main;
        env.makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> {
            return AsioExecutor::makeQueue(label);
        };
        env.displayServices = display;
        env.displays = std::make_shared<DisplayBroker>(*display, *display, main);
        env.power = std::make_shared<PowerObserver>(
            main, PowerObserver::Sources{std::make_shared<FakeSessionPowerSource>(),
                                         std::make_shared<FakeDisplaySleepSource>(), std::make_shared<FakeBrightness>()});
        env.permissions = permissions;
        env.usbmuxSocketPath = "/nonexistent/kelvo-test-usbmuxd";
        environment = env;
        manager = SessionManager::create({settings, profiles, appProfiles, pairing, stats}, std::move(options), env);
    }

    std::shared_ptr<QtMainExecutor> main = std::make_shared<QtMainExecutor>("main");
    std::shared_ptr<SimulatedDisplayServer> display = std::make_shared<SimulatedDisplayServer>();
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    SettingsStore settings;
    DeviceProfileStore profiles{nullptr};
    AppProfileStore appProfiles{nullptr};
    PairingStore pairing{std::nullopt};
    StatsStore ownStats;
    LogStore ownLog;
    StatsStore& stats;
    LogStore& log;
    SessionEnvironment environment;
    std::shared_ptr<SessionManager> manager;
};

// The child widget named `name` (its field's name for a settings control); fails the test run
// when there is none, since every check after it would be about nothing.
template <class W>
W* child(QWidget* parent, const char* name) {
    W* w = parent->findChild<W*>(name);
    if (!w) qFatal("no widget %s", name);
    return w;
}

}  // namespace kelvo::test
