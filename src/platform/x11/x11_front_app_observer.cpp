#include "platform/x11/x11_front_app_observer.hpp"

#include <xcb/xcb.h>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

struct X11FrontAppObserver::State {
    XcbSession session;
    xcb_connection_t* c = nullptr;
    xcb_atom_t activeWindow = XCB_ATOM_NONE;
    std::unique_ptr<FdWatch> watch;
    std::optional<std::string> bundleID;
    X11FrontAppObserver* owner = nullptr;  // cleared by the owner's destructor

    std::optional<std::string> readFront() {
        auto active = readProperty32(c, session.root, activeWindow);
        if (active.empty() || active[0] == XCB_WINDOW_NONE) return std::nullopt;
        XcbReply<xcb_get_property_reply_t> r(
            xcb_get_property_reply(c, requestProperty(c, active[0], XCB_ATOM_WM_CLASS), nullptr));
        return wmClassName(r.get());
    }

    void onReadable(const std::weak_ptr<State>& self) {
        // Reading the front application queues events that arrive meanwhile; the loop takes them
        // before waiting on the socket again, which would not signal them.
        for (;;) {
            bool activated = false;
            while (auto* ev = xcb_poll_for_event(c)) {
                if ((ev->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                    activated = activated || reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == activeWindow;
                }
                std::free(ev);
            }
            if (xcb_connection_has_error(c)) {
                Log::w("input", "lost the X server; the front application is no longer followed");
                return;
            }
            if (!activated) break;
            bundleID = readFront();
            if (owner && owner->onChange) owner->onChange(bundleID);
            if (!owner) return;  // released inside onChange
        }
        watch->waitReadable([self] {
            if (auto s = self.lock()) s->onReadable(self);
        });
    }
};

std::unique_ptr<X11FrontAppObserver> X11FrontAppObserver::open(const std::string& display,
                                                               std::shared_ptr<Executor> main) {
    auto state = std::make_shared<State>();
    state->session = XcbSession::open(display);
    if (!state->session) {
        Log::w("input", "cannot reach the X server to follow the front application");
        return nullptr;
    }
    state->c = state->session.connection.get();
    state->activeWindow = internAtoms(state->c, {"_NET_ACTIVE_WINDOW"})[0];
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(state->c, state->session.root, XCB_CW_EVENT_MASK, &mask);
    state->bundleID = state->readFront();
    state->watch = main->watchFd(xcb_get_file_descriptor(state->c));
    if (!state->watch) return nullptr;
    return std::make_unique<X11FrontAppObserver>(state, std::move(main));
}

X11FrontAppObserver::X11FrontAppObserver(std::shared_ptr<State> state, std::shared_ptr<Executor> main)
    : state_(std::move(state)), main_(std::move(main)) {
    state_->owner = this;
    std::weak_ptr<State> self = state_;
    state_->watch->waitReadable([self] {
        if (auto s = self.lock()) s->onReadable(self);
    });
}

X11FrontAppObserver::~X11FrontAppObserver() {
    state_->owner = nullptr;
    state_->watch.reset();
    // The connection owns the watched descriptor: close it after a readiness callback that may be
    // running (this destructor can run inside onChange) has returned.
    main_->post([keep = std::move(state_)] {});
}

std::optional<std::string> X11FrontAppObserver::bundleID() const { return state_->bundleID; }

std::unique_ptr<FrontAppObserver> makeX11FrontAppObserver(const std::string& display, std::shared_ptr<Executor> main) {
    return X11FrontAppObserver::open(display, std::move(main));
}

}  // namespace kelvo
