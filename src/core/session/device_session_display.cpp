#include "core/session/device_session.hpp"

#include "core/display/display_broker.hpp"
#include "core/display/display_configurator.hpp"
#include "core/input/input_service.hpp"
#include "core/input/tablet_mapping_controller.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/device_session_video_route.hpp"
#include "core/session/permissions.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"
#include "core/video/channel_video_output.hpp"
#include "core/video/cursor_service.hpp"
#include "core/video/cursor_source.hpp"
#include "core/video/test_pattern_source.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

namespace {

constexpr int kPresetRetries = 11;
constexpr uint64_t kPresetRetryUs = 250'000;
constexpr uint64_t kCaptureRestartUs = 1'000'000;

std::string describe(const Rect& r) {
    auto n = [](double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.') s.pop_back();
        return s;
    };
    return "(" + n(r.x) + ", " + n(r.y) + ", " + n(r.width) + ", " + n(r.height) + ")";
}

}  // namespace

void DeviceSession::startDisplay() {
    if (!selection_ || !identity_ || !hello_ || !video_) return;
    setState(State::startingDisplay());
    const Settings settings = settings_.settings();

    if (!options_.useVirtualDisplay) {
        displayID_ = 0;
        Size pt = StreamSetup::tabletPoints(*hello_);
        region_ = {0, 0, pt.width, pt.height};
    } else {
        std::optional<DisplayPreset> preset = settings.preset;
        if (auto profile = profiles_.profile(connector_->deviceKey()); profile && profile->preset) {
            preset = profile->preset;
        }
        auto acquired = env_.displays->acquire(*identity_, orientation_, settings.displaySource,
                                               settings.externalDisplayID, StreamSetup::landscapeMillimetres(*hello_),
                                               preset);
        if (!acquired.ok()) {
            startFailed(acquired.error().description());
            return;
        }
        display_ = std::move(acquired).value();
        display_->onTerminated = [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->end("display terminated", true, "error");
        };
        displayID_ = display_->displayID();
        applyPreset(0);
        DisplayConfigurator configurator(*env_.displayServices);
        if (settings.mirrorMain) configurator.setMirroring(displayID_, configurator.mainDisplay());
        region_ = configurator.bounds(displayID_);
        const DisplayId mine = displayID_;
        reconfig_ = std::make_unique<DisplayReconfigurationObserver>(
            *env_.displayServices, env_.main, [weak = weak_from_this(), mine](DisplayId display, uint32_t) {
                auto self = weak.lock();
                if (!self) return;
                if (display == mine) {
                    self->displayReconfigured();
                } else if (self->mapping_ && display == self->mapping_->targetDisplayID()) {
                    // The mapped display moved or changed size: the mapped region follows it.
                    self->mapping_->refresh();
                }
            });
    }

    const VideoStreamer::Config config = StreamSetup::streamerConfig(*selection_, settings);
    auto streamer = std::make_shared<VideoStreamer>(videoQueue_, std::make_shared<ChannelVideoOutput>(video_), clock_,
                                                    config, env_.makeEncoder ? env_.makeEncoder : H264StreamEncoder::factory());
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    WeakQueue main(env_.main);
    auto ctrl = ctrl_;
    if (!videoRoute_) videoRoute_ = std::make_shared<VideoRoute>();
    auto route = videoRoute_;
    std::optional<EncoderError> failed = runSync(*videoQueue_, [&] {
        // The store's observers (the diagnostics window) expect the main queue.
        streamer->onStats = [main, store = &stats_](const LiveStats& stats) {
            main.post([store, stats] { store->push(stats); });
        };
        streamer->policy().onToast = [ctrl](const std::string& text) {
            if (ctrl) ctrl->sendJSON(MsgType::toast, ToastMsg{text, 2500});
        };
        auto error = streamer->start();
        if (!error) route->streamer = streamer;
        return error;
    });
    if (failed) {
        startFailed(failed->description());
        return;
    }
    streamer_ = streamer;
    streamConfig_ = config;
    captureFps_ = config.fps;

    if (input_) input_->setMapper(CoordinateMapper{region_, StreamSetup::tabletPoints(*hello_)});
    startCursor();
    const Rect captured = region_;
    startFrameSource(displayID_, std::nullopt, [weak, captured](std::optional<SourceError> error) {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        if (error) {
            Log::e("session", "capture failed: " + error->description);
            if (self->env_.permissions && !self->env_.permissions->screenCapture() && self->ctrl_) {
                self->ctrl_->sendJSON(MsgType::toast, ToastMsg{"Mac 缺少录屏权限", 4000});
            }
            self->end("capture failed: " + error->description, true, "error");
            return;
        }
        self->setState(State::streaming());
        if (self->inputMode_ == InputMode::tabletMapping) self->enterMapping();
        self->updatePause();
        Log::i("session", "streaming " + self->selection_->description() + " to " + self->identity_->name +
                              ", region " + describe(self->region_));
        // The display changed while the capture was starting: it may read the old place.
        if (self->region_ != captured && self->inputMode_ != InputMode::tabletMapping) self->followDisplay();
    });
}

