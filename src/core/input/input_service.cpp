#include "core/input/input_service.hpp"

#include <algorithm>

#include "core/input/draw_mode_recognizer.hpp"
#include "core/input/sidebar_item.hpp"
#include "core/input/touch_mode_recognizer.hpp"
#include "core/protocol/records.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

namespace {

bool drawing(InputMode mode) { return mode == InputMode::draw || mode == InputMode::tabletMapping; }

std::shared_ptr<InputScheduler> schedulerOn(std::shared_ptr<InputScheduler> given, std::shared_ptr<Executor> queue) {
    if (given) return given;
    return std::make_shared<QueueScheduler>(std::move(queue));
}

}  // namespace

InputService::InputService(std::shared_ptr<EventSink> sink, CoordinateMapper mapper, InputParams params,
                           ResolvedProfile profile, InputMode mode, std::shared_ptr<Executor> queue,
                           std::shared_ptr<InputScheduler> scheduler, std::unique_ptr<TraceRecorder> trace)
    : queue_(queue),
      scheduler_(schedulerOn(std::move(scheduler), queue)),
      ctx_(std::move(sink), scheduler_, mapper, std::move(params), std::move(profile)),
      mode_(mode),
      keyboard_(ctx_),
      trace_(std::move(trace)) {
    recognizer_ = makeRecognizer();
    ctx_.modifierFlags = [this] { return modifiers_.flags(); };
    ctx_.onInputBegan = [this] { modifiers_.noteInput(); };
    ctx_.onInputCompleted = [this] { modifiers_.inputCompleted(); };
    ctx_.onTouchActivity = [this](bool touching) {
        if (onTouchActivity) onTouchActivity(touching);
    };
    modifiers_.emit = [this](const SynthEvent& event) { ctx_.sink().post(event, EventFlag::none); };
    modifiers_.onChange = [this] { publishUIState(); };
    ctx_.sink().setSpoofWacom(ctx_.params.spoofWacom);
}

// Timers of the recognizers were cancelled by stop(); what is left holds no queued work.
InputService::~InputService() = default;

std::unique_ptr<TouchRecognizer> InputService::makeRecognizer() {
    if (drawing(mode_)) return std::make_unique<DrawModeRecognizer>(ctx_);
    return std::make_unique<TouchModeRecognizer>(ctx_);
}

void InputService::onQueue(std::function<void(InputService&)> work) {
    queue_->post([weak = weak_from_this(), work = std::move(work)] {
        auto self = weak.lock();
        if (self && !self->stopped_) work(*self);
    });
}

void InputService::handle(WireMessage message) {
    onQueue([message = std::move(message)](InputService& self) { self.process(message); });
}

void InputService::setMode(InputMode mode) {
    onQueue([mode](InputService& self) { self.switchMode(mode, false); });
}

void InputService::setMapper(CoordinateMapper mapper) {
    onQueue([mapper](InputService& self) { self.ctx_.mapper = mapper; });
}

void InputService::setParams(InputParams params) {
    onQueue([params = std::move(params)](InputService& self) {
        self.ctx_.params = params;
        self.ctx_.sink().setSpoofWacom(params.spoofWacom);
    });
}

void InputService::setProfile(ResolvedProfile profile) {
    onQueue([profile = std::move(profile)](InputService& self) { self.ctx_.profile = profile; });
}

void InputService::setKeyLayout(KeyLayoutMap layout) {
    onQueue([layout = std::move(layout)](InputService& self) { self.ctx_.keyLayout = layout; });
}

void InputService::stop() {
    runSync(*queue_, [this] {
        if (stopped_) return;
        recognizer_->reset();
        keyboard_.releaseAll();
        modifiers_.releaseAll();
        // A hidden cursor must come back even though no lift will be reported any more.
        ctx_.updateTouching(false);
        stopped_ = true;
    });
}

UIStateMsg InputService::currentUIState() {
    return runSync(*queue_, [this] { return makeUIState(); });
}

void InputService::process(const WireMessage& message) {
    const auto type = message.type();
    if (!type) return;
    switch (*type) {
        case MsgType::touchFrame:
            if (auto frame = TouchFrame::parse(message.payload)) {
                touchFrame(*frame);
            } else {
                Log::w("input", [&] { return "bad TOUCH_FRAME (" + std::to_string(message.payload.size()) + " B)"; });
            }
            break;
        case MsgType::uiEvent:
            if (auto event = message.load<KVUIEvent>()) sidebar(event->item, event->phase);
            break;
        case MsgType::textInput: {
            const std::string_view text(reinterpret_cast<const char*>(message.payload.data()), message.payload.size());
            if (!isValidUtf8(text)) break;
            if (trace_) trace_->recordText(text, Clock::nowUs());
            // The desktop's layout may have been switched since the session began.
            if (auto layout = KeyLayoutMap::fromInstalledSource()) ctx_.keyLayout = std::move(*layout);
            keyboard_.text(text);
            break;
        }
        case MsgType::keyEvent:
            if (auto event = message.load<KVKeyEvent>()) keyboard_.key(event->keyCode, event->down != 0);
            break;
        case MsgType::keyboardState:
            if (auto state = Wire::decodeJSON<KeyboardStateMsg>(message.payload)) {
                if (onKeyboardState) onKeyboardState(*state);
            }
            break;
        default: break;
    }
}

