#pragma once

namespace kelvo {

// What the desktop lets this process do, and how to ask for it. Checks never fail: a check that
// cannot be made answers false. Main thread.
class Permissions {
public:
    virtual ~Permissions() = default;

    // Whether the screen may be captured.
    virtual bool screenCapture() = 0;
    // Whether input events may be posted to the desktop.
    virtual bool accessibility() = 0;
    // Ask the desktop where it can ask the user; answer whether it is permitted now.
    virtual bool requestScreenCapture() = 0;
    virtual bool requestAccessibility() = 0;

    // Open the desktop's settings where the user grants these; nothing where it has none.
    virtual void openScreenCaptureSettings() = 0;
    virtual void openAccessibilitySettings() = 0;
    virtual void openDisplaySettings() = 0;

    // Tells the desktop a user is active, which wakes sleeping displays.
    virtual void declareUserActivity() = 0;
};

}  // namespace kelvo
