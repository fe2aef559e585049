#include "core/protocol/control_messages.hpp"

#include <algorithm>
#include <cmath>

namespace kelvo {

std::optional<double> HostStateMsg::followedBrightness(bool followBrightness, std::optional<double> builtIn,
                                                       double offset) noexcept {
    if (!followBrightness || !builtIn) return std::nullopt;
    const double sum = *builtIn + offset;
    if (!std::isfinite(sum)) return std::nullopt;
    if (sum <= 0) return 0.0;
    return std::round(std::min(sum, 1.0) * 100) / 100;  // std::round: halves away from zero
}

ConfigMsg ConfigMsg::from(const Settings& settings, Orientation orientation) {
    ConfigMsg config;
    config.pipeline = rawValue(settings.pipeline);
    config.orientation = rawValue(orientation);
    config.statsOverlay = settings.statsOverlay;
    config.logLevel = settings.ipadLogLevel;
    return config;
}

std::optional<double> HostStateMsg::followedBrightness(const Settings& settings, std::optional<double> builtIn) noexcept {
    return followedBrightness(settings.followBrightness, builtIn, settings.brightnessOffset);
}

std::vector<UILayoutMsg::Item> UILayoutMsg::standardItems() {
    return {
        {10, "modifier", "\u2318"},        // ⌘
        {11, "modifier", "\u2325"},        // ⌥
        {12, "modifier", "\u2303"},        // ⌃
        {13, "modifier", "\u21E7"},        // ⇧
        {0, "spacer", std::nullopt},
        {20, "button", "\u21B6"},          // ↶
        {21, "button", "\u21B7"},          // ↷
        {22, "button", "esc"},
        {0, "spacer", std::nullopt},
        {30, "toggle", "\u270E"},          // ✎
        {31, "toggle", "\u64E6"},          // 擦
        {40, "local.keyboard", "\u2328"},  // ⌨
        {41, "local.hideSidebar", "\u2039"},  // ‹
    };
}

UILayoutMsg UILayoutMsg::from(const Settings& settings) {
    return {{std::string(rawValue(settings.sidebarEdge)), settings.sidebarAutoHide, settings.sidebarAutoHideMs,
             standardItems()}};
}

UIStateMsg UIStateMsg::make(InputMode mode, const std::map<int, std::string>& activeModifiers, bool eraser) {
    UIStateMsg state;
    for (const auto& [id, latch] : activeModifiers) state.items[std::to_string(id)] = latch;
    if (mode == InputMode::touch) {
        state.items["31"] = "disabled";
    } else {
        state.items["30"] = "on";
        state.items["31"] = eraser ? "on" : "off";
    }
    state.mode = rawValue(mode);
    return state;
}

// JSON members in declaration order; std::optional members are the optional keys.
KELVO_JSON_FIELDS(ConfigMsg,
                  v("pipeline", m.pipeline); v("orientation", m.orientation); v("keepAwake", m.keepAwake);
                  v("hostSleep", m.hostSleep); v("edgeHandle", m.edgeHandle); v("statsOverlay", m.statsOverlay);
                  v("logLevel", m.logLevel); v("keyboard", m.keyboard);)
KELVO_JSON_FIELDS(DeviceStatusMsg,
                  v("battery", m.battery); v("charging", m.charging); v("thermal", m.thermal);
                  v("brightness", m.brightness); v("interfaceOrientation", m.interfaceOrientation);)
KELVO_JSON_FIELDS(HostStateMsg, v("display", m.display); v("locked", m.locked); v("brightness", m.brightness);)
KELVO_JSON_FIELDS(KeyboardStateMsg, v("visible", m.visible); v("heightNorm", m.heightNorm);)
KELVO_JSON_FIELDS(UILayoutMsg::Item, v("id", m.id); v("kind", m.kind); v("label", m.label);)
KELVO_JSON_FIELDS(UILayoutMsg::Sidebar,
                  v("edge", m.edge); v("autoHide", m.autoHide); v("autoHideMs", m.autoHideMs); v("items", m.items);)
KELVO_JSON_FIELDS(UILayoutMsg, v("sidebar", m.sidebar);)
KELVO_JSON_FIELDS(UIStateMsg, v("mode", m.mode); v("items", m.items); v("sidebarVisible", m.sidebarVisible);)
KELVO_JSON_FIELDS(ToastMsg, v("text", m.text); v("ms", m.ms);)
KELVO_JSON_FIELDS(LogConfigMsg, v("level", m.level); v("dumpRing", m.dumpRing);)

}  // namespace kelvo
