#include "core/input/input_context.hpp"

namespace kelvo {

InputContext::InputContext(std::shared_ptr<EventSink> sink, std::shared_ptr<InputScheduler> scheduler,
                           CoordinateMapper mapper, InputParams params, ResolvedProfile profile)
    : mapper(mapper),
      params(std::move(params)),
      profile(std::move(profile)),
      sink_(std::move(sink)),
      scheduler_(std::move(scheduler)) {}

void InputContext::post(const SynthEvent& event, EventFlags extra) {
    sink_->post(event, modifierFlags() | extra);
    ++eventsPosted_;
}

void InputContext::combo(const KeyCombo& c) {
    post(synth::Key{c.keyCode, true}, c.flags);
    post(synth::Key{c.keyCode, false}, c.flags);
    onInputCompleted();
}

void InputContext::updateTouching(bool active) {
    if (active == touching_) return;
    touching_ = active;
    onTouchActivity(active);
}

}  // namespace kelvo
