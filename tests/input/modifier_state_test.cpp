#include <gtest/gtest.h>

#include "core/input/modifier_state.hpp"
#include "core/input/sidebar_item.hpp"

namespace kelvo {
namespace {

using Mode = ModifierState::Mode;

// One step of a sidebar scenario at a time in milliseconds.
struct Step {
    enum Kind { down, up, cancel, input, completed, releaseAll } kind;
    int id = 10;
    uint64_t ms = 0;
};

struct Observed {
    std::vector<synth::FlagsChanged> emitted;
    int changes = 0;
};

Observed run(ModifierState& m, const std::vector<Step>& steps) {
    Observed o;
    m.emit = [&](const SynthEvent& e) { o.emitted.push_back(std::get<synth::FlagsChanged>(e)); };
    m.onChange = [&] { ++o.changes; };
    for (const auto& s : steps) {
        switch (s.kind) {
            case Step::down: m.buttonDown(s.id, s.ms * 1000); break;
            case Step::up: m.buttonUp(s.id, s.ms * 1000); break;
            case Step::cancel: m.buttonCancel(s.id); break;
            case Step::input: m.noteInput(); break;
            case Step::completed: m.inputCompleted(); break;
            case Step::releaseAll: m.releaseAll(); break;
        }
    }
    return o;
}

TEST(ModifierState, SidebarGestures) {
    const EventFlags cmd = EventFlag::command;
    struct Case {
        const char* name;
        std::vector<Step> steps;
        Mode mode;
        std::map<int, std::string> ui;
        std::vector<synth::FlagsChanged> emitted;
    } cases[] = {
        {"tap latches", {{Step::down, 10, 0}, {Step::up, 10, 100}}, Mode::oneShot, {{10, "oneShot"}}, {{55, cmd}}},
        {"latched key applies to one input",
         {{Step::down, 10, 0}, {Step::up, 10, 100}, {Step::input}, {Step::completed}, {Step::completed}},
         Mode::off, {}, {{55, cmd}, {55, 0}}},
        {"double tap locks", {{Step::down, 10, 0}, {Step::up, 10, 50}, {Step::down, 10, 300}, {Step::up, 10, 350}, {Step::completed}},
         Mode::locked, {{10, "locked"}}, {{55, cmd}}},
        {"third tap unlocks",
         {{Step::down, 10, 0}, {Step::up, 10, 50}, {Step::down, 10, 300}, {Step::up, 10, 350}, {Step::down, 10, 600}, {Step::up, 10, 650}},
         Mode::off, {}, {{55, cmd}, {55, 0}}},
        {"slow second tap turns off", {{Step::down, 10, 0}, {Step::up, 10, 50}, {Step::down, 10, 500}, {Step::up, 10, 550}},
         Mode::off, {}, {{55, cmd}, {55, 0}}},
        {"held during input is momentary",
         {{Step::down, 13, 0}, {Step::input}, {Step::completed}}, Mode::momentary, {{13, "on"}}, {{56, EventFlag::shift}}},
        {"released after input goes off",
         {{Step::down, 13, 0}, {Step::input}, {Step::up, 13, 2000}}, Mode::off, {}, {{56, EventFlag::shift}, {56, 0}}},
        {"long hold keeps the mode", {{Step::down, 11, 0}, {Step::up, 11, 1000}}, Mode::off, {},
         {{58, EventFlag::option}, {58, 0}}},
        {"held, not yet used", {{Step::down, 12, 0}}, Mode::off, {{12, "on"}}, {{59, EventFlag::control}}},
        {"cancel of a held key", {{Step::down, 12, 0}, {Step::cancel, 12}}, Mode::off, {}, {{59, EventFlag::control}, {59, 0}}},
        {"not a modifier, or not pressed", {{Step::up, 10, 0}, {Step::down, 20, 0}, {Step::cancel, 10}}, Mode::off, {}, {}},
        {"release all",
         {{Step::down, 10, 0}, {Step::up, 10, 50}, {Step::down, 13, 100}, {Step::releaseAll}}, Mode::off, {},
         {{55, cmd}, {56, cmd | EventFlag::shift}, {55, EventFlag::shift}, {56, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModifierState m;
        const auto o = run(m, c.steps);
        const int id = c.steps.front().id == 20 ? 10 : c.steps.front().id;
        EXPECT_EQ(m.mode(id), c.mode);
        EXPECT_EQ(m.uiItems(), c.ui);
        ASSERT_EQ(o.emitted.size(), c.emitted.size());
        for (size_t i = 0; i < o.emitted.size(); ++i) EXPECT_EQ(o.emitted[i], c.emitted[i]) << i;
    }
}

TEST(ModifierState, FlagsWhileHeldAndIds) {
    ModifierState m;
    m.buttonDown(11, 0);
    EXPECT_EQ(m.flags(), EventFlag::option);
    m.buttonDown(10, 0);
    EXPECT_EQ(m.flags(), EventFlag::option | EventFlag::command);
    EXPECT_EQ(m.mode(14), std::nullopt);
    EXPECT_TRUE(ModifierState::isModifier(13));
    EXPECT_FALSE(ModifierState::isModifier(20));
    // Nothing changes without a key to change.
    int changes = 0;
    m.onChange = [&] { ++changes; };
    m.releaseAll();
    m.releaseAll();
    m.inputCompleted();
    EXPECT_EQ(changes, 1);
}

TEST(SidebarItem, LayoutFollowsTheSettings) {
    Settings s;
    s.sidebarEdge = SidebarEdge::right;
    s.sidebarAutoHide = false;
    s.sidebarAutoHideMs = 1234;
    const auto layout = SidebarItem::layout(s);
    EXPECT_EQ(layout.sidebar.edge, "right");
    EXPECT_FALSE(layout.sidebar.autoHide);
    EXPECT_EQ(layout.sidebar.autoHideMs, 1234);
    std::vector<int64_t> ids;
    for (const auto& item : layout.sidebar.items) ids.push_back(item.id);
    EXPECT_EQ(ids, (std::vector<int64_t>{10, 11, 12, 13, 0, 20, 21, 22, 0, 30, 31, 40, 41}));
    EXPECT_EQ(SidebarItem::layout(Settings{}).sidebar.edge, "left");
}

}  // namespace
}  // namespace kelvo
