#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <string>

namespace kelvo {

struct XcbDisconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using XcbConnectionPtr = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// A connection to `display` ("" = $DISPLAY) and its default screen's root; null when the server
// cannot be reached or refuses us.
struct XcbSession {
    XcbConnectionPtr connection;
    xcb_window_t root = 0;

    static XcbSession open(const std::string& display);
    explicit operator bool() const { return connection != nullptr; }
};

}  // namespace kelvo
