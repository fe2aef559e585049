#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/input/tablet_mapping_controller.hpp"
#include "core/util/rect.hpp"

namespace kelvo {

// The desktop's managed windows as the window manager stacks them (_NET_CLIENT_LIST_STACKING),
// for finding the front application's window to map a tablet onto. Windows that are not shown
// (unmapped, minimised) are left out. Thread-safe; each call asks the server afresh and
// reconnects after a lost connection.
class X11WindowList {
public:
    // "" uses $DISPLAY. Connects on first use.
    explicit X11WindowList(std::string display);
    ~X11WindowList();

    // Front to back, with root-window bounds including the window manager's frame. A window's
    // owner is its process (_NET_WM_PID), else its WM_CLASS class; normal and dialog windows are
    // layer 0. Empty when the server cannot be asked.
    std::vector<DesktopWindow> windows();
    // The owner of the active window; absent when no window is active.
    std::optional<std::string> frontOwner();
    // The active application's frontmost normal window of at least 100 × 100.
    std::optional<Rect> frontWindowBounds();

    struct Impl;

private:
    std::mutex mutex_;
    std::unique_ptr<Impl> impl_;
};

// The session's provider of the front window's bounds, over one connection to `display`.
std::function<std::optional<Rect>()> x11FrontWindowBounds(const std::string& display);

}  // namespace kelvo
