#pragma once

#include <vector>

#include "core/input/event_sink.hpp"

namespace kelvo {

// Keeps what it is given, for driving input code without injecting. Input queue only.
class RecordingSink final : public EventSink {
public:
    struct Entry {
        SynthEvent event;
        EventFlags flags = EventFlag::none;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    void post(const SynthEvent& event, EventFlags flags) override { entries.push_back({event, flags}); }
    void declareUserActivity() override { ++userActivityCount; }
    void setLocked(bool isLocked) override { locked = isLocked; }

    // The events of `entries`, in order.
    std::vector<SynthEvent> events() const;
    // Empties `entries` (the activity count stays).
    void clear() { entries.clear(); }

    std::vector<Entry> entries;
    int userActivityCount = 0;
    bool locked = false;  // the last state the owner set
};

}  // namespace kelvo
