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
#include "core/video/video_streamer.hpp"

namespace kelvo {

namespace {

constexpr int kPresetRetries = 11;
constexpr uint64_t kPresetRetryUs = 250'000;

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

    if (!videoRoute_) videoRoute_ = std::make_shared<VideoRoute>();
    auto link = CaptureLink::make({env_, videoQueue_, ctrl_, video_, clock_, stats_,
                                   options_.frameSource == HostOptions::FrameSourceKind::testPattern});
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    link->place = [weak] {
        auto self = weak.lock();
        return self ? self->capturePlace() : CaptureLink::Place{};
    };
    link->onEnd = [weak](const std::string& reason, const std::string& byeWord) {
        if (auto self = weak.lock()) self->end(reason, true, byeWord);
    };
    const auto failed = link->start(StreamSetup::streamerConfig(*selection_, settings),
                                    [route = videoRoute_](const std::shared_ptr<VideoStreamer>& streamer) {
                                        route->streamer = streamer;
                                    });
    if (failed) {
        startFailed(failed->description());
        return;
    }
    link_ = link;

    if (input_) input_->setMapper(CoordinateMapper{region_, StreamSetup::tabletPoints(*hello_)});
    startCursor();
    const Rect captured = region_;
    link_->startSource(capturePlace(), [weak, captured](std::optional<SourceError> error) {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        if (error) {
            Log::e("session", "capture failed: " + error->description);
            if (self->env_.permissions && !self->env_.permissions->screenCapture() && self->ctrl_) {
                self->ctrl_->sendJSON(MsgType::toast, ToastMsg{"电脑缺少录屏权限", 4000});
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
        if (self->region_ != captured && self->inputMode_ != InputMode::tabletMapping) self->link_->follow();
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
    if (!link_) return;
    link_->setCursorRegion(region_);
    // A capture still starting catches up when its start completes.
    const auto kind = state_.kind();
    if (kind == State::Kind::streaming || kind == State::Kind::paused) link_->follow();
}

void DeviceSession::startCursor() {
    if (!link_) return;
    const Settings settings = settings_.settings();
    const bool wanted = options_.cursor && settings.cursorMode == CursorMode::overlay && selection_;
    link_->startCursor(wanted, region_, settings.hideCursorOnTouch);
}

CaptureLink::Place DeviceSession::capturePlace() const {
    const bool showsCursor = settings_.settings().cursorMode == CursorMode::burnedIn;
    if (inputMode_ == InputMode::tabletMapping && mapping_) {
        const DisplayId target = mapping_->targetDisplayID();
        return {target, localSourceRect(mapping_->region(), target), showsCursor};
    }
    return {displayID_, std::nullopt, showsCursor};
}

Rect DeviceSession::localSourceRect(const Rect& rect, DisplayId display) const {
    return StreamSetup::localSourceRect(rect, DisplayConfigurator(*env_.displayServices).bounds(display));
}

void DeviceSession::requestKeyframe() {
    if (link_) link_->requestKeyframe();
}

}  // namespace kelvo
