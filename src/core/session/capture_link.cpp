#include "core/session/capture_link.hpp"

#include <algorithm>

#include "core/transport/channel.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"
#include "core/video/channel_video_output.hpp"
#include "core/video/cursor_service.hpp"
#include "core/video/cursor_source.hpp"
#include "core/video/test_pattern_source.hpp"

namespace kelvo {

namespace {

constexpr int64_t kPolicyToastMs = 2500;

}  // namespace

struct CaptureLink::Private {};

std::shared_ptr<CaptureLink> CaptureLink::make(Parts parts) {
    return std::make_shared<CaptureLink>(Private{}, std::move(parts));
}

CaptureLink::CaptureLink(Private, Parts parts)
    : env_(std::move(parts.env)),
      videoQueue_(std::move(parts.videoQueue)),
      ctrl_(std::move(parts.ctrl)),
      video_(std::move(parts.video)),
      clock_(std::move(parts.clock)),
      stats_(parts.stats),
      testPattern_(parts.testPattern) {}

// Releases what it holds: every stop goes through stop().
CaptureLink::~CaptureLink() = default;

std::optional<EncoderError> CaptureLink::start(const VideoStreamer::Config& config,
                                               std::function<void(const std::shared_ptr<VideoStreamer>&)> install) {
    auto streamer = std::make_shared<VideoStreamer>(videoQueue_, std::make_shared<ChannelVideoOutput>(video_), clock_,
                                                    config,
                                                    env_.makeEncoder ? env_.makeEncoder : H264StreamEncoder::factory());
    const auto main = hop();
    std::optional<EncoderError> failed = runSync(*videoQueue_, [&] {
        // The store's observers (the diagnostics window) expect the main queue.
        streamer->onStats = [main](const LiveStats& stats) {
            main([stats](CaptureLink& self) { self.stats_.push(stats); });
        };
        streamer->onFrameRateChange = [main](int fps) {
            main([fps](CaptureLink& self) {
                self.fps_ = fps;
                if (self.source_ && !self.stopped_) self.source_->setFrameRate(fps);
            });
        };
        streamer->policy().onToast = [ctrl = ctrl_](const std::string& text) {
            if (ctrl) ctrl->sendJSON(MsgType::toast, ToastMsg{text, kPolicyToastMs});
        };
        auto error = streamer->start();
        if (!error && install) install(streamer);
        return error;
    });
    if (failed) return failed;
    streamer_ = streamer;
    config_ = config;
    fps_ = config.fps;
    return std::nullopt;
}

// ---- cursor

void CaptureLink::startCursor(bool wanted, const Rect& region, bool hideOnTouch) {
    if (cursor_) {
        cursor_->stop();
        cursor_.reset();
    }
    if (!wanted || stopped_) return;
    auto source = env_.makeCursorSource ? env_.makeCursorSource() : nullptr;
    if (!source) {
        Log::w("session", "no cursor source on this desktop: the tablet draws no pointer");
        return;
    }
    cursor_ = CursorService::make(ctrl_, region, std::max(config_.width, 1), hideOnTouch, env_.makeQueue("kv.cursor"),
                                  std::move(source));
    cursor_->start();
}

void CaptureLink::setCursorRegion(const Rect& region) {
    if (cursor_) cursor_->setRegion(region, std::max(config_.width, 1));
}

void CaptureLink::setHideCursorOnTouch(bool hide) {
    if (cursor_) cursor_->setHideOnTouch(hide);
}

void CaptureLink::touchActivity(bool active) {
    if (cursor_) cursor_->touchActivity(active);
}

// ---- frame source

void CaptureLink::startSource(const Place& place, Completion done) {
    if (!streamer_ || stopped_) return;
    if (source_) {
        source_->setOnFrame(nullptr);
        source_->setOnError(nullptr);
        source_->stop();
        source_.reset();
    }
    const uint64_t generation = ++generation_;
    const auto main = hop();

    std::shared_ptr<FrameSource> source;
    if (testPattern_) {
        source = TestPatternSource::make(env_.makeQueue("kv.testpattern"), config_.width, config_.height, fps_);
    } else if (env_.makeScreenSource) {
        MovableFrameSource::Options options;
        options.displayID = place.displayID;
        options.width = config_.width;
        options.height = config_.height;
        options.fps = fps_;
        options.showsCursor = place.showsCursor;
        options.sourceRect = place.sourceRect;
        source = env_.makeScreenSource(options);
    }
    if (!source) {
        main([done](CaptureLink& self) {
            if (!self.stopped_) done(SourceError{"the screen cannot be captured here"});
        });
        return;
    }

    source->setOnFrame([video = videoQueue_, streamer = std::weak_ptr<VideoStreamer>(streamer_)](
                           const PixelBufferRef& frame, uint64_t captureUs) {
        video->post([streamer, frame, captureUs] {
            if (auto s = streamer.lock()) s->submit(frame, captureUs);  // ignored once stopped
        });
    });
    source->setOnError([main, generation](const SourceError& error) {
        main([generation, error](CaptureLink& self) {
            if (self.generation_ == generation) self.failed(error);
        });
    });
    source_ = source;
    source->start([main, done, generation](std::optional<SourceError> error) {
        main([done, error, generation](CaptureLink& self) {
            if (self.stopped_) return;
            if (self.generation_ != generation) {
                Log::d("capture", "start of a replaced capture ignored");
                return;
            }
            done(error);
        });
    });
}

void CaptureLink::switchSource(const Place& place, Completion done) {
    auto movable = std::dynamic_pointer_cast<MovableFrameSource>(source_);
    if (!movable || stopped_) {
        startSource(place, std::move(done));
        return;
    }
    const uint64_t generation = generation_;
    movable->update(place.displayID, place.sourceRect, [main = hop(), place, done, generation](
                                                           std::optional<SourceError> error) {
        main([place, done, generation, error](CaptureLink& self) {
            // Stopped, or another start replaced the source meanwhile: that one reports.
            if (self.stopped_ || self.generation_ != generation) return;
            if (!error) {
                done(std::nullopt);
                return;
            }
            Log::w("capture", "in-place update failed (" + error->description + "); recreating stream");
            self.startSource(place, done);
        });
    });
}

void CaptureLink::restart() {
    if (stopped_ || !place) return;
    startSource(place(), [weak = weak_from_this()](std::optional<SourceError> failed) {
        auto self = weak.lock();
        if (!self) return;
        if (failed) return self->end("capture restart failed: " + failed->description, "error");
        self->requestKeyframe();
    });
}

void CaptureLink::follow() {
    if (stopped_ || !place) return;
    switchSource(place(), [weak = weak_from_this()](std::optional<SourceError> error) {
        auto self = weak.lock();
        if (!self) return;
        if (error) return self->failed(*error);
        self->requestKeyframe();
    });
}

void CaptureLink::failed(const SourceError& error) {
    if (stopped_) return;
    if (error.kind == SourceError::Kind::userStopped) return end(std::string(kUserStoppedSharing), "user");
    if (error.kind == SourceError::Kind::userDeclined) return end("capture failed: user declined", "error");
    if (!restarts_.take(env_.main->nowUs())) {
        return end("capture failed: " + error.description + " (" + std::to_string(CaptureRestartBudget::kMaxRestarts) +
                       " restarts in " + std::to_string(CaptureRestartBudget::kWindowUs / 1'000'000) + " s)",
                   "error");
    }
    Log::w("capture", "stream stopped: " + error.description + "; restarting in 1 s");
    if (!restartTimer_) restartTimer_ = env_.main->makeTimer();
    restartTimer_->scheduleOnce(kRestartDelayUs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->restart();
    });
}

