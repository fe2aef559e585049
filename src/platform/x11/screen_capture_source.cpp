#include "platform/x11/screen_capture_source.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "core/util/log.hpp"
#include "core/video/h264_encoder.hpp"
#include "core/video/pixel_convert.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/x11/screen_grabber.hpp"

namespace kelvo {

namespace {

constexpr uint64_t kLeewayUs = 1000;
// From the notice of a drawing to its frame. The notice comes with the drawing's first request; the
// frame is read once the screen has been still this long, so that a drawing of several requests is
// in it whole rather than by halves. Looked at this long after the notice, and as often again while
// the screen is still being drawn on,
constexpr uint64_t kStillUs = 500;
// but for no longer than this share of a frame period: a screen drawn on without a pause still
// gets its frames.
constexpr double kMaxSettle = 0.5;
// Following the drawing, frames may come this much faster than the stream's rate: a budget at
// exactly the rate would hold them on whatever phase they started at, however late against the
// drawing; with 5 % to spare they reach the drawing within a third of a second. Only a screen
// that changes faster than the stream's rate is read that often.
constexpr double kCatchUp = 1.05;

uint64_t intervalUs(int fps) { return 1'000'000ull / uint64_t(std::max(fps, 1)); }

SourceError stoppedError() { return SourceError{"stopped"}; }

std::shared_ptr<Executor> makeQueue(const ScreenCaptureSource::Environment& env, const std::string& label) {
    return env.makeQueue ? env.makeQueue(label) : AsioExecutor::makeQueue(label);
}

// The pixels of `bounds` (or of `part` of it, in the display's own coordinates) on the screen.
PixelRect areaOf(const Rect& bounds, const std::optional<Rect>& part) {
    double left = bounds.x, top = bounds.y, right = bounds.x + bounds.width, bottom = bounds.y + bounds.height;
    if (part) {
        left = std::max(left, bounds.x + part->x);
        top = std::max(top, bounds.y + part->y);
        right = std::min(right, bounds.x + part->x + part->width);
        bottom = std::min(bottom, bounds.y + part->y + part->height);
    }
    PixelRect area{int(std::lround(left)), int(std::lround(top)), 0, 0};
    area.width = std::max(0, int(std::lround(right)) - area.x);
    area.height = std::max(0, int(std::lround(bottom)) - area.y);
    return area;
}

}  // namespace

struct ScreenCaptureSource::Private {};

struct ScreenCaptureSource::Capture {
    std::shared_ptr<ScreenGrabber> grabber;
    std::unique_ptr<Timer> timer;
    std::unique_ptr<FdWatch> drawing;  // notices of drawing; goes before the grabber's connection
    bool waiting = false;              // for `drawing`
    bool modeChosen = false;           // follows the drawing, or ticks for ever
    bool due = false;                  // following: a frame is scheduled
    bool redoing = false;              // following: the scheduled frame reads again one dropped
    bool owed = false;                 // following: drawn on since the last frame, notice taken
    uint64_t noticeUs = 0;             // following: when the owed frame's drawing was noticed
    double budget = 1;                 // following: frames that may be read now
    uint64_t budgetUs = 0;             // when `budget` was last brought up to date

    // Following: a frame's worth of budget comes with every frame period (and kCatchUp more).
    void refill(uint64_t nowUs, uint64_t periodUs) {
        budget = std::min(1.0, budget + kCatchUp * double(nowUs - budgetUs) / double(periodUs));
        budgetUs = nowUs;
    }
    uint64_t region = 0;  // the region_ that area and pools were made for
    PixelRect area;
    bool force = true;  // deliver the next frame even if nothing was drawn (new region)
    bool failing = false;
    std::shared_ptr<PixelBufferPool> scaled, nv12;
    // Split across the cores the encoder may use: the frame is waited on, and they are free now.
    BandWorkers conversion{EncoderTuning::threads()};
};

// One display lookup in progress: its own timer, so that lookups never replace each other's.
// Its completion is owed once: the timer's task takes it (to call it or hand it to the next
// lookup) or the source's destruction does, whichever comes first; the other finds nothing.
struct ScreenCaptureSource::Lookup {
    std::unique_ptr<Timer> timer;

