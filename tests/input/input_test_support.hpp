#pragma once

// Drives input code in virtual time into a recording sink, with short builders for the event
// lines tests expect.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/input/input_context.hpp"
#include "core/input/recording_sink.hpp"

namespace kelvo::test {

// A region of 1000 × 1000 desktop points showing a tablet of 1000 × 1000 points: normalised 0.5
// is point 500 on both, and one tablet point scrolls one pixel.
inline const CoordinateMapper kSquareMapper{{0, 0, 1000, 1000}, {1000, 1000}};

struct InputRig {
    explicit InputRig(CoordinateMapper mapper = kSquareMapper, ResolvedProfile profile = {}, InputParams params = {})
        : ctx(sink, scheduler, mapper, params, profile) {}

    // "event" or "event flags=0x…", in posting order.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& e : sink->entries) {
            std::string line = describe(e.event);
            if (e.flags) {
                char buf[32];
                std::snprintf(buf, sizeof buf, " flags=0x%llx", static_cast<unsigned long long>(e.flags));
                line += buf;
            }
            out.push_back(line);
        }
        return out;
    }

    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(0);
    InputContext ctx;
};

using S = ScrollPhase;
using Mo = MomentumPhase;
using Lines = std::vector<std::string>;

inline std::string mv(double x, double y) { return describe(synth::Move{{x, y}}); }
inline std::string down(double x, double y, int clicks = 1, MouseButton b = MouseButton::left) {
    return describe(synth::Down{b, {x, y}, clicks});
}
inline std::string up(double x, double y, int clicks = 1, MouseButton b = MouseButton::left) {
    return describe(synth::Up{b, {x, y}, clicks});
}
inline std::string drag(double x, double y) { return describe(synth::Drag{MouseButton::left, {x, y}}); }
inline std::string scroll(int32_t dy, ScrollPhase phase, MomentumPhase momentum = MomentumPhase::none,
                          Point at = {500, 500}, int32_t dx = 0) {
    return describe(synth::Scroll{dx, dy, phase, momentum, at});
}
inline std::string key(uint16_t code, bool isDown, EventFlags flags) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " flags=0x%llx", static_cast<unsigned long long>(flags));
    return describe(synth::Key{code, isDown}) + (flags ? buf : "");
}

}  // namespace kelvo::test
