// Stored probe results and the tablet's cached probe outcomes, as the selection rules meet them:
// the first byte picks the input kind and the policy. Decoded records must encode back to
// themselves, and a selection must name a rung that was given and judged usable.
#include <algorithm>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/video/probe_ladder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    using namespace kelvo;
    const std::span<const uint8_t> body(data + 1, size - 1);
    const auto policy = data[0] & 1 ? QualityPolicy::smoothness : QualityPolicy::clarity;
    if (data[0] & 2) {
        const auto cache = decodeJson<std::vector<HelloMsg::ProbeCacheEntry>>(body);
        if (!cache) return 0;
        const auto ladder = ProbeRung::ladder(data[0] & 4 ? Orientation::portrait : Orientation::landscape);
        if (const auto chosen = ProbeSelector::fromCache(*cache, ladder, policy)) {
            if (std::none_of(ladder.begin(), ladder.end(), [&](const ProbeRung& r) { return r.name == chosen->rungName; })) {
                std::abort();
            }
        }
        return 0;
    }
    auto stored = decodeJson<std::vector<RungResult>>(body);
    if (!stored) return 0;
    if (decodeJson<std::vector<RungResult>>(encodeWire(toJson(*stored))) != stored) std::abort();
    for (auto& r : *stored) {
        (void)r.summary();
        r = RungResult::judged(r);
    }
    if (const auto chosen = ProbeSelector::select(*stored, policy)) {
        const bool given = std::any_of(stored->begin(), stored->end(), [&](const RungResult& r) {
            return r.rung.name == chosen->rungName && r.verdict != ProbeVerdict::unusable;
        });
        if (!given || (chosen->maxFps != 60 && chosen->maxFps != 30)) std::abort();
    }
    return 0;
}
