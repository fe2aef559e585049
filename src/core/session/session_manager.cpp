#include "core/session/session_manager.hpp"

#include <algorithm>
#include <cmath>

#include "core/display/display_broker.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/permissions.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/direct_connector.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/transport/usbmux_connector.hpp"
#include "core/transport/wireless_connector.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "manager";

bool isWireless(const std::shared_ptr<DeviceConnector>& connector) {
    return dynamic_cast<const WirelessConnector*>(connector.get()) != nullptr;
}

bool isUsb(const std::shared_ptr<DeviceConnector>& connector) {
    return dynamic_cast<const UsbmuxConnector*>(connector.get()) != nullptr;
}

}  // namespace

struct SessionManager::Private {};

std::shared_ptr<SessionManager> SessionManager::create(Stores stores, HostOptions options,
                                                       SessionEnvironment environment) {
    auto manager = std::make_shared<SessionManager>(Private{}, stores, std::move(options), std::move(environment));
    std::weak_ptr<SessionManager> weak = manager;
    if (manager->env_.power) {
        manager->env_.power->onEvent = [weak](PowerObserver::Event event) {
            if (auto self = weak.lock()) self->powerEvent(event);
        };
    }
    return manager;
}

SessionManager::SessionManager(Private, Stores stores, HostOptions options, SessionEnvironment environment)
    : stores_(stores),
      options_(std::move(options)),
      env_(std::move(environment)),
      statsPushes_(std::make_shared<std::atomic<uint64_t>>(0)) {
    // Pushed on the streamer's queue; only a count crosses over.
    statsObserver_ = stores_.stats.addObserver([pushes = statsPushes_](const LiveStats&) { ++*pushes; });
}

SessionManager::~SessionManager() {
    stop();
    if (statsObserver_) stores_.stats.removeObserver(*statsObserver_);
}

// ---- commands

