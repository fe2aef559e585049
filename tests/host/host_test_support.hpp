#pragma once

#include <QApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/settings/settings_store.hpp"
#include "core/settings/user_defaults.hpp"
#include "testing/fake_host_environment.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/simulated_display_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"
#include "host/app/app_delegate.hpp"
#include "platform/qt/qt_main_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo::test {

// The one QApplication of a test process, on the platform the process was given
// (QT_QPA_PLATFORM, offscreen by default); deleted before the process tears down its statics.
QApplication& qtApplication();

// Runs `step` after the last test, once the application is gone.
void atTeardown(std::function<void()> step);

// Runs Qt's events (deferred deletions included) until `pred` holds or `timeout` passes.
bool processUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kPatience);
// Runs what is pending now, deferred deletions included.
void processPending();

// A whole application over stores of its own (memory only), a simulated display server with two
// displays and permissions the test sets: the delegate launched as main() launches it, the
// manager in developer mode pointed at `ctrlPort`/`videoPort`. Configuration files (control
// suite, autostart entry) go to a temporary folder; no session bus is reached.
class TestApp {
public:
    struct Options {
        Settings settings = developerSettings(0, 0);
        bool smokeTest = false;
        bool launch = true;
        bool logNeedsEcho = false;  // what the launch learns of the terminal and the system log
        bool withoutPermissions = false;  // the environment has no permissions service
        // Changes the session environment before the manager takes it (discovery, for one).
        std::function<void(SessionEnvironment&)> adjust = nullptr;
    };
    static Settings developerSettings(uint16_t ctrlPort, uint16_t videoPort);

    explicit TestApp(Options options);
    ~TestApp();

    AppDelegate& app() { return *app_; }
    SessionManager& manager() { return *app_->manager(); }
    StatusMenuController& menu() { return *app_->menu(); }
    SettingsStore& settings() { return settings_; }
    DeviceProfileStore& profiles() { return profiles_; }
    PairingStore& pairing() { return pairing_; }
    SimulatedDisplayServer& displays() { return *server_; }
    FakePermissions& permissions() { return *permissions_; }
    const TempDir& folder() const { return folder_; }
    int quits = 0;

private:
    TempDir folder_;
    std::optional<std::string> savedEnvironment_[4];
    std::shared_ptr<QtMainExecutor> main_;
    SettingsStore settings_;
    DeviceProfileStore profiles_;
    PairingStore pairing_;
    StatsStore stats_;
    std::shared_ptr<SimulatedDisplayServer> server_;
    std::shared_ptr<FakePermissions> permissions_;
    std::unique_ptr<AppDelegate> app_;
};

// The simulated tablet on loopback, named `name`.
std::shared_ptr<FakeIPad> makeFakeIPad(const std::string& name);

}  // namespace kelvo::test
