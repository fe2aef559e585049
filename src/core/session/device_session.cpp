#include "core/session/device_session.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/display/display_broker.hpp"
#include "core/display/display_configurator.hpp"
#include "core/input/front_app_observer.hpp"
#include "core/input/input_service.hpp"
#include "core/input/tablet_mapping_controller.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/permissions.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/direct_connector.hpp"
#include "core/util/ipad_stats.hpp"
#include "core/util/log.hpp"
#include "core/video/probe_runner.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "session";
// How long the bye and the last frames may take to leave before the channels close anyway.
constexpr uint64_t kFlushTimeoutUs = 250'000;

// 1 … 2^64 − 1 from the system's random source; the tablet takes 0 as "no session".
uint64_t randomToken() {
    for (;;) {
        uint64_t value = 0;
        auto* bytes = reinterpret_cast<uint8_t*>(&value);
        size_t got = 0;
        while (got < sizeof value) {
            const ssize_t n = ::getrandom(bytes + got, sizeof value - got, 0);
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                Log::e(kTag, std::string("no system randomness: ") + std::strerror(errno));
                std::abort();
            }
        }
        if (value != 0) return value;
    }
}

// Whether a connected socket's peer is a loopback address; absent for sockets that are not IP.
std::optional<bool> peerIsLoopback(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&in6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127;
    }
    return std::nullopt;
}

// Closes one channel on its own queue once the frames queued on it have been written, or after
// the flush time-out; `done` runs there once it is closed.
void closeWhenFlushed(const std::shared_ptr<Channel>& channel, std::function<void()> done) {
    struct Closing {
        std::shared_ptr<Channel> channel;  // held until closed: the session may be gone by then
        std::unique_ptr<Timer> timer;
        std::function<void()> done;

        void finish() {
            auto closing = std::move(channel);
            if (!closing) return;
            if (timer) {
                timer->cancel();
                // This may run inside the timer's own task: the timer goes after it.
                closing->queue()->post([gone = std::shared_ptr<Timer>(std::move(timer))] {});
            }
            closing->close();
            if (auto d = std::exchange(done, nullptr)) d();
        }
    };
    auto queue = channel->queue();
    queue->post([channel, queue, done = std::move(done)]() mutable {
        if (channel->isClosed() || channel->queuedBytes() == 0) {
            channel->close();
            done();
            return;
        }
        auto closing = std::make_shared<Closing>();
        closing->channel = channel;
        closing->done = std::move(done);
        closing->timer = queue->makeTimer();
        std::weak_ptr<Closing> weak = closing;
        channel->onDrain = [weak] {
            if (auto c = weak.lock()) c->finish();
        };
        channel->onClose = [weak](std::optional<ChannelError>) {
            if (auto c = weak.lock()) c->finish();
        };
        closing->timer->scheduleOnce(kFlushTimeoutUs, [closing] {
            if (closing->channel) {
                Log::w(kTag, closing->channel->name() + ": closing with " +
                                 std::to_string(closing->channel->queuedBytes()) + " bytes unsent");
            }
            closing->finish();
        });
    });
}

}  // namespace

// ---- state

std::string DeviceSession::State::description() const {
    switch (kind_) {
        case Kind::paused: return "paused(" + reason_ + ")";
        case Kind::closed: return "closed(" + reason_ + ")";
        case Kind::handshaking: return "handshaking";
        case Kind::connectingVideo: return "connectingVideo";
        case Kind::probing: return "probing";
        case Kind::startingDisplay: return "startingDisplay";
        case Kind::streaming: return "streaming";
    }
    return "unknown";
}

struct DeviceSession::Private {};

std::shared_ptr<DeviceSession> DeviceSession::create(std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD,
                                                     HostOptions options, Stores stores,
                                                     SessionEnvironment environment) {
    return std::make_shared<DeviceSession>(Private{}, std::move(connector), std::move(ctrlFD), std::move(options),
                                           stores, std::move(environment));
}

DeviceSession::DeviceSession(Private, std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD,
                             HostOptions options, Stores stores, SessionEnvironment environment)
    : connector_(std::move(connector)),
      options_(std::move(options)),
      settings_(stores.settings),
      profiles_(stores.profiles),
      appProfiles_(stores.appProfiles),
      stats_(stores.stats),
      env_(std::move(environment)) {
    const InputMode start = settings_.settings().startMode;
    inputMode_ = start == InputMode::tabletMapping ? InputMode::touch : start;
    clock_ = std::make_shared<ClockSync>();
    ctrlPeerLoopback_ = peerIsLoopback(ctrlFD.get());
    ctrlQueue_ = env_.makeQueue("kv.s.ctrl");
    videoQueue_ = env_.makeQueue("kv.s.video");
    ctrl_ = Channel::create(std::move(ctrlFD), "ctrl", ctrlQueue_, SocketOptions::ctrl);
    heartbeat_ = std::make_unique<Heartbeat>(env_.main, clock_, [ctrl = ctrl_](const KVPing& ping) {
        ctrl->send(MsgType::ping, Wire::pod(ping));
    });
    pairing_ = std::make_unique<PairingOffer>(stores.pairing, connector_->deviceKey(), options_.hostName,
                                              [ctrl = ctrl_](const PairMsg& offer) { ctrl->sendJSON(MsgType::pair, offer); });
    // Told synchronously from the session's own calls on the main queue.
    pairing_->onPaired = [this](const PairingRecord& record) {
        if (onPaired) onPaired(record);
    };
}

