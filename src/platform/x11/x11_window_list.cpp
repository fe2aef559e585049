#include "platform/x11/x11_window_list.hpp"

#include <xcb/xcb.h>

#include <algorithm>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

namespace {

enum Atom { clientListStacking, activeWindow, wmPid, windowType, wmState, frameExtents, hidden, above, typeNormal,
            typeDialog, atomCount };
const std::vector<std::string> kAtomNames = {
    "_NET_CLIENT_LIST_STACKING", "_NET_ACTIVE_WINDOW", "_NET_WM_PID", "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE", "_NET_FRAME_EXTENTS", "_NET_WM_STATE_HIDDEN", "_NET_WM_STATE_ABOVE",
    "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG"};

// Layer of floating (always-on-top) windows and of every other kind of window (docks, panels,
// menus, tooltips, the desktop).
constexpr int kFloatingLayer = 3;
constexpr int kOtherLayer = 20;

bool has(const std::vector<uint32_t>& list, uint32_t atom) {
    return atom != XCB_ATOM_NONE && std::find(list.begin(), list.end(), atom) != list.end();
}

}  // namespace

struct X11WindowList::Impl {
    std::string display;
    XcbSession session;
    std::vector<xcb_atom_t> atoms;

    xcb_connection_t* connection() {
        if (session && !xcb_connection_has_error(session.connection.get())) return session.connection.get();
        session = XcbSession::open(display);
        if (!session) return nullptr;
        atoms = internAtoms(session.connection.get(), kAtomNames);
        return session.connection.get();
    }

    // Per window, every request is sent before any reply is read: one round trip for the list.
    struct Pending {
        xcb_window_t window;
        xcb_get_property_cookie_t pid, wmClass, type, state, frame;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
    };

    Pending request(xcb_connection_t* c, xcb_window_t w) {
        return {w,
                requestProperty(c, w, atoms[wmPid], 1),
                requestProperty(c, w, XCB_ATOM_WM_CLASS, 256),
                requestProperty(c, w, atoms[windowType], 32),
                requestProperty(c, w, atoms[wmState], 32),
                requestProperty(c, w, atoms[frameExtents], 4),
                xcb_get_window_attributes(c, w),
                xcb_get_geometry(c, w),
                xcb_translate_coordinates(c, w, session.root, 0, 0)};
    }

    static std::optional<std::string> owner(xcb_get_property_reply_t* pid, xcb_get_property_reply_t* wmClass) {
        if (auto p = property32(pid); !p.empty() && p[0] != 0) return "pid:" + std::to_string(p[0]);
        if (auto cls = wmClassName(wmClass)) return "class:" + *cls;
        return std::nullopt;
    }

    // Every reply is taken, so none is left behind in the connection.
    std::optional<DesktopWindow> collect(xcb_connection_t* c, const Pending& p) {
        XcbReply<xcb_get_property_reply_t> pid(xcb_get_property_reply(c, p.pid, nullptr));
        XcbReply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(c, p.wmClass, nullptr));
        XcbReply<xcb_get_property_reply_t> type(xcb_get_property_reply(c, p.type, nullptr));
        XcbReply<xcb_get_property_reply_t> state(xcb_get_property_reply(c, p.state, nullptr));
        XcbReply<xcb_get_property_reply_t> frame(xcb_get_property_reply(c, p.frame, nullptr));
        XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, p.attributes, nullptr));
        XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, p.geometry, nullptr));
        XcbReply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(c, p.origin, nullptr));
        // Gone meanwhile, or not on screen.
        if (!attributes || !geometry || !origin || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;
        auto states = property32(state.get());
        if (has(states, atoms[hidden])) return std::nullopt;

        DesktopWindow out;
        out.owner = owner(pid.get(), wmClass.get()).value_or("");
        auto types = property32(type.get());
        bool normal = types.empty() || has(types, atoms[typeNormal]) || has(types, atoms[typeDialog]);
        out.layer = !normal ? kOtherLayer : has(states, atoms[above]) ? kFloatingLayer : 0;
        auto f = property32(frame.get());  // left, right, top, bottom
        if (f.size() < 4) f.assign(4, 0);
        out.bounds = {double(origin->dst_x) - f[0], double(origin->dst_y) - f[2], double(geometry->width) + f[0] + f[1],
                      double(geometry->height) + f[2] + f[3]};
        return out;
    }

    std::vector<DesktopWindow> windows() {
        auto* c = connection();
        if (!c) return {};
        auto stacking = readProperty32(c, session.root, atoms[clientListStacking]);
        std::vector<Pending> pending;
        // The list is bottom to top.
        for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) pending.push_back(request(c, *it));
        std::vector<DesktopWindow> out;
        for (const auto& p : pending) {
            if (auto w = collect(c, p)) out.push_back(std::move(*w));
        }
        return out;
    }

    std::optional<std::string> frontOwner() {
        auto* c = connection();
        if (!c) return std::nullopt;
        auto active = readProperty32(c, session.root, atoms[activeWindow]);
        if (active.empty() || active[0] == XCB_WINDOW_NONE) return std::nullopt;
        auto pidCookie = requestProperty(c, active[0], atoms[wmPid], 1);
        auto classCookie = requestProperty(c, active[0], XCB_ATOM_WM_CLASS, 256);
        XcbReply<xcb_get_property_reply_t> pid(xcb_get_property_reply(c, pidCookie, nullptr));
        XcbReply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(c, classCookie, nullptr));
        return owner(pid.get(), wmClass.get());
    }
};

X11WindowList::X11WindowList(std::string display) : impl_(std::make_unique<Impl>()) {
    impl_->display = std::move(display);
}

X11WindowList::~X11WindowList() = default;

std::vector<DesktopWindow> X11WindowList::windows() {
    std::lock_guard lock(mutex_);
    return impl_->windows();
}

std::optional<std::string> X11WindowList::frontOwner() {
    std::lock_guard lock(mutex_);
    return impl_->frontOwner();
}

std::optional<Rect> X11WindowList::frontWindowBounds() {
    std::lock_guard lock(mutex_);
    auto owner = impl_->frontOwner();
    if (!owner) return std::nullopt;
    return TabletMappingController::frontWindow(impl_->windows(), *owner);
}

std::function<std::optional<Rect>()> x11FrontWindowBounds(const std::string& display) {
    auto list = std::make_shared<X11WindowList>(display);
    return [list] { return list->frontWindowBounds(); };
}

}  // namespace kelvo
