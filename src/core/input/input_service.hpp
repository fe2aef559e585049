#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/input/input_context.hpp"
#include "core/input/keyboard_synthesizer.hpp"
#include "core/input/modifier_state.hpp"
#include "core/input/touch_recognizer.hpp"
#include "core/input/trace_recorder.hpp"
#include "core/protocol/control_messages.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/runtime/executor.hpp"

namespace kelvo {

// The entry of all tablet input: touch frames, sidebar events, text, special keys and the tablet
// keyboard's state. Work runs on `queue` ("kv.input"); the recognizer of the current mode, the
// keyboard synthesizer and the sticky sidebar modifiers post through the sink. After a mode
// change, touches already down are ignored until every finger has lifted. Touch frames are
// dropped while the mapper's region is empty (the display is not known yet), and touches down
// then stay ignored until they lift.
// Hold it in a shared_ptr: queued work finds nothing once it is gone. Set the callbacks before
// the first message; they run on the queue. Lifecycle: construct → messages → stop() (final:
// afterwards nothing is injected and no callback runs) → destroy.
class InputService : public std::enable_shared_from_this<InputService> {
public:
    // `scheduler`: the timers of input code, by default on `queue`; `trace`: optional.
    InputService(std::shared_ptr<EventSink> sink, CoordinateMapper mapper, InputParams params, ResolvedProfile profile,
                 InputMode mode, std::shared_ptr<Executor> queue, std::shared_ptr<InputScheduler> scheduler = nullptr,
                 std::unique_ptr<TraceRecorder> trace = nullptr);
    ~InputService();
    InputService(const InputService&) = delete;
    InputService& operator=(const InputService&) = delete;

    // One input message from the control stream. Returns at once; processed on the queue in call
    // order with the setters. Malformed messages are dropped (bad touch frames with a warning).
    void handle(WireMessage message);
    // Take effect on the queue at the next message. A mode change here is not announced.
    void setMode(InputMode mode);
    void setMapper(CoordinateMapper mapper);
    void setParams(InputParams params);
    void setProfile(ResolvedProfile profile);
    // The layout typed characters are looked up in; where KeyLayoutMap has an installed source,
    // each text message reads it again so that a layout switch is followed.
    void setKeyLayout(KeyLayoutMap layout);

    // Ends any gesture, releases held keys and sidebar modifiers and reports that no finger is
    // down; waits for the queue (runs inline on it). Idempotent.
    void stop();
    // The sidebar state as the tablet shows it; waits for the queue (runs inline on it).
    UIStateMsg currentUIState();

    std::function<void(const UIStateMsg&)> onUIState;
    std::function<void(InputMode)> onModeChange;  // mode changed from the sidebar
    std::function<void(bool)> onTouchActivity;    // fingers on the glass or not
    std::function<void(const std::string&)> onToast;
    std::function<void(const KeyboardStateMsg&)> onKeyboardState;

    // Minimum spacing of user-activity declarations while touch frames arrive.
    static constexpr uint64_t kActivityIntervalUs = 1'000'000;

private:
    void onQueue(std::function<void(InputService&)> work);
    void process(const WireMessage& message);
    void touchFrame(const TouchFrame& frame);
    void sidebar(int item, uint8_t phase);
    void switchMode(InputMode mode, bool announce);
    UIStateMsg makeUIState() const;
    void publishUIState();
    std::unique_ptr<TouchRecognizer> makeRecognizer();

    std::shared_ptr<Executor> queue_;
    std::shared_ptr<InputScheduler> scheduler_;
    InputContext ctx_;
    InputMode mode_;
    ModifierState modifiers_;
    KeyboardSynthesizer keyboard_;
    std::unique_ptr<TouchRecognizer> recognizer_;
    std::unique_ptr<TraceRecorder> trace_;
    bool awaitingLift_ = false;
    std::optional<uint64_t> lastActivityUs_;
    bool stopped_ = false;
};

}  // namespace kelvo
