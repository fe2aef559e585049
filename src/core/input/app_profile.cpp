#include "core/input/app_profile.hpp"

namespace kelvo {

namespace {

void apply(const ProfileOverrides& overrides, ResolvedProfile& profile) {
    if (overrides.touch) {
        for (const auto& [gesture, text] : *overrides.touch) {
            GestureAction* field = gesture == "longPress"          ? &profile.touch.longPress
                                   : gesture == "twoFingerTap"     ? &profile.touch.twoFingerTap
                                   : gesture == "pinch"            ? &profile.touch.pinch
                                   : gesture == "threeFingerSwipe" ? &profile.touch.threeFingerSwipe
                                   : gesture == "threeFingerTap"   ? &profile.touch.threeFingerTap
                                                                   : nullptr;
            if (field) *field = GestureAction(text);
        }
    }
    if (overrides.draw) {
        for (const auto& [gesture, text] : *overrides.draw) {
            if (gesture == "tabletEvents") {
                if (auto mode = fromRaw<TabletEventsMode>(text)) profile.draw.tabletEvents = *mode;
                continue;
            }
            GestureAction* field = gesture == "twoFingerPan"     ? &profile.draw.twoFingerPan
                                   : gesture == "pinch"          ? &profile.draw.pinch
                                   : gesture == "twoFingerTap"   ? &profile.draw.twoFingerTap
                                   : gesture == "threeFingerTap" ? &profile.draw.threeFingerTap
                                                                 : nullptr;
            if (field) *field = GestureAction(text);
        }
    }
}

}  // namespace

const AppProfilesConfig& AppProfilesConfig::builtIn() {
    static const AppProfilesConfig config = [] {
        const ProfileOverrides rasterEditor{std::nullopt, std::map<std::string, std::string>{{"twoFingerPan", "spaceDrag"},
                                                                                           {"pinch", "altScroll"}}};
        const ProfileOverrides imageViewer{std::nullopt, std::map<std::string, std::string>{{"pinch", "magnify"}}};
        AppProfilesConfig c;
        // The tablet platform's ids, then the WM_CLASS class names of the Linux counterparts
        // (the front application here is the active window's class, compared exactly).
        for (const char* id : {"com.adobe.Photoshop", "Gimp", "gimp", "Gimp-2.10", "krita", "Krita"}) {
            c.apps[id] = rasterEditor;
        }
        for (const char* id : {"com.apple.Preview", "Eog", "org.gnome.Loupe", "Loupe", "gwenview", "Ristretto",
                               "Gthumb", "Geeqie", "Shotwell", "Viewnior", "Gpicview", "nomacs", "feh", "Sxiv", "Nsxiv",
                               "qView"}) {
            c.apps[id] = imageViewer;
        }
        return c;
    }();
    return config;
}

ResolvedProfile resolveProfile(const std::optional<std::string>& bundleID, const Settings& settings,
                               const std::vector<const AppProfilesConfig*>& layers) {
    ResolvedProfile profile;
    profile.touch.longPress = GestureAction(settings.longPressAction);
    profile.touch.twoFingerTap = GestureAction(settings.twoFingerTapAction);
    profile.touch.pinch = GestureAction(settings.pinchAction);
    profile.touch.threeFingerSwipe = GestureAction(settings.threeFingerSwipeAction);
    profile.touch.threeFingerTap = GestureAction(settings.threeFingerTapAction);
    profile.draw.tabletEvents = settings.tabletEvents;
    profile.bundleID = bundleID;
    for (const auto* layer : layers) {
        if (layer && layer->defaults) apply(*layer->defaults, profile);
    }
    if (bundleID) {
        for (const auto* layer : layers) {
            if (!layer) continue;
            if (auto it = layer->apps.find(*bundleID); it != layer->apps.end()) apply(it->second, profile);
        }
    }
    return profile;
}

std::optional<ProfileOverrides> JsonCoding<ProfileOverrides>::read(const Json& v) {
    JsonReader r(v);
    ProfileOverrides o;
    o.touch = r.optional<std::map<std::string, std::string>>("touch");
    o.draw = r.optional<std::map<std::string, std::string>>("draw");
    return r.finish(std::move(o));
}

Json JsonCoding<ProfileOverrides>::write(const ProfileOverrides& o) {
    JsonWriter w;
    w.set("touch", o.touch);
    w.set("draw", o.draw);
    return w.take();
}

std::optional<AppProfilesConfig> JsonCoding<AppProfilesConfig>::read(const Json& v) {
    JsonReader r(v);
    AppProfilesConfig c;
    c.defaults = r.optional<ProfileOverrides>("default");
    c.apps = r.required<std::map<std::string, ProfileOverrides>>("apps");
    return r.finish(std::move(c));
}

Json JsonCoding<AppProfilesConfig>::write(const AppProfilesConfig& c) {
    JsonWriter w;
    w.set("default", c.defaults);
    w.set("apps", c.apps);
    return w.take();
}

}  // namespace kelvo
