#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
    bool ignoreUSB = false;
    WirelessLink wirelessLink = WirelessLink::any;

    std::function<void(const HostStatus&)> onStatusChange;
    std::function<void(const std::shared_ptr<DeviceSession>&)> onSessionChange;

    PairingStore& pairingStore() const { return stores_.pairing; }
    SettingsStore& settingsStore() const { return stores_.settings; }
    DeviceProfileStore& profileStore() const { return stores_.profiles; }
    const SessionEnvironment& environment() const { return env_; }

    // What the status is derived from; `session` is absent without a current session.
    struct StatusInputs {
        struct Session {
            DeviceSession::State state = DeviceSession::State::handshaking();
            std::string name;  // the tablet's name, "iPad" before its greeting
            std::string transport;
            std::optional<ProbeSelection> selection;
            std::optional<int64_t> fpsCap;  // of the session's newest statistics, if it made any
        };
        std::optional<Session> session;
        bool waitingForScreenPermission = false;
        bool directMode = false;
        std::optional<std::string> waitingName;
        UsbmuxAvailability usbmux = UsbmuxAvailability::available;
        int usbDevices = 0;        // attached USB tablets, 0 while USB is ignored
        int usbDevicesUsable = 0;  // of them, those not suppressed
        bool searchingWireless = false;  // Wi-Fi on, a browser searching and at least one pairing
    };
    static HostStatus deriveStatus(const StatusInputs& inputs);
    // Seconds before the next try after `failures` consecutive sessions that never streamed:
    // 1, 2, 4, 8, then 10.
    static double backoffSeconds(int failures);

    struct Private;
    SessionManager(Private, Stores stores, HostOptions options, SessionEnvironment environment);

private:
    void updateStatus();
    StatusInputs statusInputs() const;

    void powerEvent(PowerObserver::Event event);
    void resetBackoff();
    bool screenCaptureAllowed() const;
    void connectIfDue();
    std::shared_ptr<DeviceConnector> chooseConnector();
    std::shared_ptr<DeviceConnector> wirelessConnector();
    void connectDone(uint64_t attempt, ConnectResult result);
    void begin(std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD);
    void sessionEnded(DeviceSession& ended, const std::string& reason, bool streamed);
    void usbAttached(const UsbmuxDevice& device);
    void usbDetached(int64_t deviceID);
    void usbAvailability(UsbmuxAvailability availability);
    void updateWireless();
    void stopWireless();
    std::shared_ptr<Executor> queue(std::shared_ptr<Executor>& slot, const std::string& label);

    Stores stores_;
    HostOptions options_;
    const SessionEnvironment env_;
    std::shared_ptr<DeviceSession> session_;
    HostStatus status_;

    bool started_ = false;
    bool stopped_ = false;  // final: no tick, event or late completion connects afterwards
    std::shared_ptr<UsbmuxClient> usbmux_;
    std::map<int64_t, UsbmuxDevice> devices_;  // attached USB tablets by device id (ascending)
    std::unique_ptr<Timer> loopTimer_;
    std::unique_ptr<Timer> retryTimer_;
    bool connecting_ = false;
    std::shared_ptr<DeviceConnector> pending_;  // connector of the attempt in flight
    uint64_t attempt_ = 0;                      // numbers attempts so that a stale completion is known
    UsbmuxAvailability usbmuxAvailability_ = UsbmuxAvailability::available;
    std::optional<std::string> waitingName_;
    std::set<std::string> suppressed_;
    bool forceProbeOnce_ = false;
    int failures_ = 0;
    uint64_t retryAtUs_ = 0;  // main queue's monotonic clock; 0 = no wait
    bool waitingForScreenPermission_ = false;
    std::shared_ptr<ServiceBrowser> discovery_;
    std::unique_ptr<WirelessBrowser> browser_;
    std::optional<Uuid> settingsObserver_;
    // Statistics pushed since the process began, and how many were there when the current session
    // began: the store keeps snapshots of earlier sessions that must not show as this one's.
    std::shared_ptr<std::atomic<uint64_t>> statsPushes_;
    std::optional<Uuid> statsObserver_;
    uint64_t statsPushesAtBegin_ = 0;
    std::shared_ptr<Executor> usbmuxConnectQueue_;
    std::shared_ptr<Executor> directConnectQueue_;
    std::shared_ptr<Executor> wirelessConnectQueue_;
};

}  // namespace kelvo