void DeviceSession::startFailed(const std::string& error) {
    Log::e("session", "display/encoder start failed: " + error);
    end("start failed: " + error, true, "error");
}

void DeviceSession::applyPreset(int attempt) {
    if (displayID_ == 0 || !display_ || !display_->isVirtual() || state_.isClosed()) return;
    DisplayPreset preset = settings_.settings().preset;
    if (auto profile = profiles_.profile(connector_->deviceKey()); profile && profile->preset) preset = *profile->preset;
    const DisplayModeSpec spec = DisplayModeCatalog::spec(preset, orientation_);
    auto error = DisplayConfigurator(*env_.displayServices).apply(spec, displayID_);
    if (!error) return;
    if (error->kind == DisplayError::Kind::modeNotFound && attempt <= kPresetRetries) {
        // The server lists a new display's modes a little after it appears.
        if (!presetRetry_) presetRetry_ = env_.main->makeTimer();
        presetRetry_->scheduleOnce(kPresetRetryUs, [weak = weak_from_this(), display = displayID_, attempt] {
            auto self = weak.lock();
            if (self && self->displayID_ == display) self->applyPreset(attempt + 1);
        });
        return;
    }
    Log::w("display", "apply preset " + title(preset) + " failed: " + error->description());
}

void DeviceSession::displayReconfigured() {
    if (displayID_ == 0 || state_.isClosed()) return;
    const Rect bounds = DisplayConfigurator(*env_.displayServices).bounds(displayID_);
    if (bounds == region_ || !(bounds.width > 0)) return;
    Log::i("display", "reconfigured: " + describe(region_) + " → " + describe(bounds));
    region_ = bounds;
    if (inputMode_ == InputMode::tabletMapping) {
        if (mapping_) mapping_->refresh();
        return;
    }
    if (!hello_ || !selection_) return;
    if (input_) input_->setMapper(CoordinateMapper{region_, StreamSetup::tabletPoints(*hello_)});
    if (cursor_) cursor_->setRegion(region_, std::max(streamConfig_.width, 1));
    // A capture still starting catches up when its start completes.
    const auto kind = state_.kind();
    if (kind == State::Kind::streaming || kind == State::Kind::paused) followDisplay();
}

void DeviceSession::followDisplay() {
    switchFrameSource(displayID_, std::nullopt, [weak = weak_from_this()](std::optional<SourceError> error) {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        if (error) return self->captureFailed(*error);
        self->keyframeOnVideoQueue();
    });
}

void DeviceSession::startCursor() {
    if (cursor_) {
        cursor_->stop();
        cursor_.reset();
    }
    const Settings settings = settings_.settings();
    if (!options_.cursor || settings.cursorMode != CursorMode::overlay || !selection_) return;
    auto source = env_.makeCursorSource ? env_.makeCursorSource() : nullptr;
    if (!source) {
        Log::w("session", "no cursor source on this desktop: the tablet draws no pointer");
        return;
    }
    cursor_ = CursorService::make(ctrl_, region_, std::max(streamConfig_.width, 1),
                                  settings.hideCursorOnTouch, env_.makeQueue("kv.cursor"), std::move(source));
    cursor_->start();
}