// Releases what it holds and nothing more: every stop goes through end().
DeviceSession::~DeviceSession() = default;

void DeviceSession::setState(State state) {
    if (state == state_) return;
    state_ = std::move(state);
    Log::d(kTag, [&] { return "state \u2192 " + state_.description(); });
    if (onStateChange) onStateChange(*this);
}

// ---- start and control routing

void DeviceSession::start() {
    if (!env_.main->isCurrent()) {
        Log::e(kTag, "start() called off the main queue");
        std::abort();
    }
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    ctrl_->onMessage = [weak](WireMessage message) {
        if (auto self = weak.lock()) self->route(std::move(message));
    };
    ctrl_->onClose = [main = toMain()](std::optional<ChannelError> error) {
        std::string reason = "ctrl closed: " + (error ? error->description() : std::string("nil"));
        main([reason = std::move(reason)](DeviceSession& self) { self.end(reason, false, "error"); });
    };
    ctrl_->start();
    helloTimer_ = env_.main->makeTimer();
    helloTimer_->scheduleOnce(kHelloTimeoutUs, [weak] {
        if (auto self = weak.lock()) self->end("HELLO timeout", false, "error");
    });
    Log::i(kTag, "CTRL connected via " + connector_->transportLabel());
    if (dynamic_cast<const DirectConnector*>(connector_.get()) && ctrlPeerLoopback_ == false) {
        Log::w(kTag, "plain TCP to " + connector_->transportLabel().substr(4) +
                         " is not encrypted: the screen and the input cross the network readable by anyone on it");
    }
}

// Control queue. Holds the session only for the call: the channel's owner keeps it alive.
void DeviceSession::route(WireMessage message) {
    const auto type = message.type();
    if (type) {
        switch (*type) {
            case MsgType::touchFrame:
            case MsgType::uiEvent:
            case MsgType::textInput:
            case MsgType::keyEvent:
            case MsgType::keyboardState:
                if (ctrlInput_) ctrlInput_->handle(std::move(message));
                return;
            case MsgType::pong: {
                const uint64_t receivedUs = env_.main->nowUs();
                auto record = message.load<KVPong>();
                if (!record) return;
                toMain()([record = *record, receivedUs](DeviceSession& self) { self.pong(record, receivedUs); });
                return;
            }
            case MsgType::log: {
                // The store cuts relayed lines; decoding no more than it keeps bounds the work too.
                const size_t keep = std::min(message.payload.size(), KVLogHeader::kSize + kMaxRelayedLineBytes + 4);
                auto line = readTabletLogLine(std::span<const uint8_t>(message.payload.data(), keep));
                if (!line) return;
                LogStore::shared().append(line->level, "ipad", line->text, LogOrigin::ipad,
                                          std::chrono::system_clock::now());
                return;
            }
            default: break;
        }
    }
    toMain()([rawType = message.rawType, payload = std::move(message.payload)](DeviceSession& self) mutable {
        self.handleOnMain(rawType, std::move(payload));
    });
}

void DeviceSession::handleOnMain(uint8_t rawType, std::vector<uint8_t> payload) {
    if (state_.isClosed()) return;
    const auto type = msgTypeFromRaw(rawType);
    const std::span<const uint8_t> body(payload);
    switch (type.value_or(MsgType::videoHello)) {
        case MsgType::hello: {
            auto hello = Wire::decodeJSON<HelloMsg>(body);
            if (!hello) {
                end("bad HELLO", true, "error");
                return;
            }
            greeted(std::move(*hello));
            return;
        }
        case MsgType::bye: {
            auto bye = Wire::decodeJSON<ByeMsg>(body);
            end("iPad said bye: " + (bye ? bye->reason : std::string("?")), false, "error");
            return;
        }
        case MsgType::appState: {
            auto app = Wire::load<KVAppState>(body, 0);
            if (!app) return;
            appPaused_ = app->state != 0;
            updatePause();
            return;
        }
        case MsgType::deviceStatus: {
            auto status = Wire::decodeJSON<DeviceStatusMsg>(body);
            if (status && link_) link_->updateDeviceStatus(std::move(*status));
            return;
        }
        case MsgType::stats: {
            auto stats = Wire::decodeJSON<IPadStats>(body);
            if (stats && link_) link_->updateIPadStats(std::move(*stats));
            return;
        }
        case MsgType::wakeRequest:
            Log::d(kTag, "Kelvo wake request");
            if (env_.permissions) env_.permissions->declareUserActivity();
            return;
        case MsgType::pairAck:
            pairAnswered(Wire::decodeJSON<PairAckMsg>(body));
            return;
        default: break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(rawType));
    Log::d(kTag, std::string("ignored CTRL message 0x") + hex);
}