void SessionManager::start() {
    if (started_ || stopped_) return;
    started_ = true;
    std::weak_ptr<SessionManager> weak = weak_from_this();
    if (env_.power) env_.power->start();

    const Settings settings = stores_.settings.settings();
    if (!settings.directMode) {
        usbmux_ = UsbmuxClient::create(env_.main, queue(usbmuxConnectQueue_, "kv.usbmux.connect"),
                                       env_.usbmuxSocketPath, UsbmuxClient::defaultRetryPauseUs,
                                       env_.usbmuxdInstalled);
        usbmux_->onAttached = [weak](const UsbmuxDevice& device) {
            if (auto self = weak.lock()) self->usbAttached(device);
        };
        usbmux_->onDetached = [weak](int64_t deviceID) {
            if (auto self = weak.lock()) self->usbDetached(deviceID);
        };
        usbmux_->onAvailabilityChanged = [weak](UsbmuxAvailability availability) {
            if (auto self = weak.lock()) self->usbAvailability(availability);
        };
        usbmux_->start();
        updateWireless();
        settingsObserver_ = stores_.settings.observe([weak](const Settings& old, const Settings& now) {
            if (old.wireless == now.wireless) return;
            if (auto self = weak.lock()) self->updateWireless();
        });
    } else {
        Log::i(kTag, "direct mode → " + settings.directHost + ":" + std::to_string(settings.directCtrlPort));
    }

    loopTimer_ = env_.main->makeTimer();
    loopTimer_->scheduleRepeating(kTickUs, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    tick();
}

void SessionManager::stop() {
    if (std::exchange(stopped_, true)) return;
    if (loopTimer_) loopTimer_->cancel();
    loopTimer_.reset();
    // The back-off retry would otherwise still run a tick after the end below.
    if (retryTimer_) retryTimer_->cancel();
    retryTimer_.reset();
    if (env_.power) {
        env_.power->onEvent = nullptr;
        env_.power->stop();
    }
    pending_.reset();
    connecting_ = false;

    if (auto session = session_) {
        session->disconnect("shutdown");
        session_.reset();  // also when the end handler could not run (the manager is being destroyed)
    }
    if (usbmux_) usbmux_->stop();
    usbmux_.reset();
    devices_.clear();
    stopWireless();
    if (settingsObserver_) stores_.settings.removeObserver(*settingsObserver_);
    settingsObserver_.reset();
    if (env_.displays) env_.displays->releaseNow();
    if (started_) Log::i(kTag, "stopped");
    updateStatus();
}

void SessionManager::disconnect() {
    if (auto session = session_) {
        suppressed_.insert(session->connector()->deviceKey());
        session->disconnect("user");
    }
}

void SessionManager::reconnect() {
    suppressed_.clear();
    resetBackoff();
    tick();
}

void SessionManager::reprobe() {
    if (auto session = session_) {
        stores_.profiles.clearProbe(session->connector()->deviceKey());
        forceProbeOnce_ = true;
        session->disconnect("reprobe");
    }
}

void SessionManager::forgetPairing(const std::string& udid) {
    if (auto session = session_; session && session->connector()->deviceKey() == udid) {
        session->unpair();
        if (isWireless(session->connector())) session->disconnect("unpaired");
    }
    stores_.pairing.remove(udid);
}

// ---- the loop

void SessionManager::tick() {
    if (stopped_) return;
    connectIfDue();
    updateStatus();
}

void SessionManager::connectIfDue() {
    if (session_ || connecting_) return;
    const Settings settings = stores_.settings.settings();
    if (!settings.autoConnect && !settings.directMode) return;
    if (waitingForScreenPermission_) {
        if (!screenCaptureAllowed()) return;
        Log::i(kTag, "screen recording permission granted, reconnecting");
        resetBackoff();
    }
    if (env_.main->nowUs() < retryAtUs_) return;
    if (env_.power && (env_.power->displayAsleep() || env_.power->locked())) return;

    auto connector = chooseConnector();
    if (!connector || suppressed_.contains(connector->deviceKey())) return;

    connecting_ = true;
    pending_ = connector;
    const uint64_t attempt = ++attempt_;
    std::weak_ptr<SessionManager> weak = weak_from_this();
    connector->connect(DeviceSession::kCtrlPort, [weak, attempt](ConnectResult result) {
        // A descriptor nobody takes is closed with the result.
        if (auto self = weak.lock()) self->connectDone(attempt, std::move(result));
    });
}

std::shared_ptr<DeviceConnector> SessionManager::chooseConnector() {
    const Settings settings = stores_.settings.settings();
    if (settings.directMode) {
        return std::make_shared<DirectConnector>(settings.directHost, settings.directCtrlPort,
                                                 settings.directVideoPort,
                                                 queue(directConnectQueue_, "kv.direct.connect"), env_.main);
    }
    if (!ignoreUSB && usbmux_ && !devices_.empty()) {
        for (const auto& [id, device] : devices_) {
            if (!suppressed_.contains(device.udid)) return std::make_shared<UsbmuxConnector>(device, usbmux_);
        }
        return nullptr;  // a cabled tablet the user turned away is not reached over Wi-Fi instead
    }
    return wirelessConnector();
}

std::shared_ptr<DeviceConnector> SessionManager::wirelessConnector() {
    if (!browser_ || !discovery_ || !stores_.settings.settings().wireless) return nullptr;
    for (const auto& record : stores_.pairing.records()) {
        if (suppressed_.contains(record.udid) || !browser_->isVisible(record.service)) continue;
        std::optional<std::string> interface;
        if (wirelessLink == WirelessLink::direct) interface = browser_->directInterface(record.service);
        return std::make_shared<WirelessConnector>(record, stores_.pairing.hostID(), wirelessLink, interface,
                                                   discovery_, queue(wirelessConnectQueue_, "kv.wireless.connect"),
                                                   env_.main);
    }
    return nullptr;
}

void SessionManager::connectDone(uint64_t attempt, ConnectResult result) {
    if (stopped_ || attempt != attempt_ || !connecting_) return;
    connecting_ = false;
    auto connector = std::move(pending_);
    if (result.ok()) {
        if (session_) return;
        waitingName_.reset();
        begin(std::move(connector), std::move(result.value()));
        return;
    }
    const ConnectError& error = result.error();
    if (error.isRefused()) {
        waitingName_ = connector->deviceKey();
    } else {
        Log::d(kTag, [&] {
            return "connect " + connector->deviceKey() + " via " + connector->transportLabel() + ": " +
                   error.description();
        });
        if (isWireless(connector)) retryAtUs_ = env_.main->nowUs() + kWirelessRetryUs;
    }
    updateStatus();
}

void SessionManager::begin(std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD) {
    HostOptions options = options_;
    options.forceProbe = options.forceProbe || forceProbeOnce_;
    forceProbeOnce_ = false;

    auto session = DeviceSession::create(std::move(connector), std::move(ctrlFD), std::move(options),
                                         {stores_.settings, stores_.profiles, stores_.appProfiles, stores_.pairing,
                                          stores_.stats},
                                         env_);
    auto streamed = std::make_shared<bool>(false);
    std::weak_ptr<SessionManager> weak = weak_from_this();
    session->onStateChange = [weak, streamed](DeviceSession& s) {
        if (s.state().kind() == DeviceSession::State::Kind::streaming) *streamed = true;
        if (auto self = weak.lock()) self->updateStatus();
    };
    session->onEnded = [weak, streamed](DeviceSession& s, const std::string& reason) {
        if (auto self = weak.lock()) self->sessionEnded(s, reason, *streamed);
    };

    statsPushesAtBegin_ = statsPushes_->load();
    session_ = session;
    if (onSessionChange) onSessionChange(session_);
    session->start();
    updateStatus();
}

void SessionManager::sessionEnded(DeviceSession& ended, const std::string& reason, bool streamed) {
    if (!session_ || session_.get() != &ended) return;
    // The session is still inside its end(): drop it in a later task, not under its feet.
    env_.main->post([last = std::move(session_)] {});
    if (onSessionChange) onSessionChange(nullptr);
    if (stopped_) return;

    if (reason == DeviceSession::kUserStoppedSharing) {
        Log::i(kTag, "sharing stopped from the system indicator: not reconnecting");
        suppressed_.insert(ended.connector()->deviceKey());
        updateStatus();
        return;
    }
    if (options_.frameSource == HostOptions::FrameSourceKind::screen && reason.starts_with("capture failed") &&
        !screenCaptureAllowed()) {
        Log::w(kTag, "no screen recording permission: not reconnecting until it is granted");
        waitingForScreenPermission_ = true;
    }

    double delay = 1;
    if (streamed) {
        failures_ = 0;
    } else {
        ++failures_;
        delay = backoffSeconds(failures_);
        if (delay > 1) {
            Log::i(kTag, "session ended before streaming, retrying in " + std::to_string(static_cast<int>(delay)) +
                             " s");
        }
    }
    const auto delayUs = static_cast<uint64_t>(delay * 1'000'000);
    retryAtUs_ = env_.main->nowUs() + delayUs;
    updateStatus();
    if (!retryTimer_) retryTimer_ = env_.main->makeTimer();
    std::weak_ptr<SessionManager> weak = weak_from_this();
    retryTimer_->scheduleOnce(delayUs, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
}

double SessionManager::backoffSeconds(int failures) {
    if (failures <= 1) return 1;
    // 2^(n−1) passes the cap long before the exponent could overflow.
    return failures > 5 ? kMaxBackoffSeconds : std::min(std::ldexp(1.0, failures - 1), kMaxBackoffSeconds);
}

void SessionManager::resetBackoff() {
    failures_ = 0;
    retryAtUs_ = 0;
    waitingForScreenPermission_ = false;
}

bool SessionManager::screenCaptureAllowed() const {
    return !env_.permissions || env_.permissions->screenCapture();
}

// ---- events

void SessionManager::powerEvent(PowerObserver::Event event) {
    if (stopped_) return;
    if (auto session = session_) session->hostPowerEvent(event);
    if ((event == PowerObserver::Event::displayWake || event == PowerObserver::Event::unlocked) && !session_) {
        resetBackoff();
        tick();
    }
}

void SessionManager::usbAttached(const UsbmuxDevice& device) {
    if (stopped_ || !device.isUSB()) return;  // the client has logged the attach
    devices_[device.deviceID] = device;
    suppressed_.erase(device.udid);
    resetBackoff();
    if (auto session = session_; session && !ignoreUSB && isWireless(session->connector())) {
        session->handOver("usb");
    }
    tick();
}

void SessionManager::usbDetached(int64_t deviceID) {
    if (stopped_) return;
    auto found = devices_.find(deviceID);
    if (found == devices_.end()) return;
    const UsbmuxDevice device = found->second;
    devices_.erase(found);
    Log::i("usbmux", "detached " + device.description());
    if (auto session = session_;
        session && isUsb(session->connector()) && session->connector()->deviceKey() == device.udid) {
        if (stores_.settings.settings().wireless && stores_.pairing.record(device.udid)) {
            session->handOver("detached");
        } else {
            session->disconnect("detached");
        }
    }
    updateStatus();
}

void SessionManager::usbAvailability(UsbmuxAvailability availability) {
    if (stopped_) return;
    usbmuxAvailability_ = availability;
    if (availability != UsbmuxAvailability::available) devices_.clear();
    updateStatus();
}

void SessionManager::updateWireless() {
    if (stopped_) return;
    if (!stores_.settings.settings().wireless) {
        stopWireless();
        if (auto session = session_; session && isWireless(session->connector())) session->disconnect("wireless off");
        return;
    }
    if (!browser_) {
        if (!discovery_ && env_.makeServiceBrowser) discovery_ = env_.makeServiceBrowser();
        if (discovery_) {
            browser_ = std::make_unique<WirelessBrowser>(wirelessLink, discovery_, env_.main);
            std::weak_ptr<SessionManager> weak = weak_from_this();
            browser_->onChange = [weak] {
                if (auto self = weak.lock()) self->tick();
            };
            browser_->onSearchingChange = [weak] {
                if (auto self = weak.lock()) self->updateStatus();
            };
            browser_->start();
        } else {
            Log::w(kTag, "no service discovery here: paired tablets are not looked for on Wi-Fi");
        }
    }
    if (auto session = session_; session && isUsb(session->connector())) session->pairIfNeeded();
}

void SessionManager::stopWireless() {
    if (browser_) browser_->stop();
    browser_.reset();
    // The backend holds a daemon connection and a thread: it goes with the setting, stopped here
    // on main, so that whoever lets go of it last (a connect, on its own queue) waits for nothing.
    if (discovery_) discovery_->stop();
    discovery_.reset();
}

std::shared_ptr<Executor> SessionManager::queue(std::shared_ptr<Executor>& slot, const std::string& label) {
    if (!slot) slot = env_.makeQueue ? env_.makeQueue(label) : env_.main;
    return slot;
}

// ---- status

SessionManager::StatusInputs SessionManager::statusInputs() const {
    const Settings settings = stores_.settings.settings();
    StatusInputs in;
    if (session_) {
        StatusInputs::Session s;
        s.state = session_->state();
        s.name = session_->identity() ? session_->identity()->name : std::string(DeviceSession::kFallbackName);
        s.transport = session_->connector()->transportLabel();
        s.selection = session_->selection();
        if (statsPushes_->load() > statsPushesAtBegin_) {
            if (auto latest = stores_.stats.latest()) s.fpsCap = latest->fpsCap;
        }
        in.session = std::move(s);
    }
    in.waitingForScreenPermission = waitingForScreenPermission_;
    in.directMode = settings.directMode;
    in.waitingName = waitingName_;
    in.usbmux = usbmuxAvailability_;
    if (!ignoreUSB) {
        in.usbDevices = static_cast<int>(devices_.size());
        in.usbDevicesUsable = static_cast<int>(std::count_if(
            devices_.begin(), devices_.end(), [&](const auto& d) { return !suppressed_.contains(d.second.udid); }));
    }
    in.searchingWireless =
        settings.wireless && browser_ && browser_->searching() && !stores_.pairing.records().empty();
    return in;
}

HostStatus SessionManager::deriveStatus(const StatusInputs& in) {
    using Kind = DeviceSession::State::Kind;
    if (const auto& s = in.session) {
        switch (s->state.kind()) {
            case Kind::paused: return HostStatus::Paused{s->name, s->state.reason()};
            case Kind::closed: return HostStatus::NoDevice{};
            case Kind::handshaking:
            case Kind::connectingVideo:
            case Kind::startingDisplay: return HostStatus::Connecting{s->name};
            case Kind::probing: return HostStatus::Probing{s->name};
            case Kind::streaming: {
                std::string stream = "?";
                if (s->selection) stream = std::to_string(s->selection->width) + "×" + std::to_string(s->selection->height);
                int64_t fps = s->fpsCap ? *s->fpsCap : s->selection ? s->selection->maxFps : 60;
                return HostStatus::Connected{s->name, s->transport, stream, static_cast<int>(fps)};
            }
        }
    }
    if (in.waitingForScreenPermission) return HostStatus::NeedsScreenPermission{};
    if (in.directMode) {
        if (in.waitingName) return HostStatus::WaitingForApp{"direct"};
        return HostStatus::NoDevice{};
    }
    // A daemon at rest is started by plugging a tablet in: no cabled tablet, the rules below decide.
    if (in.usbmux == UsbmuxAvailability::unusable) return HostStatus::UsbmuxUnavailable{};
    if (in.usbmux == UsbmuxAvailability::notInstalled) return HostStatus::UsbmuxUnavailable{.notInstalled = true};
    if (in.usbDevicesUsable > 0) {
        if (in.waitingName) return HostStatus::WaitingForApp{*in.waitingName};
        return HostStatus::Connecting{std::string(DeviceSession::kFallbackName)};
    }
    // Cabled tablets the user turned away are not tried at all, nor is Wi-Fi while they are attached.
    if (in.usbDevices > 0) return HostStatus::NoDevice{};
    if (in.searchingWireless) return HostStatus::SearchingWireless{};
    return HostStatus::NoDevice{};
}

void SessionManager::updateStatus() {
    HostStatus next = deriveStatus(statusInputs());
    if (next == status_) return;
    status_ = std::move(next);
    // The line the user sees, so that a log tells what they saw when.
    Log::i(kTag, "status: " + status_.description());
    if (onStatusChange) onStatusChange(status_);
}

}  // namespace kelvo
