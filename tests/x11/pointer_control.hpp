#pragma once

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kelvo::test {

// Another program on the desktop that sets the root's pointer image and moves the pointer.
class PointerControl {
public:
    explicit PointerControl(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    }
    ~PointerControl() { xcb_disconnect(c_); }
    PointerControl(const PointerControl&) = delete;
    PointerControl& operator=(const PointerControl&) = delete;

    // An ARGB image (premultiplied 0xAARRGGBB, row by row) with its hot spot as the root's
    // pointer. False when the server cannot make ARGB cursors.
    bool defineArgbCursor(int width, int height, int hotX, int hotY, const std::vector<uint32_t>& argb) {
        xcb_render_pictformat_t format = argbFormat();
        if (!format) return false;
        xcb_pixmap_t pixmap = xcb_generate_id(c_);
        xcb_create_pixmap(c_, 32, pixmap, root_, uint16_t(width), uint16_t(height));
        xcb_gcontext_t gc = xcb_generate_id(c_);
        xcb_create_gc(c_, gc, pixmap, 0, nullptr);
        xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(width), uint16_t(height), 0, 0, 0, 32,
                      uint32_t(argb.size() * 4), reinterpret_cast<const uint8_t*>(argb.data()));
        xcb_render_picture_t picture = xcb_generate_id(c_);
        xcb_render_create_picture(c_, picture, pixmap, format, 0, nullptr);
        xcb_cursor_t cursor = xcb_generate_id(c_);
        xcb_render_create_cursor(c_, cursor, picture, uint16_t(hotX), uint16_t(hotY));
        xcb_change_window_attributes(c_, root_, XCB_CW_CURSOR, &cursor);
        xcb_render_free_picture(c_, picture);
        xcb_free_gc(c_, gc);
        xcb_free_pixmap(c_, pixmap);
        xcb_free_cursor(c_, cursor);
        return sync();
    }

    void warp(int x, int y) {
        xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, int16_t(x), int16_t(y));
        sync();
    }

private:
    bool sync() {
        auto* reply = xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr);
        std::free(reply);
        return reply != nullptr;
    }
    xcb_render_pictformat_t argbFormat() {
        auto* reply = xcb_render_query_pict_formats_reply(c_, xcb_render_query_pict_formats(c_), nullptr);
        if (!reply) return 0;
        xcb_render_pictformat_t found = 0;
        for (auto it = xcb_render_query_pict_formats_formats_iterator(reply); it.rem;
             xcb_render_pictforminfo_next(&it)) {
            const auto& f = *it.data;
            if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == 32 && f.direct.alpha_shift == 24 &&
                f.direct.alpha_mask == 0xff && f.direct.red_shift == 16 && f.direct.green_shift == 8 &&
                f.direct.blue_shift == 0) {
                found = f.id;
            }
        }
        std::free(reply);
        return found;
    }

    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
};

}  // namespace kelvo::test
