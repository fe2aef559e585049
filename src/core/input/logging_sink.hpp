#pragma once

#include "core/input/event_sink.hpp"

namespace kelvo {

// Injects nothing: logs each event at debug level with the tag "inject" (used when injection is
// off or not permitted). Typed text appears by its length only.
class LoggingSink final : public EventSink {
public:
    void post(const SynthEvent& event, EventFlags flags) override;
    void declareUserActivity() override {}
};

}  // namespace kelvo
