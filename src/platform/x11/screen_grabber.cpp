#include "platform/x11/screen_grabber.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

namespace {

bool present(xcb_connection_t* c, xcb_extension_t* ext) {
    const auto* data = xcb_get_extension_data(c, ext);
    return data && data->present;
}

// Whether the root's pixels are 32-bit words 0x??RRGGBB in little-endian order, as BGRA buffers are.
bool rootIsBgrx(const xcb_setup_t* setup, const xcb_screen_t* screen) {
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
    bool bpp32 = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth) bpp32 = f.data->bits_per_pixel == 32;
    }
    if (!bpp32) return false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id != screen->root_visual) continue;
            return v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
        }
    }
    return false;
}

}  // namespace

struct ScreenGrabber::Impl {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    bool damageTracked = false;
    uint8_t damageEvent = 0;
    xcb_damage_damage_t damage = 0;
    bool dirty = true;  // the first read always happens
    bool xfixes = false;
    // The last plain GetImage reply: the pixels a read handed out live in it.
    XcbReply<xcb_get_image_reply_t> image;
    // The pointer as last looked at; composited until looked at again.
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> cursor;

    XcbReply<xcb_xfixes_get_cursor_image_reply_t> readCursor() {
        if (!xfixes) return nullptr;
        return XcbReply<xcb_xfixes_get_cursor_image_reply_t>(
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    }

    bool shmUsable = false;
    xcb_shm_seg_t seg = 0;
    uint8_t* shmData = nullptr;
    size_t shmSize = 0;

    ~Impl() {
        detachShm();
        if (c) xcb_disconnect(c);
    }

    void detachShm() {
        if (!shmData) return;
        xcb_shm_detach(c, seg);
        xcb_flush(c);
        shmdt(shmData);
        shmData = nullptr;
        shmSize = 0;
    }

    // A segment of at least `size` bytes attached on both sides; false means use GetImage.
    bool ensureShm(size_t size) {
        if (!shmUsable) return false;
        if (shmData && shmSize >= size) return true;
        detachShm();
        int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        void* mem = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
        bool ok = mem != reinterpret_cast<void*>(-1);
        if (ok) {
            seg = xcb_generate_id(c);
            XcbReply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_checked(c, seg, uint32_t(id), 0)));
            ok = !error;
        }
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);  // gone once both sides detach
        if (!ok) {
            if (mem != reinterpret_cast<void*>(-1)) shmdt(mem);
            shmUsable = false;
            static std::once_flag said;
            std::call_once(said, [] {
                Log::i("capture", "shared memory cannot be attached to the X server: reading the screen by GetImage");
            });
            return false;
        }
        shmData = static_cast<uint8_t*>(mem);
        shmSize = size;
        return true;
    }
};

