#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol/wire_json.hpp"
#include "core/settings/settings.hpp"

// The JSON messages that keep the tablet in step with a running session, under the same rules as
// the handshake messages: field-wise equality, absent optionals left out, any violation on
// decoding gives no message.
namespace kelvo {

// config (0x06), host to tablet. Built with these defaults; on decoding every key is required.
struct ConfigMsg {
    std::string pipeline = "direct";      // DecodePipeline raw value
    std::string orientation = "landscape";  // resolved Orientation raw value
    bool keepAwake = true;
    std::string hostSleep = "black";
    bool edgeHandle = true;
    bool statsOverlay = false;
    std::string logLevel = "info";  // LogLevel name for the tablet
    std::string keyboard = "hidden";
    // What the host sends: the settings' pipeline, stats overlay and tablet log level, and the
    // session's resolved orientation; the other keys keep their fixed values.
    static ConfigMsg from(const Settings& settings, Orientation orientation);

    bool operator==(const ConfigMsg&) const = default;
};

// deviceStatus (0x08), tablet to host; "{}" is a valid status.
struct DeviceStatusMsg {
    std::optional<double> battery;
    std::optional<bool> charging;
    std::optional<std::string> thermal;
    std::optional<double> brightness;
    std::optional<std::string> interfaceOrientation;
    bool operator==(const DeviceStatusMsg&) const = default;
};

// hostState (0x09), host to tablet.
struct HostStateMsg {
    std::string display;  // "asleep" or "on"
    bool locked = false;
    std::optional<double> brightness;  // 0..1, only while brightness following is on

    // The brightness the tablet should take: absent unless following is on and the built-in
    // brightness is known; builtIn + offset, 0 at or below 0, else capped at 1 and rounded to two
    // decimals. A non-finite input gives absent rather than a body that cannot be encoded.
    static std::optional<double> followedBrightness(bool followBrightness, std::optional<double> builtIn,
                                                    double offset) noexcept;
    // The same with followBrightness and brightnessOffset from the settings.
    static std::optional<double> followedBrightness(const Settings& settings, std::optional<double> builtIn) noexcept;
    bool operator==(const HostStateMsg&) const = default;
};

// keyboardState (0x14), tablet to host.
struct KeyboardStateMsg {
    std::optional<bool> visible;
    std::optional<double> heightNorm;  // fraction of the screen height
    bool operator==(const KeyboardStateMsg&) const = default;
};

// uiLayout (0x30), host to tablet: the sidebar rows.
struct UILayoutMsg {
    struct Item {
        int64_t id = 0;  // not unique: spacers carry 0
        std::string kind;
        std::optional<std::string> label;
        bool operator==(const Item&) const = default;
    };
    struct Sidebar {
        std::string edge;  // "left" or "right"
        bool autoHide = false;
        int64_t autoHideMs = 0;
        std::vector<Item> items;
        bool operator==(const Sidebar&) const = default;
    };

    Sidebar sidebar;

    // The fixed 13 rows the host always sends, top to bottom.
    static std::vector<Item> standardItems();
    // The standard rows on the settings' sidebar edge with their auto-hide choice.
    static UILayoutMsg from(const Settings& settings);

    bool operator==(const UILayoutMsg&) const = default;
};

// uiState (0x31), host to tablet: item states keyed by item id in decimal.
struct UIStateMsg {
    std::string mode;  // InputMode raw value
    std::map<std::string, std::string> items;
    std::optional<bool> sidebarVisible;  // never set by the host

    // The host's state: each active modifier (ids 10..13: "on", "oneShot" or "locked"); outside
    // touch mode "30": "on" and "31": "on"/"off" for the eraser, in touch mode "31": "disabled".
    static UIStateMsg make(InputMode mode, const std::map<int, std::string>& activeModifiers, bool eraser);

    bool operator==(const UIStateMsg&) const = default;
};

// toast (0x32), host to tablet: a notice (Simplified Chinese) shown for `ms` milliseconds.
struct ToastMsg {
    std::string text;
    int64_t ms = 0;
    bool operator==(const ToastMsg&) const = default;
};

// logConfig (0x42), host to tablet.
struct LogConfigMsg {
    std::string level;  // LogLevel name
    std::optional<bool> dumpRing;
    bool operator==(const LogConfigMsg&) const = default;
};

KELVO_JSON_RECORD(ConfigMsg);
KELVO_JSON_RECORD(DeviceStatusMsg);
KELVO_JSON_RECORD(HostStateMsg);
KELVO_JSON_RECORD(KeyboardStateMsg);
KELVO_JSON_RECORD(UILayoutMsg::Item);
KELVO_JSON_RECORD(UILayoutMsg::Sidebar);
KELVO_JSON_RECORD(UILayoutMsg);
KELVO_JSON_RECORD(UIStateMsg);
KELVO_JSON_RECORD(ToastMsg);
KELVO_JSON_RECORD(LogConfigMsg);

}  // namespace kelvo