// ---- greeting

void DeviceSession::greeted(HelloMsg hello) {
    if (state_ != State::handshaking() || hello_) return;
    if (helloTimer_) helloTimer_->cancel();
    hello_ = hello;
    const std::string name = hello.device && hello.device->name ? *hello.device->name : std::string(kFallbackName);
    identity_ = DeviceIdentity{connector_->deviceKey(), name};

    if (!hello.supportsProtocolV1()) {
        HelloAckMsg refusal;
        refusal.proto = 1;
        refusal.accept = false;
        refusal.session = "0";
        refusal.host = {options_.hostName, options_.appVersion};
        refusal.needProbe = false;
        refusal.reason = "version";
        ctrl_->sendJSON(MsgType::helloAck, refusal);
        end("protocol version mismatch", true, "version");
        return;
    }

    orientation_ = resolveOrientation(hello);
    token_ = randomToken();
    profiles_.update(identity_->key, identity_->name, [&](DeviceProfile& profile) {
        profile.lastSeen = std::chrono::system_clock::now();
        if (profile.lastMode == InputMode::touch || profile.lastMode == InputMode::draw) inputMode_ = *profile.lastMode;
    });

    selection_ = options_.forceProbe ? std::nullopt : cachedSelection(hello, *identity_);
    if (options_.skipProbe && !selection_) selection_ = ProbeSelection::fallback(orientation_);

    Log::i(kTag, [&] {
        // Bounded: a tablet may send any number, and converting a huge one is undefined.
        const SizeD points = hello.screenPoints();
        const std::string os = hello.device && hello.device->os ? *hello.device->os : "?";
        return "HELLO from " + name + " (iOS " + os + ", " + std::to_string(static_cast<int64_t>(points.width)) +
               "\u00D7" + std::to_string(static_cast<int64_t>(points.height)) + " pt); probe " +
               (selection_ ? "cached: " + selection_->description() : std::string("needed"));
    });

    setUpInput(hello);

    HelloAckMsg ack;
    ack.proto = 1;
    ack.accept = true;
    ack.session = HelloAckMsg::hex(token_);
    ack.host = {options_.hostName, options_.appVersion};
    ack.needProbe = !selection_;
    ctrl_->sendJSON(MsgType::helloAck, ack);
    ctrl_->sendJSON(MsgType::config, configMessage());
    ctrl_->sendJSON(MsgType::uiLayout, uiLayoutMessage());
    if (input_) ctrl_->sendJSON(MsgType::uiState, input_->currentUIState());
    sendHostState();

    heartbeat_->onLost = [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->end("heartbeat lost", false, "error");
    };
    heartbeat_->start();
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    settingsObserver_ = settings_.observe([weak](const Settings& old, const Settings& now) {
        if (auto self = weak.lock()) self->settingsChanged(old, now);
    });
    pairIfNeeded();
    setState(State::connectingVideo());
    connectVideo();
}

Orientation DeviceSession::resolveOrientation(const HelloMsg& hello) const {
    std::optional<OrientationSetting> setting;
    if (identity_) {
        if (auto profile = profiles_.profile(identity_->key)) setting = profile->orientation;
    }
    switch (setting.value_or(settings_.settings().orientation)) {
        case OrientationSetting::landscape: return Orientation::landscape;
        case OrientationSetting::portrait: return Orientation::portrait;
        case OrientationSetting::auto_: break;
    }
    // Unknown or unbelievable sizes read as 1024 × 768: landscape.
    const SizeD points = hello.screenPoints();
    return points.height > points.width ? Orientation::portrait : Orientation::landscape;
}

ConfigMsg DeviceSession::configMessage() const { return ConfigMsg::from(settings_.settings(), orientation_); }

UILayoutMsg DeviceSession::uiLayoutMessage() const { return UILayoutMsg::from(settings_.settings()); }

HostStateMsg DeviceSession::hostStateMessage() const {
    HostStateMsg state = env_.power ? env_.power->hostState() : HostStateMsg{"on", false, std::nullopt};
    state.brightness =
        HostStateMsg::followedBrightness(settings_.settings(), env_.power ? env_.power->brightness() : std::nullopt);
    return state;
}

