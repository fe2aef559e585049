#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/util/expected.hpp"

namespace kelvo {

// One value of the desktop's XSETTINGS: an integer, a string or a colour (red, green, blue, alpha).
struct XSettingsColor {
    uint16_t red = 0, green = 0, blue = 0, alpha = 0;
    friend bool operator==(const XSettingsColor&, const XSettingsColor&) = default;
};
using XSettingsValue = std::variant<int32_t, std::string, XSettingsColor>;

// The settings in the blob a settings daemon publishes (the _XSETTINGS_SETTINGS property of the
// _XSETTINGS_Sn selection owner), by name; either byte order. Nothing when the blob is malformed:
// truncated, an unknown type, more settings than the bytes can hold. Never throws.
std::optional<std::map<std::string, XSettingsValue>> parseXSettings(std::span<const uint8_t> blob);

// The double-click interval in seconds the blob publishes (the integer "Net/DoubleClickTime" in
// milliseconds, 1…10000), if any.
std::optional<double> doubleClickIntervalFrom(std::span<const uint8_t> blob);

// The desktop's XSETTINGS followed on a connection and a thread ("kv.xsettings") of their own:
// read at start, and again whenever the settings daemon publishes new settings or another daemon
// takes the screen's settings selection (told by XFixes). Readers get the last value read without
// a word to the server. Destruction stops the thread and joins it.
class XSettingsWatcher {
public:
    // Connects to `display` ("" = $DISPLAY) and reads the settings before it returns; fails with a
    // reason when the server cannot be reached.
    static Expected<std::unique_ptr<XSettingsWatcher>, std::string> start(const std::string& display);
    ~XSettingsWatcher();

    // The double-click interval in seconds last published; nothing when no daemon publishes one
    // (or the server went away). Any thread.
    std::optional<double> doubleClickInterval() const;

    struct Impl;
    explicit XSettingsWatcher(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// Makes InputParams follow the double-click interval of `display` through a watcher, which lives
// until the source is replaced or uninstalled.
void installX11DoubleClickSource(const std::string& display);

}  // namespace kelvo
