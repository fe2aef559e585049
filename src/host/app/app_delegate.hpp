#pragma once

#include <QSize>
#include <QString>

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "core/session/host_options.hpp"
#include "host/wiring/app_environment.hpp"
#include "host/app/core_events.hpp"
#include "host/app/window_registry.hpp"

class QWidget;

namespace kelvo {

class AppProfileStore;
class ControlBridge;
class ControlBus;
class DeviceProfileStore;
class PairingStore;
class SessionManager;
class SettingsStore;
class StatsStore;
class StatusMenuController;
class UserDefaults;

// What the application stands on: the process's shared stores and its desktop in main(), a
// test's own in tests.
struct AppServices {
    SettingsStore& settings;
    DeviceProfileStore& profiles;
    PairingStore& pairing;
    StatsStore& stats;
    LogStore& log;
    // The standard user defaults, where the application profiles are kept.
    std::shared_ptr<UserDefaults> defaults;
    // Made during the launch, in its order.
    std::function<HostOptions()> makeOptions;
    std::function<AppEnvironment()> makeEnvironment;
    // What the login item starts.
    std::string executable;
    // True when the log must be echoed to standard error for anyone to see it (a terminal, or
    // no system log); nullptr: only the smoke test echoes.
    std::function<bool()> logNeedsEcho;
};

// Builds and wires every long-lived object of the application at launch (manager, status menu,
// connection control), keeps the windows, and stops the manager at the end. Main queue only;
// the core's news reach it through CoreEvents, so widgets are only touched there.
class AppDelegate {
public:
    static constexpr int kByeWaitMs = 2000;

    AppDelegate(bool smokeTest, std::shared_ptr<Executor> main, AppServices services);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch sequence. A smoke test ends in it: the four lines go to `out` and its exit
    // status is returned; so does a launch without a desktop (status 1). Otherwise the manager
    // is started and nullopt returned.
    std::optional<int> applicationDidFinishLaunching(std::ostream& out);
    // Stops the manager (a session ends with its bye and displays are released), waiting at most
    // kByeWaitMs for the session to finish. Idempotent.
    void applicationWillTerminate();
    // Refreshes the menu and writes "smoke: " lines; returns the exit status.
    int runSmokeTest(std::ostream& out);

    // Opens the keyed window, or brings it to the front.
    void show(const std::string& key, const QString& title, QSize size, const std::function<QWidget*()>& makeView);
    void showOnboarding();
    void showSettings();
    void showDiagnostics();
    // Writes or removes the autostart entry; a failure is only logged.
    void applyLoginItem(bool enabled);
    // Ends the application through its normal stop path (onQuit, by default the event loop's quit).
    void quit();
    std::function<void()> onQuit;

    bool smokeTest() const { return smokeTest_; }
    SessionManager* manager() const { return manager_.get(); }
    StatusMenuController* menu() const { return menu_.get(); }
    ControlBridge* control() const { return control_.get(); }
    CoreEvents& events() { return *events_; }
    WindowRegistry& windows() { return windows_; }
    const AppEnvironment& environment() const { return environment_; }

private:
    const bool smokeTest_;
    std::shared_ptr<Executor> main_;
    AppServices services_;
    AppEnvironment environment_;
    std::unique_ptr<AppProfileStore> appProfiles_;
    std::unique_ptr<CoreEvents> events_;
    std::shared_ptr<SessionManager> manager_;
    std::unique_ptr<StatusMenuController> menu_;
    std::unique_ptr<UserDefaults> controlSuite_;
    std::unique_ptr<ControlBridge> control_;
    std::unique_ptr<ControlBus> controlBus_;
    WindowRegistry windows_;
    Subscription statusSubscription_;
    Subscription sessionSubscription_;
    Subscription settingsObserver_;
    bool terminated_ = false;
};

}  // namespace kelvo
