#include "platform/x11/dpms_state.hpp"

#include <xcb/dpms.h>

#include <cstdlib>

#include "core/util/log.hpp"

namespace kelvo {

DpmsState::DpmsState(std::string display) : display_(std::move(display)) {}

std::optional<bool> DpmsState::displaysAsleep() {
    if (x_ && xcb_connection_has_error(x_.connection.get())) x_ = {};
    if (!x_) x_ = XcbSession::open(display_);
    if (!x_) return std::nullopt;
    xcb_connection_t* c = x_.connection.get();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_dpms_id);
    if (!ext || !ext->present) {
        // Still one round trip, so that a server that went away is noticed.
        roundTrip(c);
        if (xcb_connection_has_error(c)) {
            x_ = {};
            return std::nullopt;
        }
        if (!reportedNoDpms_) Log::i("power", "the X server does not manage display power: displays count as on");
        reportedNoDpms_ = true;
        return false;
    }
    std::unique_ptr<xcb_dpms_info_reply_t, decltype(&free)> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr),
                                                                 free);
    if (!info) {
        if (!xcb_connection_has_error(c)) return false;
        x_ = {};
        return std::nullopt;
    }
    return info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON;
}

}  // namespace kelvo
