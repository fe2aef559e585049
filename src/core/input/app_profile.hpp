#pragma once

// Gesture actions per input mode, and the per-application override documents layered over the
// user's settings.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/input/key_combo.hpp"
#include "core/settings/settings.hpp"

namespace kelvo {

// The gestures of touch mode.
struct TouchActions {
    GestureAction longPress = GestureAction::Kind::rightClick;
    GestureAction twoFingerTap = GestureAction::Kind::rightClick;
    GestureAction pinch = GestureAction::Kind::magnify;
    GestureAction threeFingerSwipe = GestureAction::Kind::spaces;
    GestureAction threeFingerTap = GestureAction::Kind::middleClick;
    friend bool operator==(const TouchActions&, const TouchActions&) = default;
};

// The gestures of draw and tablet-mapping mode.
struct DrawActions {
    GestureAction twoFingerPan = GestureAction::Kind::scroll;
    GestureAction pinch = GestureAction::Kind::magnify;
    GestureAction twoFingerTap = GestureAction::Kind::undo;
    GestureAction threeFingerTap = GestureAction::Kind::redo;
    TabletEventsMode tabletEvents = TabletEventsMode::full;
    friend bool operator==(const DrawActions&, const DrawActions&) = default;
};

// The actions in force for one front application.
struct ResolvedProfile {
    TouchActions touch;
    DrawActions draw;
    std::optional<std::string> bundleID;  // the application it was resolved for; absent when unknown
    friend bool operator==(const ResolvedProfile&, const ResolvedProfile&) = default;
};

// Gesture name → action text (for "tabletEvents", a TabletEventsMode raw value).
struct ProfileOverrides {
    std::optional<std::map<std::string, std::string>> touch;
    std::optional<std::map<std::string, std::string>> draw;
    friend bool operator==(const ProfileOverrides&, const ProfileOverrides&) = default;
};

struct AppProfilesConfig {
    std::optional<ProfileOverrides> defaults;           // JSON key "default": every application
    std::map<std::string, ProfileOverrides> apps;       // by application id; required in JSON
    friend bool operator==(const AppProfilesConfig&, const AppProfilesConfig&) = default;

    // The layer shipped with the system: drawing applications that pan with Space-drag.
    static const AppProfilesConfig& builtIn();
};

// Layers `layers` over the settings' touch actions and the draw defaults. Precedence, lowest
// first: settings, each layer's default (in order), each layer's entry for exactly `bundleID`
// (in order). An unknown action text gives `none`; unknown gesture names and unknown
// "tabletEvents" values are ignored. Pure; any thread.
ResolvedProfile resolveProfile(const std::optional<std::string>& bundleID, const Settings& settings,
                               const std::vector<const AppProfilesConfig*>& layers);

template <>
struct JsonCoding<ProfileOverrides> {
    static std::optional<ProfileOverrides> read(const Json& v);
    static Json write(const ProfileOverrides& o);
};

template <>
struct JsonCoding<AppProfilesConfig> {
    static std::optional<AppProfilesConfig> read(const Json& v);
    static Json write(const AppProfilesConfig& c);
};

}  // namespace kelvo
