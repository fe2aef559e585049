#include <gtest/gtest.h>

#include "core/input/app_profile_store.hpp"

namespace kelvo {
namespace {

using K = GestureAction::Kind;
using Map = std::map<std::string, std::string>;

std::shared_ptr<MemoryUserDefaults> stored(const std::string& json) {
    auto d = std::make_shared<MemoryUserDefaults>();
    d->setData("kv.appProfiles", json);
    return d;
}

TEST(AppProfiles, BuiltInEntriesOverTheSettings) {
    AppProfileStore store(nullptr);
    Settings s;
    auto ps = store.resolve("com.adobe.Photoshop", s);
    EXPECT_EQ(ps.draw.twoFingerPan, GestureAction(K::spaceDrag));
    EXPECT_EQ(ps.draw.pinch, GestureAction(K::altScroll));
    EXPECT_EQ(ps.bundleID, "com.adobe.Photoshop");
    auto preview = store.resolve("com.apple.Preview", s);
    EXPECT_EQ(preview.draw.pinch, GestureAction(K::magnify));
    EXPECT_EQ(preview.draw.twoFingerPan, GestureAction(K::scroll));

    s.longPressAction = "keys:cmd+c";
    s.pinchAction = "nonsense";
    s.tabletEvents = TabletEventsMode::pressureOnly;
    auto none = store.resolve(std::nullopt, s);
    EXPECT_EQ(none.touch.longPress, GestureAction::keys({8, EventFlag::command}));
    EXPECT_EQ(none.touch.pinch, GestureAction(K::none));
    EXPECT_EQ(none.touch.twoFingerTap, GestureAction(K::rightClick));
    EXPECT_EQ(none.draw.tabletEvents, TabletEventsMode::pressureOnly);
    EXPECT_EQ(none.draw, (DrawActions{{K::scroll}, {K::magnify}, {K::undo}, {K::redo}, TabletEventsMode::pressureOnly}));
    EXPECT_FALSE(none.bundleID);
}

TEST(AppProfiles, BuiltInEntriesAlsoMatchTheLinuxCounterpartsByWindowClass) {
    // The user zooms with Alt + wheel everywhere; the viewers' entry brings magnify back.
    AppProfileStore store(stored(R"({"default":{"draw":{"pinch":"altScroll"}},"apps":{}})"));
    const Settings s;
    const struct {
        const char* app;
        K pan, pinch;
    } cases[] = {
        {"com.adobe.Photoshop", K::spaceDrag, K::altScroll},
        {"Gimp", K::spaceDrag, K::altScroll},
        {"krita", K::spaceDrag, K::altScroll},
        {"com.apple.Preview", K::scroll, K::magnify},
        {"Eog", K::scroll, K::magnify},
        {"gwenview", K::scroll, K::magnify},
        {"Ristretto", K::scroll, K::magnify},
        {"GIMP", K::scroll, K::altScroll},  // classes are compared exactly
        {"XTerm", K::scroll, K::altScroll},
    };
    for (const auto& c : cases) {
        auto p = store.resolve(c.app, s);
        EXPECT_EQ(p.draw.twoFingerPan, GestureAction(c.pan)) << c.app;
        EXPECT_EQ(p.draw.pinch, GestureAction(c.pinch)) << c.app;
    }
}

TEST(AppProfiles, Precedence) {
    // settings < built-in default < user default < built-in app entry < user app entry
    AppProfilesConfig builtIn{ProfileOverrides{Map{{"longPress", "undo"}, {"twoFingerTap", "undo"}}, std::nullopt},
                              {{"app", {Map{{"twoFingerTap", "redo"}, {"pinch", "redo"}}, std::nullopt}}}};
    AppProfilesConfig user{ProfileOverrides{Map{{"longPress", "middleClick"}, {"twoFingerTap", "middleClick"},
                                                {"pinch", "middleClick"}, {"threeFingerTap", "spaces"}},
                                            std::nullopt},
                           {{"app", {Map{{"pinch", "cmdScroll"}}, std::nullopt}}}};
    Settings s;
    s.threeFingerSwipeAction = "altScroll";
    auto p = resolveProfile("app", s, {&builtIn, &user});
    EXPECT_EQ(p.touch.threeFingerSwipe, GestureAction(K::altScroll)) << "settings";
    EXPECT_EQ(p.touch.threeFingerTap, GestureAction(K::spaces)) << "user default over settings";
    EXPECT_EQ(p.touch.longPress, GestureAction(K::middleClick)) << "user default over built-in default";
    EXPECT_EQ(p.touch.twoFingerTap, GestureAction(K::redo)) << "built-in app entry over user default";
    EXPECT_EQ(p.touch.pinch, GestureAction(K::cmdScroll)) << "user app entry over built-in app entry";

    auto other = resolveProfile("other", s, {&builtIn, &user});
    EXPECT_EQ(other.touch.twoFingerTap, GestureAction(K::middleClick));
    EXPECT_EQ(resolveProfile("APP", s, {&builtIn, &user}).touch.pinch, GestureAction(K::middleClick))
        << "application ids match exactly";
}

TEST(AppProfiles, OverrideRules) {
    AppProfilesConfig layer{ProfileOverrides{Map{{"LongPress", "undo"}, {"pinch", "zoom!"}},
                                             Map{{"tabletEvents", "pressureOnly"}, {"twoFingerTap", "keys:cmd+s"}}},
                            {{"a", {std::nullopt, Map{{"tabletEvents", "partial"}, {"twoFingerPan", "spaceDrag"}}}}}};
    auto p = resolveProfile("a", Settings{}, {&layer});
    EXPECT_EQ(p.touch.longPress, GestureAction(K::rightClick)) << "unknown gesture name ignored";
    EXPECT_EQ(p.touch.pinch, GestureAction(K::none)) << "unknown action text is none";
    EXPECT_EQ(p.draw.tabletEvents, TabletEventsMode::pressureOnly) << "unknown mode ignored";
    EXPECT_EQ(p.draw.twoFingerTap, GestureAction::keys({1, EventFlag::command}));
    EXPECT_EQ(p.draw.twoFingerPan, GestureAction(K::spaceDrag));
}

TEST(AppProfileStore, ReadsAndWritesTheUserDocument) {
    Settings s;
    AppProfileStore fromDefaults(stored(R"({"default":{"draw":{"pinch":"magnify"}},"apps":{}})"));
    EXPECT_EQ(fromDefaults.resolve("com.adobe.Photoshop", s).draw.pinch, GestureAction(K::altScroll))
        << "a built-in application entry outranks the user's default";
    AppProfileStore userApp(stored(R"({"apps":{"com.adobe.Photoshop":{"draw":{"twoFingerPan":"scroll"}}}})"));
    auto ps = userApp.resolve("com.adobe.Photoshop", s);
    EXPECT_EQ(ps.draw.twoFingerPan, GestureAction(K::scroll));
    EXPECT_EQ(ps.draw.pinch, GestureAction(K::altScroll));

    for (const char* bad : {R"({"default":{"touch":{"pinch":"none"}}})", R"({"apps":{"x":{"touch":{"pinch":3}}}})",
                            "not json", R"([])"}) {
        EXPECT_EQ(AppProfileStore(stored(bad)).user(), AppProfilesConfig{}) << bad;
    }

    auto defaults = std::make_shared<MemoryUserDefaults>();
    AppProfileStore store(defaults);
    AppProfilesConfig doc{std::nullopt, {{"org.gimp", {std::nullopt, Map{{"pinch", "cmdScroll"}}}}}};
    store.setUser(doc);
    EXPECT_EQ(defaults->data("kv.appProfiles"), R"({"apps":{"org.gimp":{"draw":{"pinch":"cmdScroll"}}}})");
    EXPECT_EQ(AppProfileStore(defaults).user(), doc);
}

}  // namespace
}  // namespace kelvo