ScreenGrabber::ScreenGrabber(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ScreenGrabber::~ScreenGrabber() = default;

Expected<std::unique_ptr<ScreenGrabber>, std::string> ScreenGrabber::connect(const std::string& display,
                                                                           bool sharedMemory) {
    XcbSession x = XcbSession::open(display);
    if (x.failure == XcbSession::Failure::unreachable) {
        return std::string("cannot connect to X display \"" + display + "\"");
    }
    if (!x) return std::string("X display \"" + display + "\" has no screen " + std::to_string(x.screenNumber));
    auto impl = std::make_unique<Impl>();
    impl->root = x.root;
    const xcb_screen_t* screen = x.screen;
    impl->c = x.connection.release();
    if (!rootIsBgrx(xcb_get_setup(impl->c), screen)) {
        return std::string("X screen is not 32-bit true colour (depth " + std::to_string(screen->root_depth) + ")");
    }
    xcb_connection_t* c = impl->c;

    if (present(c, &xcb_damage_id)) {
        XcbReply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        if (v) {
            impl->damageTracked = true;
            impl->damageEvent = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
            impl->damage = xcb_generate_id(c);
            xcb_damage_create(c, impl->damage, impl->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        }
    }
    if (!impl->damageTracked) Log::w("capture", "X server without DAMAGE: every frame is read, changed or not");
    if (present(c, &xcb_xfixes_id)) {
        XcbReply<xcb_xfixes_query_version_reply_t> v(
            xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        impl->xfixes = v != nullptr;
    }
    if (sharedMemory && present(c, &xcb_shm_id)) {
        XcbReply<xcb_shm_query_version_reply_t> v(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
        impl->shmUsable = v != nullptr;
    }
    xcb_flush(c);
    return std::make_unique<ScreenGrabber>(std::move(impl));
}

bool ScreenGrabber::takeDamage(bool withCursor) {
    Impl& m = *impl_;
    if (withCursor) {
        // Pointer motion damages nothing on the root, yet moves what a composited frame shows.
        auto now = m.readCursor();
        if (now && (!m.cursor || now->x != m.cursor->x || now->y != m.cursor->y ||
                    now->cursor_serial != m.cursor->cursor_serial)) {
            m.dirty = true;
        }
        m.cursor = std::move(now);
    }
    if (!m.damageTracked) return true;
    if (!damagePending()) return false;
    // Reset before the caller reads: the server handles requests in order, so anything drawn
    // after this reset raises a new notification and is read next time.
    xcb_damage_subtract(m.c, m.damage, XCB_NONE, XCB_NONE);
    // Sent now, not with the next read: until the server has it, nothing new is reported, and
    // a caller that waits for the next report would wait for ever.
    xcb_flush(m.c);
    m.dirty = false;
    return true;
}

bool ScreenGrabber::damagePending() {
    Impl& m = *impl_;
    if (!m.damageTracked) return true;
    while (auto* event = xcb_poll_for_event(m.c)) {
        if ((event->response_type & 0x7f) == m.damageEvent) m.dirty = true;
        std::free(event);
    }
    return m.dirty;
}

bool ScreenGrabber::damagePendingAfterRoundTrip() {
    Impl& m = *impl_;
    if (m.damageTracked) roundTrip(m.c);
    return damagePending();
}

bool ScreenGrabber::takeDamageAndSync() {
    Impl& m = *impl_;
    if (!damagePendingAfterRoundTrip()) return false;
    takeDamage(false);
    if (m.damageTracked) roundTrip(m.c);
    return true;
}

int ScreenGrabber::damageFd() const {
    const Impl& m = *impl_;
    if (!m.damageTracked || xcb_connection_has_error(m.c)) return -1;
    return xcb_get_file_descriptor(m.c);
}

std::optional<ScreenImage> ScreenGrabber::read(const PixelRect& area) {
    Impl& m = *impl_;
    if (area.width <= 0 || area.height <= 0) return std::nullopt;
    const size_t stride = size_t(area.width) * 4;
    const size_t size = stride * size_t(area.height);
    m.image.reset();
    if (m.ensureShm(size)) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            m.c,
            xcb_shm_get_image(m.c, m.root, int16_t(area.x), int16_t(area.y), uint16_t(area.width),
                              uint16_t(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m.seg, 0),
            &e));
        XcbReply<xcb_generic_error_t> error(e);
        if (!reply) return std::nullopt;
        return ScreenImage{m.shmData, stride, area.width, area.height};
    }
    xcb_generic_error_t* e = nullptr;
    m.image.reset(xcb_get_image_reply(
        m.c,
        xcb_get_image(m.c, XCB_IMAGE_FORMAT_Z_PIXMAP, m.root, int16_t(area.x), int16_t(area.y),
                      uint16_t(area.width), uint16_t(area.height), ~0u),
        &e));
    std::free(e);
    if (!m.image || size_t(xcb_get_image_data_length(m.image.get())) < size) return std::nullopt;
    return ScreenImage{xcb_get_image_data(m.image.get()), stride, area.width, area.height};
}

void ScreenGrabber::compositeCursor(const ScreenImage& image, int x, int y) {
    Impl& m = *impl_;
    if (!m.xfixes || !image.data) return;
    if (!m.cursor) m.cursor = m.readCursor();
    const auto* cursor = m.cursor.get();
    if (!cursor) return;
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor);
    int count = xcb_xfixes_get_cursor_image_cursor_image_length(cursor);
    int w = cursor->width;
    int h = cursor->height;
    if (!pixels || count < w * h) return;
    int left = cursor->x - cursor->xhot - x;
    int top = cursor->y - cursor->yhot - y;
    for (int row = std::max(0, -top); row < h && top + row < image.height; ++row) {
        uint8_t* d = image.data + image.stride * size_t(top + row);
        for (int col = std::max(0, -left); col < w && left + col < image.width; ++col) {
            uint32_t s = pixels[size_t(row) * size_t(w) + size_t(col)];  // premultiplied ARGB
            uint32_t a = s >> 24;
            if (a == 0) continue;
            uint8_t* px = d + 4 * size_t(left + col);
            for (int ch = 0; ch < 3; ++ch) {
                uint32_t sc = (s >> (8 * ch)) & 0xff;
                px[ch] = uint8_t(std::min<uint32_t>(255, sc + px[ch] * (255 - a) / 255));
            }
        }
    }
}

bool ScreenGrabber::usesSharedMemory() const { return impl_->shmData != nullptr; }

bool ScreenGrabber::lost() const { return xcb_connection_has_error(impl_->c) != 0; }

}  // namespace kelvo
