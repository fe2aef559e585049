#include "core/input/recording_sink.hpp"

namespace kelvo {

std::vector<SynthEvent> RecordingSink::events() const {
    std::vector<SynthEvent> out;
    out.reserve(entries.size());
    for (const auto& e : entries) out.push_back(e.event);
    return out;
}

}  // namespace kelvo
