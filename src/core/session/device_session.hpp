#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display/display_source.hpp"
#include "core/protocol/control_messages.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/protocol/records.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/runtime/executor.hpp"
#include "core/runtime/weak_hop.hpp"
#include "core/session/capture_link.hpp"
#include "core/session/heartbeat.hpp"
#include "core/session/host_options.hpp"
#include "core/session/pairing_offer.hpp"
#include "core/session/power_observer.hpp"
#include "core/session/session_environment.hpp"
#include "core/session/stream_setup.hpp"
#include "core/settings/settings.hpp"
#include "core/settings/settings_enums.hpp"
#include "core/transport/channel.hpp"
#include "core/transport/device_connector.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/clock_sync.hpp"
#include "core/util/rect.hpp"
#include "core/util/uuid.hpp"
#include "core/video/probe_ladder.hpp"
#include "core/video/probe_selection.hpp"

namespace kelvo {

class AppProfileStore;
class DeviceProfileStore;
class DisplayReconfigurationObserver;
class EventSink;
class FrontAppObserver;
class InputService;
class ProbeRunner;
class SettingsStore;
class StatsStore;
class TabletMappingController;
class VideoStreamer;

// One connection to one tablet, from the connected control socket to the end: greeting, pairing,
// video connection and probe, display and capture, input, and the one way out (end()). Confined to
// the main queue; per-session work runs on "kv.s.ctrl", "kv.s.video" and "kv.input". Held in a
// shared_ptr by the manager: every callback it hands out holds it weakly.
// It composes three parts with their own lifecycle, each stopped by end(): the Heartbeat (ping,
// pong, time-out), the PairingOffer and, from the display's start, the CaptureLink (streamer,
// frame source, cursor service, capture restarts).
class DeviceSession : public std::enable_shared_from_this<DeviceSession> {
public:
    class State {
    public:
        enum class Kind { paused, closed, handshaking, connectingVideo, probing, startingDisplay, streaming };

        static State paused(std::string reason) { return State(Kind::paused, std::move(reason)); }
        static State closed(std::string reason) { return State(Kind::closed, std::move(reason)); }
        static State handshaking() { return State(Kind::handshaking, {}); }
        static State connectingVideo() { return State(Kind::connectingVideo, {}); }
        static State probing() { return State(Kind::probing, {}); }
        static State startingDisplay() { return State(Kind::startingDisplay, {}); }
        static State streaming() { return State(Kind::streaming, {}); }

        Kind kind() const { return kind_; }
        // The pause or end reason; empty for the other states.
        const std::string& reason() const { return reason_; }
        bool isClosed() const { return kind_ == Kind::closed; }
        // "paused(<reason>)", "closed(<reason>)", "handshaking", …
        std::string description() const;
        bool operator==(const State&) const = default;

    private:
        State(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}
        Kind kind_;
        std::string reason_;
    };

    static constexpr uint64_t kHelloTimeoutUs = 3'000'000;
    static constexpr uint16_t kCtrlPort = 47100;
    static constexpr uint16_t kVideoPort = 47101;
    // The end reason when the user stopped sharing from the desktop; the manager does not reconnect.
    static constexpr std::string_view kUserStoppedSharing = CaptureLink::kUserStoppedSharing;

    // The name a tablet goes by until its greeting names it (or when it names none).
    static constexpr std::string_view kFallbackName = "iPad";

    // The stores and the environment outlive every session.
    struct Stores {
        SettingsStore& settings;
        DeviceProfileStore& profiles;
        AppProfileStore& appProfiles;
        PairingStore& pairing;
        StatsStore& stats;  // each second's LiveStats of the stream, pushed on the main queue
    };

    // Nothing starts until start(). `ctrlFD` is the connected control socket.
    static std::shared_ptr<DeviceSession> create(std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD,
                                                 HostOptions options, Stores stores, SessionEnvironment environment);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Main queue. Starts the control channel and the greeting time-out.
    void start();

    // The one way to end; a second call does nothing. `grace` in seconds, absent = the settings'.
    void end(const std::string& reason, bool sendBye, const std::string& byeReason,
             std::optional<double> grace = std::nullopt);
    void disconnect(const std::string& reason);  // "disconnected by <reason>", display released at once
    void handOver(const std::string& reason);    // "handing over: <reason>", display kept for the grace

    // Pairing: offer a key when the tablet lacks the current one; withdraw it.
    void pairIfNeeded();
    void unpair();

    // Commands of the application and the manager.
    void setInputMode(InputMode mode);
    bool isUserPaused() const { return userPaused_; }
    void setUserPaused(bool paused);
    void requestKeyframe();
    void setIPadLogLevel(const std::string& level, bool dumpRing);
    void hostPowerEvent(PowerObserver::Event event);

    const State& state() const { return state_; }
    const std::optional<DeviceIdentity>& identity() const { return identity_; }
    const std::optional<ProbeSelection>& selection() const { return selection_; }
    const std::vector<RungResult>& probeResults() const { return probeResults_; }
    const std::shared_ptr<DeviceConnector>& connector() const { return connector_; }
    InputMode inputMode() const { return inputMode_; }
    DisplayId displayID() const { return displayID_; }
    const Rect& region() const { return region_; }
    const std::optional<HelloMsg>& hello() const { return hello_; }

    std::function<void(DeviceSession&)> onStateChange;
    std::function<void(DeviceSession&, const std::string& reason)> onEnded;
    std::function<void(const RungResult&)> onProbeProgress;
    std::function<void(const PairingRecord&)> onPaired;

