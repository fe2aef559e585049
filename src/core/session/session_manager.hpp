#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/session/device_session.hpp"
#include "core/session/host_options.hpp"
#include "core/session/host_status.hpp"
#include "core/session/session_environment.hpp"
#include "core/transport/usbmux_client.hpp"
#include "core/transport/wireless_browser.hpp"

namespace kelvo {

class AppProfileStore;
class DeviceProfileStore;
class PairingStore;
class SettingsStore;
class StatsStore;

// Finds a tablet, opens its control connection, owns the one current DeviceSession and decides
// what follows its end: retry with back-off, suppression, hand-over between USB and Wi-Fi. A
// one-second loop on the main queue; publishes HostStatus on change. Created once by the
// application; start() → commands → stop() (final: nothing connects afterwards).
class SessionManager : public std::enable_shared_from_this<SessionManager> {
public:
    struct Stores {
        SettingsStore& settings;
        DeviceProfileStore& profiles;
        AppProfileStore& appProfiles;
        PairingStore& pairing;
        StatsStore& stats;
    };

    static constexpr uint64_t kTickUs = 1'000'000;
    static constexpr uint64_t kWirelessRetryUs = 3'000'000;
    static constexpr double kMaxBackoffSeconds = 10;

    static std::shared_ptr<SessionManager> create(Stores stores, HostOptions options, SessionEnvironment environment);
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // Main queue.
    void start();
    void stop();
    void disconnect();
    void reconnect();
    void reprobe();
    void forgetPairing(const std::string& udid);
    void tick();

    const std::shared_ptr<DeviceSession>& session() const { return session_; }
    const HostStatus& status() const { return status_; }
    const HostOptions& options() const { return options_; }
    void setOptions(HostOptions options) { options_ = std::move(options); }
    bool ignoreUSB = false;
    WirelessLink wirelessLink = WirelessLink::any;

    std::function<void(const HostStatus&)> onStatusChange;
    std::function<void(const std::shared_ptr<DeviceSession>&)> onSessionChange;

    PairingStore& pairingStore() const { return stores_.pairing; }
    SettingsStore& settingsStore() const { return stores_.settings; }
    DeviceProfileStore& profileStore() const { return stores_.profiles; }
    const SessionEnvironment& environment() const { return env_; }

    struct Private;
    SessionManager(Private, Stores stores, HostOptions options, SessionEnvironment environment);

private:
    void updateStatus();
    // the manager's private state and handlers are laid out by its implementation

    Stores stores_;
    HostOptions options_;
    const SessionEnvironment env_;
    std::shared_ptr<DeviceSession> session_;
    HostStatus status_;
};

}  // namespace kelvo
