#include "core/session/device_session.hpp"

#include <algorithm>

#include "core/session/device_profile_store.hpp"
#include "core/session/device_session_video_route.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"
#include "core/video/probe_runner.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

namespace {

constexpr int kVideoConnectTries = 3;
constexpr uint64_t kVideoRetryUs = 300'000;

// A video connection that completes after its session ended is closed behind the bye already
// queued on the control queue: the tablet ends at the first stream that closes and would
// otherwise drop the bye unread.
void closeAfterBye(const WeakQueue& ctrlQueue, ConnectResult late) {
    if (!late.ok()) return;
    ctrlQueue.post([fd = std::make_shared<ConnectResult>(std::move(late))] {});
}

}  // namespace

void DeviceSession::VideoRoute::handle(const WireMessage& message) {
    auto type = message.type();
    if (type == MsgType::frameAck || type == MsgType::keyframeRequest) {
        if (auto current = streamer.lock()) current->handle(message);
    } else if (type == MsgType::probeResult) {
        if (probe) probe->handle(message);
    }
}

void DeviceSession::connectVideo() {
    setState(State::connectingVideo());
    // A tablet may take the video stream, and read its token, before it reads the control stream:
    // the helloAck that gives the token, and what was sent with it, go onto the wire first.
    ctrl_->whenWritten([main = toMain()] {
        main([](DeviceSession& self) {
            if (self.state_.kind() == State::Kind::connectingVideo) self.tryVideoConnect();
        });
    });
}

void DeviceSession::tryVideoConnect() {
    videoAttempts_ += 1;
    connector_->connect(kVideoPort, [weak = weak_from_this(), ctrl = WeakQueue(ctrlQueue_)](ConnectResult result) {
        if (auto self = weak.lock()) {
            self->videoConnectDone(std::move(result));
        } else {
            closeAfterBye(ctrl, std::move(result));
        }
    });
}

void DeviceSession::videoConnectDone(ConnectResult result) {
    if (state_.kind() != State::Kind::connectingVideo) {
        closeAfterBye(ctrlQueue_, std::move(result));  // stale
        return;
    }
    if (result.ok()) {
        videoConnected(std::move(result).value());
        return;
    }
    if (videoAttempts_ < kVideoConnectTries) {
        Log::i("session", "VIDEO connect attempt " + std::to_string(videoAttempts_) +
                              " failed: " + result.error().description() + "; retrying");
        if (!videoRetry_) videoRetry_ = env_.main->makeTimer();
        videoRetry_->scheduleOnce(kVideoRetryUs, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self || self->state_.kind() != State::Kind::connectingVideo) return;
            self->tryVideoConnect();
        });
        return;
    }
    end("VIDEO connect failed: " + result.error().description(), true, "error");
}

void DeviceSession::videoConnected(UniqueFd fd) {
    if (!videoRoute_) videoRoute_ = std::make_shared<VideoRoute>();
    video_ = Channel::create(std::move(fd), "video", videoQueue_, SocketOptions::video);
    // The route is the video queue's own: the handler reads nothing of the session.
    video_->onMessage = [route = videoRoute_](WireMessage message) { route->handle(message); };
    video_->onClose = [main = toMain()](std::optional<ChannelError> error) {
        std::string why = error ? error->description() : "eof";
        main([why](DeviceSession& self) { self.end("video closed: " + why, false, "error"); });
    };
    video_->start();
    std::vector<uint8_t> token(8);
    for (size_t i = 0; i < token.size(); ++i) token[i] = static_cast<uint8_t>(token_ >> (8 * i));
    video_->send(MsgType::videoHello, std::move(token));

    if (selection_) {
        startDisplay();
    } else {
        runProbe();
    }
}

void DeviceSession::runProbe() {
    setState(State::probing());
    auto runner = ProbeRunner::create(video_, env_.makeQueue("kv.probe.encode"),
                                      env_.makeEncoder ? env_.makeEncoder : H264StreamEncoder::factory());
    probe_ = runner;
    const int bitrate = StreamSetup::bitrate(settings_.settings());
    const QualityPolicy policy = settings_.settings().qualityPolicy;
    auto ladder = ProbeRung::ladder(orientation_);
    const double patience = std::max(1.0, env_.probePatience);
    videoQueue_->post([route = videoRoute_, runner, bitrate, policy, ladder, patience, main = toMain()] {
        route->probe = runner;
        runner->bitrate = bitrate;
        runner->encodeTimeoutUs = uint64_t(double(runner->encodeTimeoutUs) * patience);
        runner->answerTimeoutBaseUs = uint64_t(double(runner->answerTimeoutBaseUs) * patience);
        runner->onProgress = [main](const RungResult& result) {
            main([result](DeviceSession& self) {
                if (self.onProbeProgress) self.onProbeProgress(result);
            });
        };
        // The completion must not hold the runner: the runner holds the completion.
        runner->run(ladder, policy, [main](std::vector<RungResult> results, std::optional<ProbeSelection> sel) {
            main([results = std::move(results), sel = std::move(sel)](DeviceSession& self) mutable {
                self.probeFinished(std::move(results), std::move(sel));
            });
        });
    });
}

void DeviceSession::probeFinished(std::vector<RungResult> results, std::optional<ProbeSelection> selection) {
    if (state_.kind() != State::Kind::probing || !identity_ || !hello_) return;
    probe_.reset();
    videoQueue_->post([route = videoRoute_] { route->probe.reset(); });
    probeResults_ = results;

    ProbeRecord record;
    record.iosVersion = hello_->device && hello_->device->os ? *hello_->device->os : "";
    record.appBuild = hello_->app && hello_->app->build ? *hello_->app->build : 0;
    record.orientation = orientation_;
    record.policy = settings_.settings().qualityPolicy;
    record.results = std::move(results);
    record.selection = selection;
    record.date = std::chrono::system_clock::now();

    if (!selection) {
        selection = ProbeSelection::fallback(orientation_);
        Log::w("probe", "no rung passed; falling back to " + selection->description());
    }
    selection_ = selection;
    profiles_.update(identity_->key, identity_->name, [&](DeviceProfile& profile) { profile.probe = record; });
    startDisplay();
}

std::optional<ProbeSelection> DeviceSession::cachedSelection(const HelloMsg& hello, const DeviceIdentity& identity) {
    const std::string os = hello.device && hello.device->os ? *hello.device->os : "";
    const int64_t build = hello.app && hello.app->build ? *hello.app->build : 0;
    const QualityPolicy policy = settings_.settings().qualityPolicy;

    if (auto record = profiles_.cachedProbe(identity.key, os, build, orientation_)) {
        if (auto cached = StreamSetup::fromRecord(*record, policy)) {
            probeResults_ = std::move(cached->results);
            return cached->selection;
        }
    }
    if (hello.decode && hello.decode->probeCache && !hello.decode->probeCache->empty()) {
        auto ladder = ProbeRung::ladder(orientation_);
        return ProbeSelector::fromCache(*hello.decode->probeCache, ladder, policy);
    }
    return std::nullopt;
}

}  // namespace kelvo
