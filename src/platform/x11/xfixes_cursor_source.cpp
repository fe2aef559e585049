#include "platform/x11/xfixes_cursor_source.hpp"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <utility>

#include "platform/x11/xcb_session.hpp"

namespace kelvo {

struct XfixesCursorSource::Impl {
    XcbSession x;
    uint8_t cursorNotify = 0;
    uint64_t changes = 0;
    uint8_t inputOpcode = 0;  // 0: no XInput 2, motion is not reported
    bool moved = false;

    // Takes every event that has arrived, whether still on the socket or already read by a reply.
    void pump() {
        xcb_connection_t* c = x.connection.get();
        while (auto* event = xcb_poll_for_event(c)) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == cursorNotify) {
                ++changes;
            } else if (type == XCB_GE_GENERIC && inputOpcode != 0 &&
                       reinterpret_cast<xcb_ge_generic_event_t*>(event)->extension == inputOpcode) {
                moved = true;
            }
            std::free(event);
        }
    }
    // Raw motion of every pointer (grabs included, but not warps), and the root's own motion,
    // which warps do cause: the position is read when either says it may have changed.
    void selectMotion() {
        xcb_connection_t* c = x.connection.get();
        const auto* ext = xcb_get_extension_data(c, &xcb_input_id);
        if (!ext || !ext->present) return;
        XcbReply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (!version || version->major_version < 2) return;
        struct {
            xcb_input_event_mask_t head;
            uint32_t mask;
        } select{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                 XCB_INPUT_XI_EVENT_MASK_RAW_MOTION | XCB_INPUT_XI_EVENT_MASK_MOTION};
        if (auto* error = xcb_request_check(c, xcb_input_xi_select_events_checked(c, x.root, 1, &select.head))) {
            std::free(error);
            return;
        }
        inputOpcode = ext->major_opcode;
    }
};

XfixesCursorSource::XfixesCursorSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
XfixesCursorSource::~XfixesCursorSource() = default;

Expected<std::unique_ptr<XfixesCursorSource>, std::string> XfixesCursorSource::connect(const std::string& display) {
    auto impl = std::make_unique<Impl>();
    impl->x = XcbSession::open(display);
    if (!impl->x) return std::string("cannot connect to X display \"" + display + "\"");
    xcb_connection_t* c = impl->x.connection.get();
    const auto* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
    XcbReply<xcb_xfixes_query_version_reply_t> version(
        ext && ext->present ? xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr)
                            : nullptr);
    if (!version) return std::string("X server without XFixes: the pointer's image cannot be read");
    impl->cursorNotify = uint8_t(ext->first_event + XCB_XFIXES_CURSOR_NOTIFY);
    xcb_xfixes_select_cursor_input(c, impl->x.root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    impl->selectMotion();
    xcb_flush(c);
    return std::make_unique<XfixesCursorSource>(std::move(impl));
}

uint64_t XfixesCursorSource::shapeSerial() {
    impl_->pump();
    return impl_->changes;
}

int XfixesCursorSource::changeFd() {
    xcb_connection_t* c = impl_->x.connection.get();
    if (impl_->inputOpcode == 0 || xcb_connection_has_error(c)) return -1;
    return xcb_get_file_descriptor(c);
}

bool XfixesCursorSource::takeMotion() {
    impl_->pump();
    return std::exchange(impl_->moved, false) || impl_->inputOpcode == 0;
}

std::optional<CursorImage> XfixesCursorSource::image() {
    xcb_connection_t* c = impl_->x.connection.get();
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!reply) return std::nullopt;
    CursorImage image{reply->width, reply->height, reply->xhot, reply->yhot, {}};
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const size_t count = size_t(image.width) * size_t(image.height);
    if (size_t(xcb_xfixes_get_cursor_image_cursor_image_length(reply.get())) < count) return std::nullopt;
    image.argb.assign(pixels, pixels + count);
    return image;
}

std::optional<Point> XfixesCursorSource::location() {
    xcb_connection_t* c = impl_->x.connection.get();
    XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, impl_->x.root), nullptr));
    // On another screen of the server the position is not this desktop's.
    if (!reply || !reply->same_screen) return std::nullopt;
    return Point{double(reply->root_x), double(reply->root_y)};
}

}  // namespace kelvo
