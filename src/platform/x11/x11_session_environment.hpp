#pragma once

#include <memory>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/session/session_environment.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// The session environment of an X11 desktop on the server `xDisplay` ("" = $DISPLAY): RandR for
// displays and virtual displays, a display broker on `main`, shared-memory screen capture, XTest
// injection (with a pressure pen where `uinputPath` is writable), the active window's application and window for profiles and tablet mapping, X11
// permissions, the keyboard layout and the double-click interval (installed as the sources of
// KeyLayoutMap and InputParams), the power observer over logind, the X server's display power and
// the backlight (made, not started: its owner starts it), and serial queues on the shared pool.
// Fails with a reason when the server cannot be reached. The broker keeps the display services
// alive for as long as any copy of the environment holds it.
Expected<SessionEnvironment, std::string> makeX11SessionEnvironment(std::shared_ptr<Executor> main,
                                                                    const std::string& xDisplay,
                                                                    const std::string& uinputPath = "/dev/uinput");

}  // namespace kelvo