    struct Private;
    DeviceSession(Private, std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD, HostOptions options,
                  Stores stores, SessionEnvironment environment);

private:
    // Handshake, control routing, pongs handed to the heartbeat (device_session.cpp).
    void setState(State state);
    void route(WireMessage message);  // control queue
    void handleOnMain(uint8_t rawType, std::vector<uint8_t> payload);
    void greeted(HelloMsg hello);
    Orientation resolveOrientation(const HelloMsg& hello) const;
    ConfigMsg configMessage() const;
    UILayoutMsg uiLayoutMessage() const;
    HostStateMsg hostStateMessage() const;
    void pairAnswered(std::optional<PairAckMsg> answer);
    void pong(const KVPong& pong, uint64_t receivedUs);
    void sendHostState();
    bool trustedForPairing() const;
    // The greeting's name for the tablet, else kFallbackName.
    std::string tabletName() const;
    // Closes both channels on their own queues once what was queued is written (bounded), after
    // the streamer has stopped; `hold` is released when both are closed.
    void closeChannels(std::shared_ptr<PowerObserver::SleepHold> hold);

    // Input wiring, settings changes, pause (device_session_input.cpp).
    void setUpInput(const HelloMsg& hello);
    void settingsChanged(const Settings& old, const Settings& now);
    void updatePause();

    // Video connection and probe (device_session_video.cpp).
    void connectVideo();
    void tryVideoConnect();
    void videoConnectDone(ConnectResult result);
    void videoConnected(UniqueFd fd);
    void runProbe();
    void probeFinished(std::vector<RungResult> results, std::optional<ProbeSelection> selection);
    std::optional<ProbeSelection> cachedSelection(const HelloMsg& hello, const DeviceIdentity& identity);

    // Display, capture and cursor (device_session_display.cpp).
    void startDisplay();
    void applyPreset(int attempt);
    void displayReconfigured();
    void startCursor();
    // Where the capture reads: the mapped place in tablet mapping, else the session's display.
    CaptureLink::Place capturePlace() const;
    Rect localSourceRect(const Rect& rect, DisplayId display) const;
    void startFailed(const std::string& error);
    // The settings rows of the display, cursor, capture and tablet mapping (preset, cursor mode
    // and hiding, mapping area, rectangle, display and view).
    void streamingSettingsChanged(const Settings& old, const Settings& now);

    // Input modes and tablet mapping (device_session_mapping.cpp).
    void inputModeChanged(InputMode mode);
    void enterMapping();
    void exitMapping();
    void mappingRegionChanged(const Rect& rect, DisplayId displayID);
    DisplayId effectiveMappingDisplayID() const;

    // The hop back to the main queue for closures that run on other queues; holds the session
    // (and the queue) weakly.
    WeakHop<DeviceSession> toMain() { return {weak_from_this(), env_.main}; }

    const std::shared_ptr<DeviceConnector> connector_;
    const HostOptions options_;
    SettingsStore& settings_;
    DeviceProfileStore& profiles_;
    AppProfileStore& appProfiles_;
    StatsStore& stats_;
    const SessionEnvironment env_;

    State state_ = State::handshaking();
    std::optional<HelloMsg> hello_;
    std::optional<DeviceIdentity> identity_;
    std::optional<ProbeSelection> selection_;
    std::vector<RungResult> probeResults_;
    DisplayId displayID_ = 0;
    Rect region_;
    InputMode inputMode_ = InputMode::touch;
    Orientation orientation_ = Orientation::landscape;
    uint64_t token_ = 0;
    std::shared_ptr<ClockSync> clock_;  // written on main, read by the streamer under its own lock

    std::shared_ptr<Executor> ctrlQueue_;
    std::shared_ptr<Executor> videoQueue_;
    std::shared_ptr<Executor> inputQueue_;
    std::shared_ptr<Channel> ctrl_;
    std::shared_ptr<Channel> video_;
    std::shared_ptr<ProbeRunner> probe_;
    std::shared_ptr<CaptureLink> link_;  // from the display's start
    std::shared_ptr<InputService> input_;
    std::shared_ptr<EventSink> sink_;
    std::shared_ptr<DisplaySource> display_;
    std::unique_ptr<FrontAppObserver> frontApp_;
    std::shared_ptr<TabletMappingController> mapping_;
    std::unique_ptr<DisplayReconfigurationObserver> reconfig_;
    std::optional<Uuid> settingsObserver_;
    std::unique_ptr<Timer> helloTimer_;
    std::unique_ptr<Heartbeat> heartbeat_;  // started at the greeting
    bool appPaused_ = false;
    bool userPaused_ = false;
    int videoAttempts_ = 0;
    std::unique_ptr<PairingOffer> pairing_;

    // The input service as the control queue sees it: set and cleared there, so that the router
    // never reads a pointer that main is writing.
    std::shared_ptr<InputService> ctrlInput_;
    // Whether the control socket's peer is a loopback address; absent when it is not an IP socket
    // (USB tunnels, local bridges).
    std::optional<bool> ctrlPeerLoopback_;
    // Taken when the system is about to sleep, so that the bye leaves first.
    std::shared_ptr<PowerObserver::SleepHold> sleepHold_;

    // Video connection and display (device_session_video.cpp, device_session_display.cpp).
    // Where video messages go, confined to the video queue: the streamer and probe runner are
    // handed over to it by posts, never read there from the main queue's fields.
    struct VideoRoute;
    std::shared_ptr<VideoRoute> videoRoute_;
    std::unique_ptr<Timer> videoRetry_;
    std::unique_ptr<Timer> presetRetry_;
};

}  // namespace kelvo
