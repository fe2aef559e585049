#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display/display_broker.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/input/front_app_observer.hpp"
#include "core/input/recording_sink.hpp"
#include "core/runtime/manual_executor.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/device_session.hpp"
#include "core/session/power_observer.hpp"
#include "core/session/session_environment.hpp"
#include "core/settings/settings_store.hpp"
#include "testing/fake_host_environment.hpp"
#include "testing/simulated_display_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"

namespace kelvo {

// The desktop's front application as a test moves it. Observers it makes report each activation.
// Used on the main queue, as the real observer is.
class FakeFrontApp {
public:
    FakeFrontApp();

    // The application in front now (observers made later read it too).
    void setBundleID(std::optional<std::string> bundleID);
    std::optional<std::string> bundleID() const;
    // Brings `bundleID` to the front: every live observer reports it.
    void activate(std::optional<std::string> bundleID);
    std::unique_ptr<FrontAppObserver> makeObserver();
    size_t liveObservers() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Everything a DeviceSession or a SessionManager takes from the host, made of fakes: a main
// queue, queues by label, the simulated display server with one 1920×1080 main display and a
// display broker over it, a started power observer over the fake power sources, fake
// permissions (all granted), a RecordingSink as the desktop's event sink, a fake front
// application, no screen or cursor source (sessions that stream use the test pattern), and the
// stores in memory.
//
// Queues::manual: one ManualExecutor is the main queue and every queue a session asks for, so a
// whole session runs in virtual time on the test thread (run() / advance()). Queues::threads:
// main and every queue are serial queues of the shared pool; onMain() waits for its work.
// Replace makeQueue before the first session to choose per label.
class FakeSessionEnvironment {
public:
    enum class Queues { manual, threads };

    explicit FakeSessionEnvironment(Queues queues = Queues::manual);
    ~FakeSessionEnvironment();
    FakeSessionEnvironment(const FakeSessionEnvironment&) = delete;
    FakeSessionEnvironment& operator=(const FakeSessionEnvironment&) = delete;

    // The environment's members for a session or a manager; queues are made by makeQueue.
    SessionEnvironment environment();
    DeviceSession::Stores stores() { return {settings, profiles, appProfiles, pairing, stats}; }

    // Runs `work` on the main queue and returns when it has run (manual: runs the queue idle).
    void onMain(const std::function<void()>& work);
    // Manual queues only: runs what is ready; moves virtual time on.
    void run();
    void advance(uint64_t us);

    const Queues queues;
    std::shared_ptr<ManualExecutor> manual;  // null with Queues::threads
    std::shared_ptr<Executor> main;
    std::function<std::shared_ptr<Executor>(const std::string& label)> makeQueue;
    std::vector<std::string> queueLabels;  // every label asked for, in order (main queue)

    std::shared_ptr<SimulatedDisplayServer> displayServer;
    DisplayId mainDisplay = 0;
    std::shared_ptr<DisplayBroker> broker;

    std::shared_ptr<FakeSessionPowerSource> sessionPower;
    std::shared_ptr<FakeDisplaySleepSource> displaySleep;
    std::shared_ptr<FakeBrightness> brightness;
    std::shared_ptr<PowerObserver> power;
    std::shared_ptr<FakePermissions> permissions;

    // What makeEventSink hands out; read it on the input queue or after it is idle.
    std::shared_ptr<RecordingSink> sink;
    int eventSinksMade = 0;
    FakeFrontApp frontApp;
    std::optional<Rect> frontWindow;

    SettingsStore settings{nullptr};
    DeviceProfileStore profiles{nullptr};
    AppProfileStore appProfiles{nullptr};
    PairingStore pairing{std::nullopt};
    StatsStore stats;
};

}  // namespace kelvo