    Found take() {
        std::lock_guard g(m);
        return std::exchange(found, nullptr);
    }
    std::mutex m;  // the timer's task and the destruction may meet on two threads
    Found found;   // guarded by m
};

std::function<std::optional<Rect>(DisplayId)> ScreenCaptureSource::boundsFrom(
    std::shared_ptr<DisplayServices> services) {
    return [services = std::move(services)](DisplayId id) -> std::optional<Rect> {
        auto online = services->onlineDisplays();
        if (std::find(online.begin(), online.end(), id) == online.end()) return std::nullopt;
        return services->bounds(id);
    };
}

SourceError ScreenCaptureSource::displayNotFound(DisplayId id) {
    return SourceError{"display " + std::to_string(id) + " did not appear on the X screen"};
}

std::shared_ptr<ScreenCaptureSource> ScreenCaptureSource::make(Options options, Environment environment) {
    return std::make_shared<ScreenCaptureSource>(Private{}, std::move(options), std::move(environment));
}

ScreenCaptureSource::ScreenCaptureSource(Private, Options options, Environment environment)
    : env_(std::move(environment)),
      queue_(makeQueue(env_, "kv.capture")),
      control_(makeQueue(env_, "kv.capture.control")),
      options_(std::move(options)) {}

ScreenCaptureSource::~ScreenCaptureSource() {
    // No task holds the source any more, so none is handing anything out: nothing to wait for.
    halt();
    // A start or update still looking for its display learns that it ended.
    for (auto& [key, lookup] : lookups_) {
        lookup->timer->cancel();
        if (auto found = lookup->take()) control_->post([found = std::move(found)] { found(std::nullopt); });
    }
}

ScreenCaptureSource::Options ScreenCaptureSource::options() const {
    std::lock_guard g(m_);
    return options_;
}

void ScreenCaptureSource::setOnFrame(FrameHandler handler) {
    std::lock_guard g(m_);
    if (!stopped_) onFrame_ = std::move(handler);
}

void ScreenCaptureSource::setOnError(ErrorHandler handler) {
    std::lock_guard g(m_);
    if (!stopped_) onError_ = std::move(handler);
}

void ScreenCaptureSource::start(StartCompletion completion) {
    auto done = [completion = std::move(completion)](std::optional<SourceError> error) {
        if (completion) completion(std::move(error));
    };
    DisplayId id;
    std::optional<SourceError> refused;
    {
        std::lock_guard g(m_);
        id = options_.displayID;
        if (stopped_) {
            refused = stoppedError();
        } else if (started_) {
            refused = SourceError{"capture already started"};
        }
        started_ = true;
    }
    if (refused) {
        control_->post([done, error = *refused] { done(error); });
        return;
    }
    control_->post([weak = weak_from_this(), id, done] {
        auto self = weak.lock();
        if (!self) return done(stoppedError());
        self->findDisplay(id, 1, [weak, id, done](std::optional<Rect> bounds) {
            auto self = weak.lock();
            if (!self) return done(stoppedError());
            if (!bounds) return done(self->isStopped() ? stoppedError() : displayNotFound(id));
            self->finishStart(*bounds, done);
        });
    });
}

bool ScreenCaptureSource::isStopped() const {
    std::lock_guard g(m_);
    return stopped_;
}

void ScreenCaptureSource::findDisplay(DisplayId id, int attempt, Found found) {
    std::optional<Rect> bounds;
    if (env_.displayBounds) bounds = env_.displayBounds(id);
    if (bounds || attempt >= kLookups || isStopped()) return found(bounds);
    auto lookup = std::make_shared<Lookup>();
    lookup->timer = control_->makeTimer();
    lookup->found = std::move(found);
    uint64_t key = ++lookupSerial_;
    lookups_[key] = lookup;
    lookup->timer->scheduleOnce(env_.lookupDelayUs, [weak = weak_from_this(), id, attempt, entry = std::weak_ptr(lookup),
                                                     key] {
        auto self = weak.lock();
        auto owned = entry.lock();
        Found found = owned ? owned->take() : nullptr;
        if (!found) return;  // the source's destruction took it
        if (!self) return found(std::nullopt);
        // Not from inside its own task: the timer goes in a later one. Until then the entry is
        // listed with nothing owed.
        self->control_->post([weak, key] {
            if (auto self = weak.lock()) self->lookups_.erase(key);
        });
        self->findDisplay(id, attempt + 1, std::move(found));
    });
}

void ScreenCaptureSource::finishStart(Rect bounds, const StartCompletion& done) {
    auto connected = ScreenGrabber::connect(env_.xDisplay, env_.sharedMemory);
    if (!connected.ok()) return done(SourceError{connected.error()});
    std::shared_ptr<ScreenGrabber> grabber = std::move(connected).value();
    Options o;
    {
        std::lock_guard g(m_);
        // Stopped while looking: nothing is kept, and the caller learns the capture never ran.
        if (stopped_) return done(stoppedError());
        capturing_ = true;
        bounds_ = bounds;
        ++region_;
        o = options_;
    }
    queue_->post([weak = weak_from_this(), grabber] {
        auto self = weak.lock();
        if (!self || self->isStopped()) return;
        self->capture_ = std::make_unique<Capture>();
        self->capture_->grabber = grabber;
        self->capture_->timer = self->queue_->makeTimer();
        self->arm();
    });
    Log::i("capture", "capturing display " + std::to_string(o.displayID) + " → " + std::to_string(o.width) + "×" +
                          std::to_string(o.height) + " @" + std::to_string(o.fps));
    done(std::nullopt);
}

void ScreenCaptureSource::update(DisplayId displayID, std::optional<Rect> sourceRect, StartCompletion completion) {
    auto done = [completion = std::move(completion)](std::optional<SourceError> error) {
        if (completion) completion(std::move(error));
    };
    DisplayId current;
    Rect bounds;
    bool running;
    {
        std::lock_guard g(m_);
        running = capturing_ && !stopped_;
        current = options_.displayID;
        bounds = bounds_;
    }
    if (!running) return done(displayNotFound(displayID));
    control_->post([weak = weak_from_this(), displayID, sourceRect, current, bounds, done] {
        auto self = weak.lock();
        if (!self) return done(stoppedError());
        if (displayID == current) {
            // Same display: its bounds may have moved since the start.
            auto now = self->env_.displayBounds ? self->env_.displayBounds(displayID) : std::nullopt;
            return self->applyRegion(displayID, now.value_or(bounds), sourceRect, done);
        }
        self->findDisplay(displayID, 1, [weak, displayID, sourceRect, done](std::optional<Rect> found) {
            auto self = weak.lock();
            if (!self) return done(stoppedError());
            if (!found) return done(self->isStopped() ? stoppedError() : displayNotFound(displayID));
            self->applyRegion(displayID, *found, sourceRect, done);
        });
    });
}

void ScreenCaptureSource::applyRegion(DisplayId id, Rect bounds, std::optional<Rect> sourceRect,
                                      const StartCompletion& done) {
    {
        std::lock_guard g(m_);
        if (stopped_) return done(stoppedError());
        options_.displayID = id;
        options_.sourceRect = sourceRect;
        bounds_ = bounds;
        ++region_;  // the next tick reads the new region, changed or not
    }
    // Following the drawing, the new region is read now rather than at the next drawing.
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->onDrawn();
    });
    done(std::nullopt);
}

