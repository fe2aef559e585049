#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>

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

// The desktop's double-click interval on `display` ("" = $DISPLAY), read afresh; nothing when no
// settings daemon publishes one or the server cannot be reached.
std::optional<double> x11DoubleClickInterval(const std::string& display);

// Makes InputParams read the double-click interval of `display` at each use.
void installX11DoubleClickSource(const std::string& display);

}  // namespace kelvo