void CaptureLink::end(const std::string& reason, const std::string& byeWord) {
    if (stopped_) return;
    // A copy: the owner stops (and may release) the link while it is told.
    if (auto told = onEnd) told(reason, byeWord);
}

// ---- streamer

void CaptureLink::pause(StreamStopReason stopReason) {
    if (streamer_) videoQueue_->post([streamer = streamer_, stopReason] { streamer->pause(stopReason); });
}

void CaptureLink::resume() {
    if (streamer_) videoQueue_->post([streamer = streamer_] { streamer->resume(); });
}

void CaptureLink::reconfigure(const VideoStreamer::Config& config) {
    if (!streamer_) return;
    videoQueue_->post([streamer = streamer_, config] {
        if (auto error = streamer->reconfigure(config)) Log::e("video", "reconfigure failed: " + error->description());
    });
}

void CaptureLink::requestKeyframe() {
    // The streamer ignores it while paused or stopped.
    if (streamer_) videoQueue_->post([streamer = streamer_] { streamer->forceKeyframe(); });
}

void CaptureLink::updateDeviceStatus(DeviceStatusMsg status) {
    if (streamer_) {
        videoQueue_->post([streamer = streamer_, status = std::move(status)] { streamer->updateDeviceStatus(status); });
    }
}

void CaptureLink::updateIPadStats(IPadStats stats) {
    if (streamer_) videoQueue_->post([streamer = streamer_, stats = std::move(stats)] { streamer->updateIPadStats(stats); });
}

void CaptureLink::stop(StreamStopReason stopReason) {
    if (stopped_) return;
    stopped_ = true;
    if (restartTimer_) restartTimer_->cancel();
    if (cursor_) cursor_->stop();
    if (source_) source_->stop();
    if (streamer_) videoQueue_->post([streamer = streamer_, stopReason] { streamer->stop(stopReason); });
}

}  // namespace kelvo