void ScreenCaptureSource::setFrameRate(int fps) {
    bool live;
    {
        std::lock_guard g(m_);
        if (options_.fps == fps) return;
        options_.fps = fps;
        live = capturing_ && !stopped_;
    }
    if (live) {
        queue_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->arm();
        });
    }
}

void ScreenCaptureSource::onDrawn() {
    // Ticking, the next tick reads it; with the connection gone, the end was reported once.
    if (!capture_ || !capture_->drawing || capture_->due || capture_->grabber->lost()) return;
    Capture& cap = *capture_;
    const uint64_t period = intervalUs(options().fps);
    const uint64_t now = queue_->nowUs();
    cap.refill(now, period);
    cap.noticeUs = now;
    const auto untilBudget = uint64_t(std::ceil(std::max(0.0, 1 - cap.budget) * double(period) / kCatchUp));
    scheduleFrame(std::max(kStillUs, untilBudget));
    // Taken now, so that what is drawn from here on raises a notice of its own.
    cap.owed = cap.grabber->takeDamageAndSync() || cap.owed;
}

void ScreenCaptureSource::scheduleFrame(uint64_t delayUs) {
    capture_->due = true;
    capture_->timer->scheduleOnce(delayUs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->followingTick();
    });
}

void ScreenCaptureSource::followingTick() {
    if (!capture_) return;
    Capture& cap = *capture_;
    cap.due = false;
    const uint64_t period = intervalUs(options().fps);
    const uint64_t now = queue_->nowUs();
    cap.refill(now, period);
    // Still being drawn on: the frame waits for the rest of the drawing.
    const bool settling = cap.owed && double(now - cap.noticeUs) < kMaxSettle * double(period);
    if (settling && cap.grabber->takeDamageAndSync()) return scheduleFrame(kStillUs);
    // Once a frame: a screen drawn on all the time would otherwise never get one.
    if (!tick(!std::exchange(cap.redoing, false))) {
        cap.redoing = true;
        cap.noticeUs = now;
        return scheduleFrame(kStillUs);
    }
    cap.budget = std::max(0.0, cap.budget - 1);  // a timer a hair early does not run up a debt
    if (!capture_ || isStopped() || capture_->grabber->lost()) return;
    // A notice that came in with the read's reply is off the descriptor already.
    if (capture_->grabber->damagePending()) return onDrawn();
    if (std::exchange(capture_->waiting, true)) return;
    capture_->drawing->waitReadable([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->capture_) return;
        self->capture_->waiting = false;
        self->onDrawn();
    });
}

