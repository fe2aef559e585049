#include "core/input/synth_event.hpp"

#include <cstdio>

namespace kelvo {

namespace {

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

std::string pt(Point p) { return "(" + num(p.x) + ", " + num(p.y) + ")"; }

const char* name(MouseButton b) {
    switch (b) {
        case MouseButton::left: return "left";
        case MouseButton::right: return "right";
        case MouseButton::middle: return "middle";
    }
    return "?";
}

const char* name(ScrollPhase p) {
    switch (p) {
        case ScrollPhase::none: return "none";
        case ScrollPhase::began: return "began";
        case ScrollPhase::changed: return "changed";
        case ScrollPhase::ended: return "ended";
        case ScrollPhase::cancelled: return "cancelled";
        case ScrollPhase::mayBegin: return "mayBegin";
    }
    return "?";
}

const char* name(MomentumPhase p) {
    switch (p) {
        case MomentumPhase::none: return "none";
        case MomentumPhase::begin: return "begin";
        case MomentumPhase::continue_: return "continue";
        case MomentumPhase::end: return "end";
    }
    return "?";
}

const char* name(GesturePhase p) {
    switch (p) {
        case GesturePhase::began: return "began";
        case GesturePhase::changed: return "changed";
        case GesturePhase::ended: return "ended";
    }
    return "?";
}

const char* name(TabletAction a) {
    switch (a) {
        case TabletAction::down: return "down";
        case TabletAction::drag: return "drag";
        case TabletAction::up: return "up";
    }
    return "?";
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

struct Describer {
    std::string operator()(const synth::Move& e) const { return "move(" + pt(e.point) + ")"; }
    std::string operator()(const synth::Down& e) const {
        return std::string("down(") + name(e.button) + ", " + pt(e.point) + ", clicks: " + std::to_string(e.clicks) + ")";
    }
    std::string operator()(const synth::Drag& e) const {
        return std::string("drag(") + name(e.button) + ", " + pt(e.point) + ")";
    }
    std::string operator()(const synth::Up& e) const {
        return std::string("up(") + name(e.button) + ", " + pt(e.point) + ", clicks: " + std::to_string(e.clicks) + ")";
    }
    std::string operator()(const synth::Scroll& e) const {
        return "scroll(dx: " + std::to_string(e.dx) + ", dy: " + std::to_string(e.dy) + ", phase: " + name(e.phase) +
               ", momentum: " + name(e.momentum) + ", at: " + pt(e.at) + ")";
    }
    std::string operator()(const synth::GestureBegin& e) const { return "gestureBegin(" + pt(e.point) + ")"; }
    std::string operator()(const synth::Magnify& e) const {
        return "magnify(" + num(e.amount) + ", " + name(e.phase) + ", " + pt(e.point) + ")";
    }
    std::string operator()(const synth::GestureEnd& e) const { return "gestureEnd(" + pt(e.point) + ")"; }
    std::string operator()(const synth::Proximity& e) const {
        return std::string("proximity(enter: ") + (e.enter ? "true" : "false") + ", eraser: " + (e.eraser ? "true" : "false") +
               ")";
    }
    std::string operator()(const synth::Tablet& e) const {
        return std::string("tablet(") + name(e.action) + ", " + pt(e.point) + ", nx: " + std::to_string(e.nx) +
               ", ny: " + std::to_string(e.ny) + ", pressure: " + num(e.pressure) + ")";
    }
    std::string operator()(const synth::Key& e) const {
        return "key(" + std::to_string(e.keyCode) + ", " + (e.down ? "down" : "up") + ")";
    }
    // What the user typed stays out of logs.
    std::string operator()(const synth::Text& e) const { return "text(len=" + std::to_string(e.text.size()) + ")"; }
    std::string operator()(const synth::FlagsChanged& e) const {
        return "flagsChanged(" + std::to_string(e.keyCode) + ", " + hex(e.flags) + ")";
    }
    std::string operator()(const synth::SwitchDesktop& e) const {
        return "switchDesktop(" + std::string(e.step > 0 ? "+" : "") + std::to_string(e.step) + ")";
    }
};

}  // namespace

std::optional<GesturePhase> gesturePhaseFromRaw(uint32_t raw) {
    switch (raw) {
        case 1: return GesturePhase::began;
        case 2: return GesturePhase::changed;
        case 4: return GesturePhase::ended;
        default: return std::nullopt;
    }
}

std::string describe(const SynthEvent& event) { return std::visit(Describer{}, event); }

namespace synth {
std::ostream& operator<<(std::ostream& out, const SynthEvent& event) { return out << describe(event); }
void PrintTo(const SynthEvent& event, std::ostream* out) { *out << describe(event); }
}  // namespace synth

}  // namespace kelvo
