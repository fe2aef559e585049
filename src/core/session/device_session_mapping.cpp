#include "core/session/device_session.hpp"

#include <algorithm>

#include "core/display/display_configurator.hpp"
#include "core/input/input_service.hpp"
#include "core/input/tablet_mapping_controller.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"

namespace kelvo {

void DeviceSession::setInputMode(InputMode mode) {
    if (mode == inputMode_) return;
    if (input_) input_->setMode(mode);
    inputModeChanged(mode);
    if (input_ && ctrl_) ctrl_->sendJSON(MsgType::uiState, input_->currentUIState());
}

void DeviceSession::inputModeChanged(InputMode mode) {
    const InputMode old = inputMode_;
    inputMode_ = mode;
    if (identity_) {
        profiles_.update(identity_->key, identity_->name, [mode](DeviceProfile& profile) { profile.lastMode = mode; });
    }
    const auto kind = state_.kind();
    if (kind != State::Kind::streaming && kind != State::Kind::paused) return;
    const bool entering = mode == InputMode::tabletMapping && old != InputMode::tabletMapping;
    const bool leaving = old == InputMode::tabletMapping && mode != InputMode::tabletMapping;
    if (entering) enterMapping();
    if (leaving) exitMapping();
    // Input-only mapping pauses the video: the state must say so at once, and leaving resumes.
    if (entering || leaving) updatePause();
    if (onStateChange) onStateChange(*this);
}

void DeviceSession::enterMapping() {
    if (mapping_) mapping_->stop();
    const double aspect = hello_ ? [&] {
        Size pt = StreamSetup::tabletPoints(*hello_);
        return pt.width / pt.height;
    }()
                                 : 1024.0 / 768.0;
    auto frontWindow = env_.frontWindowBounds;
    if (!frontWindow) frontWindow = [] { return std::optional<Rect>(); };
    mapping_ = std::make_shared<TabletMappingController>(aspect, env_.main, env_.displayServices,
                                                         std::move(frontWindow));
    mapping_->onRegionChange = [weak = weak_from_this()](const Rect& region, DisplayId display) {
        if (auto self = weak.lock()) self->mappingRegionChanged(region, display);
    };
    const Settings settings = settings_.settings();
    Log::i("mapping", "tablet mapping on");
    mapping_->start(settings.mappingArea, settings.mappingCustomRect, effectiveMappingDisplayID());
    if (settings.mappingView == TabletMappingView::inputOnly && link_) link_->pause(StreamStopReason::inputOnly);
}

void DeviceSession::mappingRegionChanged(const Rect& rect, DisplayId displayID) {
    if (!hello_ || !selection_ || state_.isClosed()) return;
    if (input_) input_->setMapper(CoordinateMapper{rect, StreamSetup::tabletPoints(*hello_)});
    if (!link_) return;
    link_->setCursorRegion(rect);
    if (settings_.settings().mappingView != TabletMappingView::preview) return;

    const Rect local = localSourceRect(rect, displayID);
    CaptureLink::Place place = capturePlace();
    place.displayID = displayID;
    place.sourceRect = local;
    link_->switchSource(place, [weak = weak_from_this(), displayID, local](std::optional<SourceError> error) {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        if (error) {
            Log::w("mapping", "preview capture failed: " + error->description);
        } else {
            Log::i("mapping", "preview capture active on display " + std::to_string(displayID) + ", localRect=(" +
                                  std::to_string(int64_t(local.x)) + ", " + std::to_string(int64_t(local.y)) + ", " +
                                  std::to_string(int64_t(local.width)) + ", " + std::to_string(int64_t(local.height)) +
                                  ")");
        }
        self->requestKeyframe();
    });
}

void DeviceSession::exitMapping() {
    if (mapping_) {
        mapping_->stop();
        mapping_->onRegionChange = nullptr;
        mapping_.reset();
        Log::i("mapping", "tablet mapping off");
    }
    if (!hello_ || !selection_) return;
    if (input_) input_->setMapper(CoordinateMapper{region_, StreamSetup::tabletPoints(*hello_)});
    if (!link_) return;
    link_->setCursorRegion(region_);
    link_->switchSource(capturePlace(), [weak = weak_from_this()](std::optional<SourceError>) {
        auto self = weak.lock();
        if (!self || self->state_.isClosed()) return;
        self->updatePause();
        self->requestKeyframe();
    });
}

void DeviceSession::streamingSettingsChanged(const Settings& old, const Settings& now) {
    if (old.preset != now.preset) applyPreset(0);
    if (old.hideCursorOnTouch != now.hideCursorOnTouch && link_) link_->setHideCursorOnTouch(now.hideCursorOnTouch);
    if (old.cursorMode != now.cursorMode && state_.kind() == State::Kind::streaming && link_) {
        // The pointer is drawn by the tablet or burned into the capture: both change together.
        startCursor();
        link_->restart();
    }
    const bool mappingChanged = old.mappingArea != now.mappingArea || old.mappingCustomRect != now.mappingCustomRect ||
                                old.mappingDisplayID != now.mappingDisplayID || old.mappingView != now.mappingView;
    if (!mappingChanged || inputMode_ != InputMode::tabletMapping) return;
    if (mapping_) mapping_->start(now.mappingArea, now.mappingCustomRect, effectiveMappingDisplayID());
    updatePause();
    if (old.mappingView == TabletMappingView::inputOnly && now.mappingView == TabletMappingView::preview && mapping_) {
        mappingRegionChanged(mapping_->region(), mapping_->targetDisplayID());
    }
}

DisplayId DeviceSession::effectiveMappingDisplayID() const {
    DisplayConfigurator displays(*env_.displayServices);
    const DisplayId id = settings_.settings().mappingDisplayID;
    if (id == 0) return displays.mainDisplay();
    auto online = displays.onlineDisplays();
    if (id != displayID_ && std::find(online.begin(), online.end(), id) != online.end()) return id;
    return displays.mainDisplay();
}

}  // namespace kelvo