void ScreenCaptureSource::scheduleTicks(uint64_t firstDelayUs) {
    capture_->timer->scheduleRepeating(
        intervalUs(options().fps),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->tick(false);
        },
        kLeewayUs, firstDelayUs);
}

void ScreenCaptureSource::arm() {
    if (!capture_) return;
    Capture& cap = *capture_;
    if (!std::exchange(cap.modeChosen, true)) {
        // The pointer's motion damages nothing: a picture that carries it ticks.
        const int fd = options().showsCursor ? -1 : cap.grabber->damageFd();
        if (fd >= 0) cap.drawing = queue_->watchFd(fd);
        if (cap.drawing) {
            cap.budgetUs = queue_->nowUs();
            return scheduleFrame(0);  // the first frame at once; then the drawing leads
        }
    }
    // Following, a new rate applies from the next frame's budget on.
    if (!cap.drawing) scheduleTicks(0);
}

bool ScreenCaptureSource::tick(bool dropIfDrawnOn) {
    Options o;
    Rect bounds;
    uint64_t region;
    {
        std::lock_guard g(m_);
        if (stopped_ || !capture_) return true;
        o = options_;
        bounds = bounds_;
        region = region_;
    }
    Capture& cap = *capture_;
    if (cap.region != region) {
        cap.region = region;
        cap.area = areaOf(bounds, o.sourceRect);
        cap.force = true;
        cap.scaled = PixelBufferPool::make(PixelFormat::bgra, o.width, o.height, 1);
        cap.nv12 = PixelBufferPool::make(PixelFormat::nv12, o.width, o.height);
        if (cap.area.width == 0 || cap.area.height == 0) {
            Log::w("capture", "source rectangle lies outside display " + std::to_string(o.displayID));
        }
    }
    if (cap.grabber->lost()) {
        endOnItsOwn(SourceError{"connection to the X server lost"});
        return true;
    }
    // Idle: nothing drawn since the last frame.
    const bool owed = std::exchange(cap.owed, false);
    if (!cap.grabber->takeDamage(o.showsCursor) && !owed && !cap.force) return true;
    PixelBufferRef out = cap.nv12->take();
    if (!out || cap.area.width == 0 || cap.area.height == 0) return true;
    uint64_t captureUs = queue_->nowUs();
    auto image = cap.grabber->read(cap.area);
    if (!image) {
        if (cap.grabber->lost()) {
            endOnItsOwn(SourceError{"connection to the X server lost"});
            return true;
        }
        if (!cap.failing) Log::w("capture", "cannot read the screen area of display " + std::to_string(o.displayID));
        cap.failing = true;
        return true;
    }
    cap.failing = false;
    // Drawn on right after it was read: a drawing of several requests may be in it by halves (the
    // server serves a read between a busy client's requests, and the rest of them next). Checked
    // before the conversion, which a dropped frame does not need.
    if (dropIfDrawnOn && cap.grabber->damagePendingAfterRoundTrip()) {
        cap.owed = true;
        return false;
    }
    cap.force = false;
    if (o.showsCursor) cap.grabber->compositeCursor(*image, cap.area.x, cap.area.y);
    // Converted where the server put the pixels: a copy of a whole screen costs as much again.
    if (image->width != o.width || image->height != o.height) {
        PixelBufferRef scaled = cap.scaled->take();
        if (!scaled || !PixelConvert::scaleToNv12(image->view(), *scaled, *out, &cap.conversion)) {
            return true;
        }
    } else if (!PixelConvert::bgraToNv12(image->view(), *out, &cap.conversion)) {
        return true;
    }

    FrameHandler handler;
    {
        std::lock_guard g(m_);
        if (stopped_) return true;
        handler = onFrame_;
    }
    if (handler) handler(out, captureUs);
    return true;
}

void ScreenCaptureSource::endOnItsOwn(const SourceError& error) {
    capture_->timer->cancel();
    Log::w("capture", "stream stopped: " + error.description);
    ErrorHandler handler;
    {
        std::lock_guard g(m_);
        if (stopped_) return;
        handler = onError_;
    }
    if (handler) handler(error);
}

bool ScreenCaptureSource::halt() {
    std::lock_guard g(m_);
    if (stopped_) return false;
    stopped_ = true;
    capturing_ = false;
    onFrame_ = nullptr;
    onError_ = nullptr;
    return true;
}

void ScreenCaptureSource::stop() {
    if (halt()) {
        // In a later task: stop() may come from a frame handler inside the capture timer's task.
        queue_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->capture_.reset();
        });
    }
    // A frame or error being handed out has returned once the queue reached this point; the
    // handout after it sees the flag.
    queue_->drain();
}

}  // namespace kelvo
