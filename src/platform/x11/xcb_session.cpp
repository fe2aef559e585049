#include "platform/x11/xcb_session.hpp"

#include <algorithm>

namespace kelvo {

XcbSession XcbSession::open(const std::string& display) {
    XcbSession out;
    XcbConnectionPtr c(xcb_connect(display.empty() ? nullptr : display.c_str(), &out.screenNumber));
    // xcb_connect never returns null: a failed connection is an object in the error state.
    if (!c || xcb_connection_has_error(c.get())) {
        out.failure = Failure::unreachable;
        return out;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; it.rem && i < out.screenNumber; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        out.failure = Failure::noScreen;
        return out;
    }
    out.root = it.data->root;
    out.screen = it.data;
    out.connection = std::move(c);
    return out;
}

void roundTrip(xcb_connection_t* c) { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

std::vector<xcb_atom_t> internAtoms(xcb_connection_t* c, const std::vector<std::string>& names) {
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const auto& n : names) cookies.push_back(xcb_intern_atom(c, 0, static_cast<uint16_t>(n.size()), n.c_str()));
    std::vector<xcb_atom_t> atoms;
    for (auto cookie : cookies) {
        XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c, cookie, nullptr));
        atoms.push_back(r ? r->atom : xcb_atom_t{XCB_ATOM_NONE});
    }
    return atoms;
}

xcb_get_property_cookie_t requestProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                          uint32_t longs) {
    return xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
}

std::vector<uint32_t> property32(xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 32) return {};
    auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
    int n = xcb_get_property_value_length(reply) / 4;
    return {data, data + std::max(n, 0)};
}

std::vector<uint32_t> readProperty32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    if (property == XCB_ATOM_NONE) return {};
    XcbReply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, requestProperty(c, window, property), nullptr));
    return property32(r.get());
}

std::optional<std::string> wmClassName(xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 8) return std::nullopt;
    auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    std::string both(data, static_cast<size_t>(std::max(xcb_get_property_value_length(reply), 0)));
    auto nul = both.find('\0');
    if (nul == std::string::npos) return std::nullopt;
    std::string cls = both.substr(nul + 1);
    if (auto end = cls.find('\0'); end != std::string::npos) cls.resize(end);
    if (cls.empty()) return std::nullopt;
    return cls;
}

}  // namespace kelvo
