#include "platform/x11/x11_pen_mapping.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstring>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

std::array<float, 9> coordinateTransformMatrix(const Rect& area, const SizeD& screen) {
    if (!(screen.width > 0 && screen.height > 0 && area.width > 0 && area.height > 0)) {
        return {1, 0, 0, 0, 1, 0, 0, 0, 1};
    }
    return {float(area.width / screen.width), 0, float(area.x / screen.width),
            0, float(area.height / screen.height), float(area.y / screen.height),
            0, 0, 1};
}

std::optional<Rect> monitorAt(const std::vector<Rect>& monitors, double x, double y) {
    std::optional<Rect> best;
    for (const auto& m : monitors) {
        bool inside = x >= m.x && x < m.x + m.width && y >= m.y && y < m.y + m.height;
        if (inside && (!best || m.width * m.height < best->width * best->height)) best = m;
    }
    if (!best && !monitors.empty()) best = monitors.front();
    return best;
}

struct X11PenMapping::Impl {
    XcbSession session;
    xcb_connection_t* c = nullptr;
    std::string deviceName;
    xcb_atom_t matrixAtom = XCB_ATOM_NONE, floatAtom = XCB_ATOM_NONE;
    uint8_t randrEventBase = 0;
    std::vector<Rect> monitors;
    SizeD screen;
    bool stale = true;
    std::optional<std::array<float, 9>> applied;  // on the device, as far as we know
    std::optional<std::array<float, 9>> wanted;   // for the area asked for last
    bool tryDevice = true;  // a missing device is looked for again at the next refresh only

    std::vector<xcb_input_device_id_t> devices(const std::string& prefix) {
        XcbReply<xcb_input_xi_query_device_reply_t> r(
            xcb_input_xi_query_device_reply(c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr));
        std::vector<xcb_input_device_id_t> out;
        if (!r) return out;
        for (auto it = xcb_input_xi_query_device_infos_iterator(r.get()); it.rem; xcb_input_xi_device_info_next(&it)) {
            std::string name(xcb_input_xi_device_info_name(it.data), size_t(xcb_input_xi_device_info_name_length(it.data)));
            bool pointer = it.data->type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER ||
                           it.data->type == XCB_INPUT_DEVICE_TYPE_FLOATING_SLAVE;
            if (pointer && name.compare(0, prefix.size(), prefix) == 0) out.push_back(it.data->deviceid);
        }
        return out;
    }

    void drainEvents() {
        while (auto* ev = xcb_poll_for_event(c)) {
            if ((ev->response_type & 0x7f) == randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY) stale = true;
            std::free(ev);
        }
    }

    void readLayout() {
        auto geometry = xcb_get_geometry(c, session.root);
        auto monitorsCookie = xcb_randr_get_monitors(c, session.root, 1);
        XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geometry, nullptr));
        XcbReply<xcb_randr_get_monitors_reply_t> m(xcb_randr_get_monitors_reply(c, monitorsCookie, nullptr));
        if (g) screen = {double(g->width), double(g->height)};
        monitors.clear();
        if (m) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(m.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
                monitors.push_back({double(it.data->x), double(it.data->y), double(it.data->width), double(it.data->height)});
            }
        }
        stale = false;
        applied.reset();  // a new screen size changes the matrix even for the same monitor
        tryDevice = true;
    }
};

std::unique_ptr<X11PenMapping> X11PenMapping::open(const std::string& display, std::string deviceName) {
    auto impl = std::make_unique<Impl>();
    impl->session = XcbSession::open(display);
    if (!impl->session) return nullptr;
    auto* c = impl->c = impl->session.connection.get();
    auto xiCookie = xcb_input_xi_query_version(c, 2, 2);
    auto rrCookie = xcb_randr_query_version(c, 1, 5);
    XcbReply<xcb_input_xi_query_version_reply_t> xi(xcb_input_xi_query_version_reply(c, xiCookie, nullptr));
    XcbReply<xcb_randr_query_version_reply_t> rr(xcb_randr_query_version_reply(c, rrCookie, nullptr));
    if (!xi || xi->major_version < 2 || !rr || rr->major_version < 1 || (rr->major_version == 1 && rr->minor_version < 5)) {
        Log::w("inject", "the X server lacks XInput 2 or RandR 1.5; the pen is not mapped to its display");
        return nullptr;
    }
    impl->randrEventBase = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(c, impl->session.root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    auto atoms = internAtoms(c, {"Coordinate Transformation Matrix", "FLOAT"});
    impl->matrixAtom = atoms[0];
    impl->floatAtom = atoms[1];
    impl->deviceName = std::move(deviceName);
    return std::make_unique<X11PenMapping>(std::move(impl));
}

X11PenMapping::X11PenMapping(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11PenMapping::~X11PenMapping() = default;

void X11PenMapping::refresh() {
    impl_->drainEvents();
    impl_->readLayout();
}

Rect X11PenMapping::areaFor(double x, double y) {
    impl_->drainEvents();
    if (impl_->stale) impl_->readLayout();
    Rect area = monitorAt(impl_->monitors, x, y).value_or(Rect{0, 0, impl_->screen.width, impl_->screen.height});
    auto matrix = coordinateTransformMatrix(area, impl_->screen);
    impl_->wanted = matrix;
    if (impl_->applied != matrix && impl_->tryDevice) {
        if (!setMatrix(impl_->deviceName, matrix)) {
            impl_->tryDevice = false;
            return area;
        }
        impl_->applied = matrix;
        Log::i("inject", "pen mapped to " + std::to_string(int(area.width)) + "x" + std::to_string(int(area.height)) +
                             " at " + std::to_string(int(area.x)) + "," + std::to_string(int(area.y)));
    }
    return area;
}

bool X11PenMapping::mapIfListed() {
    if (impl_->devices(impl_->deviceName).empty()) return false;
    impl_->tryDevice = true;
    impl_->applied.reset();
    if (impl_->wanted && setMatrix(impl_->deviceName, *impl_->wanted)) impl_->applied = impl_->wanted;
    return true;
}

bool X11PenMapping::setMatrix(const std::string& prefix, const std::array<float, 9>& matrix) {
    auto* c = impl_->c;
    auto ids = impl_->devices(prefix);
    // XInput takes the floats as 32-bit items in the client's byte order.
    std::array<uint32_t, 9> items{};
    std::memcpy(items.data(), matrix.data(), sizeof items);
    bool ok = !ids.empty();
    for (auto id : ids) {
        auto cookie = xcb_input_xi_change_property_checked(c, id, XCB_PROP_MODE_REPLACE, 32, impl_->matrixAtom,
                                                           impl_->floatAtom, 9, items.data());
        if (auto* err = xcb_request_check(c, cookie)) {
            Log::w("inject", "the X server refused the pen's mapping (error " + std::to_string(err->error_code) + ")");
            std::free(err);
            ok = false;
        }
    }
    return ok;
}

std::optional<std::array<float, 9>> X11PenMapping::matrix(const std::string& prefix) {
    auto* c = impl_->c;
    auto ids = impl_->devices(prefix);
    if (ids.empty()) return std::nullopt;
    XcbReply<xcb_input_xi_get_property_reply_t> r(xcb_input_xi_get_property_reply(
        c, xcb_input_xi_get_property(c, ids[0], 0, impl_->matrixAtom, impl_->floatAtom, 0, 9), nullptr));
    if (!r || r->format != 32 || r->num_items != 9) return std::nullopt;
    std::array<float, 9> out{};
    std::memcpy(out.data(), xcb_input_xi_get_property_items(r.get()), sizeof out);
    return out;
}

}  // namespace kelvo
