#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings/settings_enums.hpp"
#include "core/util/json.hpp"
#include "core/util/rect.hpp"

namespace kelvo {

// The user's preferences: one plain value, persisted by SettingsStore as one JSON object whose
// keys are the field names. Equality compares every field in declaration order.
struct Settings {
    // Connection
    bool launchAtLogin = true;
    bool autoConnect = true;
    double graceSeconds = 5.0;
    bool directMode = false;
    std::string directHost = "127.0.0.1";
    uint16_t directCtrlPort = 47100;
    uint16_t directVideoPort = 47101;
    bool wireless = true;
    // Display and video
    DisplayPreset preset = DisplayPreset::standard;
    OrientationSetting orientation = OrientationSetting::landscape;
    int64_t fpsCap = 60;
    double bitrateMbps = 25.0;
    QualityPolicy qualityPolicy = QualityPolicy::clarity;
    CursorMode cursorMode = CursorMode::overlay;
    DecodePipeline pipeline = DecodePipeline::direct;
    bool statsOverlay = false;
    DisplaySourceKind displaySource = DisplaySourceKind::virtual_;
    bool followBrightness = true;
    double brightnessOffset = 0.0;
    uint32_t externalDisplayID = 0;
    bool mirrorMain = false;
    // Touch mode
    int64_t longPressMs = 500;
    std::string longPressAction = "rightClick";
    std::string twoFingerTapAction = "rightClick";
    bool scrollInertia = true;
    std::string pinchAction = "magnify";
    std::string threeFingerSwipeAction = "spaces";
    std::string threeFingerTapAction = "middleClick";
    bool hideCursorOnTouch = true;
    bool invertScroll = false;
    InputMode startMode = InputMode::touch;
    // Draw mode and pen pressure
    PressureSource pressureSource = PressureSource::velocity;
    std::vector<double> pressureCurve{0.25, 0.25, 0.75, 0.75};
    double minPressure = 0.1;
    double maxPressure = 1.0;
    double constantPressure = 0.6;
    double radiusLight = 6.0;
    double radiusHeavy = 14.0;
    SmoothingLevel smoothing = SmoothingLevel::medium;
    int64_t penCommitMs = 50;
    double palmRadius = 30.0;
    TabletEventsMode tabletEvents = TabletEventsMode::full;
    bool spoofWacom = false;
    // Tablet mapping
    TabletMappingArea mappingArea = TabletMappingArea::fullScreen;
    std::optional<Rect> mappingCustomRect;
    TabletMappingView mappingView = TabletMappingView::preview;
    uint32_t mappingDisplayID = 0;
    // The tablet's sidebar, diagnostics
    SidebarEdge sidebarEdge = SidebarEdge::left;
    bool sidebarAutoHide = true;
    int64_t sidebarAutoHideMs = 3000;
    std::string ipadLogLevel = "info";
    bool traceRecording = false;

    // bitrateMbps in bits per second, truncated toward zero; saturates to 0 … INT64_MAX for
    // stored values that are negative, not a number, or too large.
    int64_t bitrateBps() const;

    friend bool operator==(const Settings&, const Settings&) = default;
};

// Calls f(name, member) for every field in declaration order; S is Settings or const Settings.
template <class S, class F>
void forEachSettingsField(S& s, F&& f) {
    f("launchAtLogin", s.launchAtLogin);
    f("autoConnect", s.autoConnect);
    f("graceSeconds", s.graceSeconds);
    f("directMode", s.directMode);
    f("directHost", s.directHost);
    f("directCtrlPort", s.directCtrlPort);
    f("directVideoPort", s.directVideoPort);
    f("wireless", s.wireless);
    f("preset", s.preset);
    f("orientation", s.orientation);
    f("fpsCap", s.fpsCap);
    f("bitrateMbps", s.bitrateMbps);
    f("qualityPolicy", s.qualityPolicy);
    f("cursorMode", s.cursorMode);
    f("pipeline", s.pipeline);
    f("statsOverlay", s.statsOverlay);
    f("displaySource", s.displaySource);
    f("followBrightness", s.followBrightness);
    f("brightnessOffset", s.brightnessOffset);
    f("externalDisplayID", s.externalDisplayID);
    f("mirrorMain", s.mirrorMain);
    f("longPressMs", s.longPressMs);
    f("longPressAction", s.longPressAction);
    f("twoFingerTapAction", s.twoFingerTapAction);
    f("scrollInertia", s.scrollInertia);
    f("pinchAction", s.pinchAction);
    f("threeFingerSwipeAction", s.threeFingerSwipeAction);
    f("threeFingerTapAction", s.threeFingerTapAction);
    f("hideCursorOnTouch", s.hideCursorOnTouch);
    f("invertScroll", s.invertScroll);
    f("startMode", s.startMode);
    f("pressureSource", s.pressureSource);
    f("pressureCurve", s.pressureCurve);
    f("minPressure", s.minPressure);
    f("maxPressure", s.maxPressure);
    f("constantPressure", s.constantPressure);
    f("radiusLight", s.radiusLight);
    f("radiusHeavy", s.radiusHeavy);
    f("smoothing", s.smoothing);
    f("penCommitMs", s.penCommitMs);
    f("palmRadius", s.palmRadius);
    f("tabletEvents", s.tabletEvents);
    f("spoofWacom", s.spoofWacom);
    f("mappingArea", s.mappingArea);
    f("mappingCustomRect", s.mappingCustomRect);
    f("mappingView", s.mappingView);
    f("mappingDisplayID", s.mappingDisplayID);
    f("sidebarEdge", s.sidebarEdge);
    f("sidebarAutoHide", s.sidebarAutoHide);
    f("sidebarAutoHideMs", s.sidebarAutoHideMs);
    f("ipadLogLevel", s.ipadLogLevel);
    f("traceRecording", s.traceRecording);
}

// Strict coding: writing leaves mappingCustomRect out when absent; reading needs every other
// member present and well typed, else the whole record fails (SettingsStore merges leniently).
template <>
struct JsonCoding<Settings> {
    static std::optional<Settings> read(const Json& v);
    static Json write(const Settings& s);
};

}  // namespace kelvo
