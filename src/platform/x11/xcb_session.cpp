#include "platform/x11/xcb_session.hpp"

namespace kelvo {

XcbSession XcbSession::open(const std::string& display) {
    int screenNumber = 0;
    XcbConnectionPtr c(xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber));
    XcbSession out;
    // xcb_connect never returns null: a failed connection is an object in the error state.
    if (!c || xcb_connection_has_error(c.get())) return out;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
    if (!it.rem) return out;
    out.root = it.data->root;
    out.connection = std::move(c);
    return out;
}

}  // namespace kelvo
