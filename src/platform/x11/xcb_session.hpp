#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

struct XcbDisconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using XcbConnectionPtr = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// A connection to `display` ("" = $DISPLAY) and its default screen's root; null when the server
// cannot be reached or refuses us, or has no such screen (`failure` says which).
struct XcbSession {
    enum class Failure { none, unreachable, noScreen };

    XcbConnectionPtr connection;
    xcb_window_t root = 0;
    const xcb_screen_t* screen = nullptr;  // lives in the connection's setup
    int screenNumber = 0;                  // the display name's screen
    Failure failure = Failure::none;

    static XcbSession open(const std::string& display);
    explicit operator bool() const { return connection != nullptr; }
};

// Frees an xcb reply.
struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// Returns once the server has handled every request sent on `c` before it (and so has sent the
// events they raised).
void roundTrip(xcb_connection_t* c);

// Atoms by name, interned in one round trip; 0 for a name the server refused.
std::vector<xcb_atom_t> internAtoms(xcb_connection_t* c, const std::vector<std::string>& names);

// A window property of 32-bit items (WINDOW, ATOM, CARDINAL lists); empty when absent.
std::vector<uint32_t> readProperty32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property);
std::vector<uint32_t> property32(xcb_get_property_reply_t* reply);
// The class part of WM_CLASS (instance NUL class NUL), which names the application.
std::optional<std::string> wmClassName(xcb_get_property_reply_t* reply);
// Sends the read of a property of any type, up to `longs` 32-bit units.
xcb_get_property_cookie_t requestProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                          uint32_t longs = 1024);

}  // namespace kelvo