void DeviceSession::sendHostState() { ctrl_->sendJSON(MsgType::hostState, hostStateMessage()); }

// ---- heartbeat

void DeviceSession::pong(const KVPong& pong, uint64_t receivedUs) {
    if (state_.isClosed()) return;
    heartbeat_->pong(pong, receivedUs);
}

// ---- end

void DeviceSession::end(const std::string& reason, bool sendBye, const std::string& byeReason,
                        std::optional<double> grace) {
    if (state_.isClosed()) return;
    // The manager drops its reference in onEnded; finish first.
    auto keep = shared_from_this();
    Log::i(kTag, "ending: " + reason);
    if (sendBye) ctrl_->sendJSON(MsgType::bye, ByeMsg{byeReason, reason});
    if (helloTimer_) helloTimer_->cancel();
    heartbeat_->stop();
    pairing_->stop();
    if (settingsObserver_) settings_.removeObserver(*std::exchange(settingsObserver_, std::nullopt));
    if (probe_) probe_->cancel();
    if (input_) {
        input_->stop();
        ctrlQueue_->post([keep] { keep->ctrlInput_.reset(); });
    }
    // The stream stop goes out before the channels close: both are queued on the video queue.
    if (link_) link_->stop(StreamStopReason::ended);
    if (mapping_) mapping_->stop();
    reconfig_.reset();
    frontApp_.reset();
    closeChannels(std::exchange(sleepHold_, nullptr));
    if (display_) {
        const double seconds = grace.value_or(settings_.settings().graceSeconds);
        if (env_.displays) env_.displays->release(std::chrono::duration<double>(seconds));
        display_.reset();
    }
    setState(State::closed(reason));
    if (onEnded) onEnded(*this, reason);
}

void DeviceSession::closeChannels(std::shared_ptr<PowerObserver::SleepHold> hold) {
    // Both channels count down one share each; the hold goes with the last.
    struct Group {
        std::shared_ptr<PowerObserver::SleepHold> hold;
        ~Group() {
            if (hold) hold->release();
        }
    };
    auto group = std::make_shared<Group>();
    group->hold = std::move(hold);
    videoQueue_->post([ctrl = ctrl_, video = video_, group]() mutable {
        // The tablet ends its session when either stream ends: the video stream goes only after
        // the control stream has carried the bye.
        closeWhenFlushed(ctrl, [group, video] {
            if (video) closeWhenFlushed(video, [group] {});
        });
        group.reset();
    });
}

void DeviceSession::disconnect(const std::string& reason) { end("disconnected by " + reason, true, reason, 0.0); }

void DeviceSession::handOver(const std::string& reason) { end("handing over: " + reason, true, reason); }

// ---- pairing

bool DeviceSession::trustedForPairing() const {
    // A name that resolved elsewhere must not pass for loopback: the connected address decides.
    return connector_->isTrustedForPairing() && ctrlPeerLoopback_ != false;
}

std::string DeviceSession::tabletName() const { return identity_ ? identity_->name : std::string(kFallbackName); }

void DeviceSession::pairIfNeeded() {
    if (!settings_.settings().wireless || !trustedForPairing() || state_.isClosed() || !hello_) return;
    pairing_->offerIfNeeded(*hello_, tabletName());
}

void DeviceSession::pairAnswered(std::optional<PairAckMsg> answer) { pairing_->answered(answer, tabletName()); }

void DeviceSession::unpair() {
    if (!trustedForPairing() || state_.isClosed()) return;
    pairing_->withdraw();
}

// ---- commands and power

void DeviceSession::setUserPaused(bool paused) {
    userPaused_ = paused;
    updatePause();
}

void DeviceSession::setIPadLogLevel(const std::string& level, bool dumpRing) {
    ctrl_->sendJSON(MsgType::logConfig, LogConfigMsg{level, dumpRing});
}

void DeviceSession::hostPowerEvent(PowerObserver::Event event) {
    switch (event) {
        case PowerObserver::Event::systemWillSleep:
            if (state_.isClosed()) return;
            // The system waits for the bye to leave; the hold goes once the channels closed.
            if (env_.power) sleepHold_ = std::make_shared<PowerObserver::SleepHold>(env_.power->holdSleep());
            end("system sleep", true, "shutdown");
            return;
        case PowerObserver::Event::systemDidWake: return;
        case PowerObserver::Event::locked:
        case PowerObserver::Event::unlocked:
            if (sink_ && inputQueue_) {
                inputQueue_->post([sink = sink_, locked = event == PowerObserver::Event::locked] {
                    sink->setLocked(locked);
                });
            }
            [[fallthrough]];
        case PowerObserver::Event::displaySleep:
        case PowerObserver::Event::displayWake:
        case PowerObserver::Event::brightness:
            sendHostState();
            updatePause();
            return;
    }
}

}  // namespace kelvo
