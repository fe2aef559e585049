#include "platform/x11/xfixes_cursor_source.hpp"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>

#include "platform/x11/xcb_session.hpp"

namespace kelvo {

struct XfixesCursorSource::Impl {
    XcbSession x;
    uint8_t cursorNotify = 0;
    uint64_t changes = 0;
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
    xcb_flush(c);
    return std::make_unique<XfixesCursorSource>(std::move(impl));
}

uint64_t XfixesCursorSource::shapeSerial() {
    xcb_connection_t* c = impl_->x.connection.get();
    while (auto* event = xcb_poll_for_event(c)) {
        if ((event->response_type & 0x7f) == impl_->cursorNotify) ++impl_->changes;
        std::free(event);
    }
    return impl_->changes;
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
