#pragma once

#include <memory>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/session/session_environment.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// The program's wiring, in one place: which backend of this desktop fills each part of the
// environment that the session manager and its sessions stand on.

// The desktop the application serves tablets on.
struct AppEnvironment {
    SessionEnvironment session;
    // False when there is no X server to reach: nothing can be captured or injected then, and the
    // application can only run its smoke test.
    bool hasDesktop = false;
    // Whether the display server can make virtual displays for a tablet.
    bool virtualDisplaysAvailable = false;
};

// The environment of the X server `xDisplay` ("" = $DISPLAY) with the program's discovery, or a
// headless one (logged) when it cannot be reached. Made on the main queue.
AppEnvironment makeAppEnvironment(std::shared_ptr<Executor> main, const std::string& xDisplay = "");

// The session environment of an X11 desktop on the server `xDisplay` ("" = $DISPLAY): RandR for
// displays and virtual displays, a display broker on `main`, shared-memory screen capture, XTest
// injection (with a pressure pen where `uinputPath` is writable), the active window's application
// and window for profiles and tablet mapping, X11 permissions, the power observer over logind, the
// X server's display power and the backlight (made, not started: its owner starts it), x264, and
// serial queues on the shared pool. Discovery is left to makeAppEnvironment. Fails with a reason
// when the server cannot be reached. The broker keeps the display services alive for as long as
// any copy of the environment holds it.
Expected<SessionEnvironment, std::string> makeX11SessionEnvironment(std::shared_ptr<Executor> main,
                                                                    const std::string& xDisplay,
                                                                    const std::string& uinputPath = "/dev/uinput");

// The USB multiplexing daemon's socket: USBMUXD_SOCKET_ADDRESS ("UNIX:/path") when it is set and
// well formed (otherwise logged and ignored), else /var/run/usbmuxd.
std::string usbmuxSocketPathFromEnvironment();

}  // namespace kelvo