void InputService::touchFrame(const TouchFrame& frame) {
    if (trace_) trace_->record(frame);
    const auto live = [](const TouchSample& s) { return s.isActive(); };
    if (!(ctx_.mapper.region.width > 0 && ctx_.mapper.region.height > 0)) {
        // The display is not known yet (a session still shaking hands): every touch would land
        // at the desktop's origin. Touches down now are ignored until they have all lifted.
        awaitingLift_ = std::any_of(frame.touches.begin(), frame.touches.end(), live);
        return;
    }
    if (std::any_of(frame.touches.begin(), frame.touches.end(),
                    [](const TouchSample& s) { return s.phase == TouchPhase::began; })) {
        modifiers_.noteInput();
    }
    if (awaitingLift_) {
        // Fingers down at the mode change are ignored until all have lifted; the lift is still
        // reported, or the cursor would stay hidden.
        const bool touching = std::any_of(frame.touches.begin(), frame.touches.end(), live);
        if (!touching) awaitingLift_ = false;
        ctx_.updateTouching(touching);
        return;
    }
    recognizer_->handle(frame);
    const uint64_t now = ctx_.scheduler().nowUs();
    if (!lastActivityUs_ || now >= *lastActivityUs_ + kActivityIntervalUs) {
        lastActivityUs_ = now;
        ctx_.sink().declareUserActivity();
    }
}

void InputService::sidebar(int item, uint8_t phase) {
    const uint64_t now = ctx_.scheduler().nowUs();
    if (ModifierState::isModifier(item)) {
        if (phase == 0) modifiers_.buttonDown(item, now);
        else if (phase == 1) modifiers_.buttonUp(item, now);
        else modifiers_.buttonCancel(item);
        return;
    }
    if (phase == 0) {
        modifiers_.noteInput();
        return;
    }
    if (phase != 1) return;
    switch (item) {
        case SidebarItem::undo: ctx_.combo(KeyCombo::undo); break;
        case SidebarItem::redo: ctx_.combo(KeyCombo::redo); break;
        case SidebarItem::escape: ctx_.combo(KeyCombo::escape); break;
        case SidebarItem::drawMode: switchMode(mode_ == InputMode::touch ? InputMode::draw : InputMode::touch, true); break;
        case SidebarItem::eraser:
            if (mode_ == InputMode::touch) break;
            ctx_.eraser = !ctx_.eraser;
            if (onToast) onToast(ctx_.eraser ? "\u6A61\u76AE\u64E6" : "\u753B\u7B14");  // 橡皮擦 / 画笔
            publishUIState();
            break;
        case SidebarItem::keyboard:
        case SidebarItem::hideSidebar:
            Log::d("input", [&] { return "local sidebar item " + std::to_string(item); });
            break;
        default: Log::w("input", [&] { return "unknown sidebar item " + std::to_string(item); }); break;
    }
}

void InputService::switchMode(InputMode mode, bool announce) {
    if (mode == mode_) return;
    // Only fingers already down belong to the old mode; with none down the next touch is the
    // new mode's own and must not be lost.
    const bool fingersDown = ctx_.touching();
    recognizer_->reset();
    keyboard_.releaseAll();  // a key held across the change would stay down
    mode_ = mode;
    if (mode_ == InputMode::touch) ctx_.eraser = false;
    recognizer_ = makeRecognizer();
    awaitingLift_ = fingersDown;
    Log::i("input", [&] { return "mode \u2192 " + std::string(rawValue(mode_)); });
    if (announce) {
        if (onModeChange) onModeChange(mode_);
        if (onToast) onToast(mode_ == InputMode::touch ? "\u89E6\u63A7\u6A21\u5F0F" : "\u753B\u677F\u6A21\u5F0F");  // 触控模式 / 画板模式
    }
    publishUIState();
}

UIStateMsg InputService::makeUIState() const { return UIStateMsg::make(mode_, modifiers_.uiItems(), ctx_.eraser); }

void InputService::publishUIState() {
    if (onUIState) onUIState(makeUIState());
}

}  // namespace kelvo
