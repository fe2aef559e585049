#pragma once

#include <xcb/xcb.h>

#include <string>
#include <vector>

namespace kelvo {

// XWayland inside a Wayland session: its root window shows only X clients and RandR cannot add
// outputs, so neither a virtual display nor capture of the desktop works there.
// Known by its XWAYLAND extension or, on older servers, by outputs named "XWAYLAND<n>".
bool looksLikeXWayland(bool hasXWaylandExtension, const std::vector<std::string>& outputNames);
bool isXWayland(xcb_connection_t* c, xcb_window_t root);
// Says so in the log, once per process, when the server behind `c` is XWayland.
void warnOnceIfXWayland(xcb_connection_t* c, xcb_window_t root);

}  // namespace kelvo
