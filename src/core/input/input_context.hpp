#pragma once

#include <functional>
#include <memory>

#include "core/input/app_profile.hpp"
#include "core/input/coordinate_mapper.hpp"
#include "core/input/event_sink.hpp"
#include "core/input/input_params.hpp"
#include "core/input/input_scheduler.hpp"
#include "core/input/key_combo.hpp"
#include "core/input/key_layout_map.hpp"

namespace kelvo {

// What the recognizers and synthesizers of one input service share. The service owns it and
// replaces mapper, params and profile between frames; readers take them anew at each use.
// Input queue only. Recognizers and synthesizers hold it by reference: it outlives them.
class InputContext {
public:
    InputContext(std::shared_ptr<EventSink> sink, std::shared_ptr<InputScheduler> scheduler, CoordinateMapper mapper,
                 InputParams params, ResolvedProfile profile);

    CoordinateMapper mapper;
    InputParams params;
    ResolvedProfile profile;
    KeyLayoutMap keyLayout = KeyLayoutMap::usANSI();
    bool eraser = false;  // the pen draws as an eraser (draw modes only)

    EventSink& sink() const { return *sink_; }
    InputScheduler& scheduler() const { return *scheduler_; }
    // Synthetic events posted through post() so far.
    int eventsPosted() const { return eventsPosted_; }

    // Hooks the service links to the sidebar modifiers; the defaults do nothing.
    std::function<EventFlags()> modifierFlags = [] { return EventFlag::none; };
    std::function<void()> onInputBegan = [] {};
    std::function<void()> onInputCompleted = [] {};
    std::function<void(bool)> onTouchActivity = [](bool) {};

    // Posts one event with the sidebar's modifier flags (read anew for every event) OR `extra`.
    void post(const SynthEvent& event, EventFlags extra = EventFlag::none);
    // Key down and up of the combo with its flags added, then onInputCompleted (which releases
    // one-shot sidebar modifiers).
    void combo(const KeyCombo& combo);
    // Whether fingers are tracked; reports onTouchActivity only when that changes.
    void updateTouching(bool active);
    bool touching() const { return touching_; }

private:
    std::shared_ptr<EventSink> sink_;
    std::shared_ptr<InputScheduler> scheduler_;
    int eventsPosted_ = 0;
    bool touching_ = false;
};

}  // namespace kelvo
