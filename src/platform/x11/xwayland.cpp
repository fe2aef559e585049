#include "platform/x11/xwayland.hpp"

#include <xcb/randr.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

namespace {

std::vector<std::string> outputNames(xcb_connection_t* c, xcb_window_t root) {
    std::vector<std::string> names;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (!randr || !randr->present) return names;
    XcbReply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr));
    if (!res) return names;
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    const int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
    for (int i = 0; i < count; ++i) {
        XcbReply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], res->config_timestamp), nullptr));
        if (!info) continue;
        names.emplace_back(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                           size_t(xcb_randr_get_output_info_name_length(info.get())));
    }
    return names;
}

}  // namespace

bool looksLikeXWayland(bool hasXWaylandExtension, const std::vector<std::string>& outputNames) {
    if (hasXWaylandExtension) return true;
    for (const std::string& name : outputNames) {
        if (std::string_view(name).starts_with("XWAYLAND")) return true;
    }
    return false;
}

bool isXWayland(xcb_connection_t* c, xcb_window_t root) {
    static constexpr char kExtension[] = "XWAYLAND";
    XcbReply<xcb_query_extension_reply_t> ext(xcb_query_extension_reply(
        c, xcb_query_extension(c, uint16_t(std::strlen(kExtension)), kExtension), nullptr));
    const bool present = ext && ext->present;
    return looksLikeXWayland(present, present ? std::vector<std::string>{} : outputNames(c, root));
}

void warnOnceIfXWayland(xcb_connection_t* c, xcb_window_t root) {
    static std::atomic<bool> said{false};
    if (said || !isXWayland(c, root) || said.exchange(true)) return;
    Log::w("display",
           "this X server is XWayland inside a Wayland session: it shows only X clients and cannot add "
           "outputs, so neither a virtual display nor capture of the desktop works here; log in to an "
           "Xorg session to serve a tablet");
}

}  // namespace kelvo