void DeviceSession::startFrameSource(DisplayId displayID, std::optional<Rect> sourceRect,
                                     std::function<void(std::optional<SourceError>)> completion) {
    if (!selection_ || !streamer_) return;
    if (source_) {
        source_->setOnFrame(nullptr);
        source_->setOnError(nullptr);
        source_->stop();
        source_.reset();
    }
    const uint64_t generation = ++sourceGeneration_;
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    WeakQueue main(env_.main);

    const VideoStreamer::Config& config = streamConfig_;
    std::shared_ptr<FrameSource> source;
    if (options_.frameSource == HostOptions::FrameSourceKind::testPattern) {
        source = TestPatternSource::make(env_.makeQueue("kv.testpattern"), config.width, config.height, captureFps_);
    } else if (env_.makeScreenSource) {
        MovableFrameSource::Options options;
        options.displayID = displayID;
        options.width = config.width;
        options.height = config.height;
        options.fps = captureFps_;
        options.showsCursor = settings_.settings().cursorMode == CursorMode::burnedIn;
        options.sourceRect = sourceRect;
        source = env_.makeScreenSource(options);
    }
    if (!source) {
        main.post([weak, completion] {
            if (weak.lock()) completion(SourceError{"the screen cannot be captured here"});
        });
        return;
    }

    source->setOnFrame([video = videoQueue_, streamer = std::weak_ptr<VideoStreamer>(streamer_)](
                           const PixelBufferRef& frame, uint64_t captureUs) {
        video->post([streamer, frame, captureUs] {
            if (auto s = streamer.lock()) s->submit(frame, captureUs);  // ignored once stopped
        });
    });
    source->setOnError([weak, main, generation](const SourceError& error) {
        main.post([weak, generation, error] {
            auto self = weak.lock();
            if (self && self->sourceGeneration_ == generation) self->captureFailed(error);
        });
    });
    std::weak_ptr<FrameSource> weakSource = source;
    videoQueue_->post([streamer = streamer_, weak, main, weakSource] {
        streamer->onFrameRateChange = [weak, main, weakSource](int fps) {
            if (auto s = weakSource.lock()) s->setFrameRate(fps);
            main.post([weak, fps] {
                if (auto self = weak.lock()) self->captureFps_ = fps;
            });
        };
    });
    source_ = source;
    source->start([weak, main, completion, generation](std::optional<SourceError> error) {
        main.post([weak, completion, error, generation] {
            auto self = weak.lock();
            if (!self) return;
            // A newer source replaced this one while it started: that one's start reports.
            if (self->sourceGeneration_ != generation) {
                Log::d("capture", "start of a replaced capture ignored");
                return;
            }
            completion(error);
        });
    });
}

void DeviceSession::switchFrameSource(DisplayId displayID, std::optional<Rect> sourceRect,
                                      std::function<void(std::optional<SourceError>)> completion) {
    auto movable = std::dynamic_pointer_cast<MovableFrameSource>(source_);
    if (!movable) {
        startFrameSource(displayID, sourceRect, std::move(completion));
        return;
    }
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    WeakQueue main(env_.main);
    movable->update(displayID, sourceRect, [weak, main, displayID, sourceRect, completion, movable = std::weak_ptr(movable)](
                                               std::optional<SourceError> error) {
        main.post([weak, displayID, sourceRect, completion, movable, error] {
            auto self = weak.lock();
            if (!self) return;
            // Another switch or start replaced the source meanwhile: that one reports.
            if (self->source_ != movable.lock()) return;
            if (!error) {
                completion(std::nullopt);
                return;
            }
            Log::w("capture", "in-place update failed (" + error->description + "); recreating stream");
            self->startFrameSource(displayID, sourceRect, completion);
        });
    });
}

Rect DeviceSession::localSourceRect(const Rect& rect, DisplayId display) const {
    return StreamSetup::localSourceRect(rect, DisplayConfigurator(*env_.displayServices).bounds(display));
}

void DeviceSession::captureFailed(const SourceError& error) {
    if (state_.isClosed()) return;
    if (error.kind == SourceError::Kind::userStopped) {
        end(std::string(kUserStoppedSharing), true, "user");
        return;
    }
    if (error.kind == SourceError::Kind::userDeclined) {
        end("capture failed: user declined", true, "error");
        return;
    }
    if (!captureRestarts_.take(env_.main->nowUs())) {
        end("capture failed: " + error.description + " (" + std::to_string(CaptureRestartBudget::kMaxRestarts) +
                " restarts in " + std::to_string(CaptureRestartBudget::kWindowUs / 1'000'000) + " s)",
            true, "error");
        return;
    }
    Log::w("capture", "stream stopped: " + error.description + "; restarting in 1 s");
    if (!captureRestart_) captureRestart_ = env_.main->makeTimer();
    captureRestart_->scheduleOnce(kCaptureRestartUs, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        self->restartCapture([weak](std::optional<SourceError> failed) {
            auto s = weak.lock();
            if (!s || s->state_.isClosed()) return;
            if (failed) {
                s->end("capture restart failed: " + failed->description, true, "error");
                return;
            }
            s->keyframeOnVideoQueue();
        });
    });
}

void DeviceSession::restartCapture(std::function<void(std::optional<SourceError>)> completion) {
    if (inputMode_ == InputMode::tabletMapping && mapping_) {
        const DisplayId target = mapping_->targetDisplayID();
        startFrameSource(target, localSourceRect(mapping_->region(), target), std::move(completion));
    } else {
        startFrameSource(displayID_, std::nullopt, std::move(completion));
    }
}

void DeviceSession::keyframeOnVideoQueue() {
    if (!streamer_) return;
    // The streamer ignores it while paused or stopped.
    videoQueue_->post([streamer = streamer_] { streamer->forceKeyframe(); });
}

void DeviceSession::requestKeyframe() { keyframeOnVideoQueue(); }

}  // namespace kelvo
