#include "core/session/device_session.hpp"

#include <algorithm>

#include "core/display/display_configurator.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/input/front_app_observer.hpp"
#include "core/input/input_service.hpp"
#include "core/input/key_layout_map.hpp"
#include "core/input/logging_sink.hpp"
#include "core/input/trace_recorder.hpp"
#include "core/session/permissions.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {

// 电脑缺少辅助功能权限，触控暂不可用
const std::string kNoAccessibilityToast = "\u7535\u8111\u7F3A\u5C11\u8F85\u52A9\u529F\u80FD\u6743\u9650\uFF0C\u89E6\u63A7\u6682\u4E0D\u53EF\u7528";
constexpr int64_t kToastMs = 1200;
constexpr int64_t kNoAccessibilityToastMs = 4000;

const std::string kReasonAppInBackground = "iPad \u4E0D\u5728\u524D\u53F0";   // iPad 不在前台
const std::string kReasonDisplayAsleep = "\u7535\u8111\u663E\u793A\u5668\u7761\u7720";  // 电脑显示器睡眠
const std::string kReasonUserPaused = "\u5DF2\u6682\u505C";                     // 已暂停
const std::string kReasonInputOnly = "\u7EAF\u8F93\u5165";                      // 纯输入

}  // namespace

void DeviceSession::setUpInput(const HelloMsg& hello) {
    const Settings settings = settings_.settings();
    const bool trusted = env_.permissions && env_.permissions->accessibility();
    inputQueue_ = env_.makeQueue("kv.input");
    if (options_.inject && trusted && env_.makeEventSink) sink_ = env_.makeEventSink(inputQueue_);
    if (!sink_) {
        if (options_.inject && !trusted) {
            Log::w("input", "no permission to post input: touch input is logged only");
        } else if (options_.inject) {
            Log::w("input", "the desktop cannot take input events: touch input is logged only");
        }
        sink_ = std::make_shared<LoggingSink>();
    }
    // Not shared with the input queue yet: set directly.
    sink_->setLocked(env_.power && env_.power->locked());

    auto trace = settings.traceRecording ? TraceRecorder::create() : nullptr;
    frontApp_ = env_.makeFrontAppObserver ? env_.makeFrontAppObserver() : nullptr;
    const SizeD points = hello.screenPoints();
    // The region stays empty until the display is known: the service drops touches until then.
    const CoordinateMapper mapper{Rect{}, Size{points.width, points.height}};
    const auto bundleID = frontApp_ ? frontApp_->bundleID() : std::nullopt;
    auto service = std::make_shared<InputService>(sink_, mapper, InputParams::fromSettings(settings),
                                                  appProfiles_.resolve(bundleID, settings), inputMode_, inputQueue_,
                                                  nullptr, std::move(trace));
    service->setKeyLayout(KeyLayoutMap::current());

    // Callbacks run on the input queue: they reach the channel directly (it hops to its queue)
    // and the rest of the session through the main queue.
    std::weak_ptr<Channel> ctrl = ctrl_;
    service->onUIState = [ctrl](const UIStateMsg& state) {
        if (auto channel = ctrl.lock()) channel->sendJSON(MsgType::uiState, state);
    };
    service->onToast = [ctrl](const std::string& text) {
        if (auto channel = ctrl.lock()) channel->sendJSON(MsgType::toast, ToastMsg{text, kToastMs});
    };
    std::weak_ptr<DeviceSession> weak = weak_from_this();
    // The cursor service is replaced on the main queue: it is looked up there.
    service->onTouchActivity = [main = toMain()](bool active) {
        main([active](DeviceSession& self) {
            if (self.link_ && !self.state_.isClosed()) self.link_->touchActivity(active);
        });
    };
    service->onModeChange = [main = toMain()](InputMode mode) {
        main([mode](DeviceSession& self) {
            if (!self.state_.isClosed()) self.inputModeChanged(mode);
        });
    };
    if (frontApp_) {
        std::weak_ptr<InputService> weakService = service;
        frontApp_->onChange = [weak, weakService](const std::optional<std::string>& bundle) {
            auto self = weak.lock();
            auto input = weakService.lock();
            if (!self || !input) return;
            input->setProfile(self->appProfiles_.resolve(bundle, self->settings_.settings()));
        };
    }
    input_ = service;
    ctrlQueue_->post([weak = weak_from_this(), service] {
        if (auto self = weak.lock(); self && !self->state_.isClosed()) self->ctrlInput_ = service;
    });

    if (options_.inject && !trusted) {
        ctrl_->sendJSON(MsgType::toast, ToastMsg{kNoAccessibilityToast, kNoAccessibilityToastMs});
    }
}

void DeviceSession::settingsChanged(const Settings& old, const Settings& now) {
    if (state_.isClosed()) return;
    if (old.followBrightness != now.followBrightness || old.brightnessOffset != now.brightnessOffset) {
        sendHostState();
    }
    if (old.pipeline != now.pipeline || old.statsOverlay != now.statsOverlay || old.ipadLogLevel != now.ipadLogLevel ||
        old.orientation != now.orientation) {
        // The orientation resolved at the greeting stays for the session.
        ctrl_->sendJSON(MsgType::config, configMessage());
    }
    if (old.sidebarEdge != now.sidebarEdge || old.sidebarAutoHide != now.sidebarAutoHide ||
        old.sidebarAutoHideMs != now.sidebarAutoHideMs) {
        ctrl_->sendJSON(MsgType::uiLayout, uiLayoutMessage());
    }
    if (input_) {
        input_->setParams(InputParams::fromSettings(now));
        input_->setProfile(appProfiles_.resolve(frontApp_ ? frontApp_->bundleID() : std::nullopt, now));
    }
    if (old.mirrorMain != now.mirrorMain && displayID_ != 0 && env_.displayServices) {
        DisplayConfigurator configurator(*env_.displayServices);
        configurator.setMirroring(displayID_, now.mirrorMain ? std::optional(configurator.mainDisplay()) : std::nullopt);
    }
    if ((old.fpsCap != now.fpsCap || old.bitrateMbps != now.bitrateMbps) && selection_ && link_) {
        // The limits the stream started with: a hand-edited value is replaced, not taken.
        link_->reconfigure(StreamSetup::streamerConfig(*selection_, now));
    }
    streamingSettingsChanged(old, now);
}

void DeviceSession::updatePause() {
    const auto kind = state_.kind();
    if (kind != State::Kind::streaming && kind != State::Kind::paused) return;
    const bool inputOnly =
        inputMode_ == InputMode::tabletMapping && settings_.settings().mappingView == TabletMappingView::inputOnly;
    std::optional<std::string> reason;
    if (appPaused_) {
        reason = kReasonAppInBackground;
    } else if (env_.power && env_.power->displayAsleep()) {
        reason = kReasonDisplayAsleep;
    } else if (userPaused_) {
        reason = kReasonUserPaused;
    } else if (inputOnly) {
        reason = kReasonInputOnly;
    }
    if (reason) {
        setState(State::paused(*reason));
        const auto stopReason = *reason == kReasonInputOnly ? StreamStopReason::inputOnly : StreamStopReason::paused;
        if (link_) link_->pause(stopReason);
    } else {
        setState(State::streaming());
        if (link_) link_->resume();
    }
}

}  // namespace kelvo
