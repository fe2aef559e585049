#pragma once

#include <string>

#include "core/session/permissions.hpp"

namespace kelvo {

// Permissions on an X11 desktop, where the server grants them to any client it accepts: screen
// capture is allowed when a connection can read the root window, input when the server offers
// XTest. There is nothing to prompt for, so a request is a check. Each check opens a short
// connection to `display` ("" = $DISPLAY).
class X11Permissions final : public Permissions {
public:
    explicit X11Permissions(std::string display = {});

    bool screenCapture() override;
    bool accessibility() override;
    bool requestScreenCapture() override;
    bool requestAccessibility() override;
    void openScreenCaptureSettings() override;
    void openAccessibilitySettings() override;
    // Starts the desktop's display settings tool, the first one found on PATH.
    void openDisplaySettings() override;
    // Resets the screen saver, which also powers sleeping displays back on.
    void declareUserActivity() override;

    // Whether a pen with pressure can be made (the uinput device is writable).
    static bool penDevice(const char* path = "/dev/uinput");

private:
    std::string display_;
};

}  // namespace kelvo
