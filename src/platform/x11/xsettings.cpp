#include "platform/x11/xsettings.hpp"

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "core/input/input_params.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/wakeable_thread.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

namespace {

// Reads fields in the blob's own byte order, never past its end.
class Reader {
public:
    Reader(std::span<const uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}

    bool has(size_t n) const { return n <= bytes_.size() - at_; }
    size_t left() const { return bytes_.size() - at_; }
    bool skip(size_t n) {
        if (!has(n)) return false;
        at_ += n;
        return true;
    }
    std::optional<uint32_t> number(size_t width) {
        if (!has(width)) return std::nullopt;
        uint32_t v = 0;
        for (size_t i = 0; i < width; ++i) {
            const uint8_t b = bytes_[at_ + (bigEndian_ ? i : width - 1 - i)];
            v = (v << 8) | b;
        }
        at_ += width;
        return v;
    }
    // `n` bytes of text and the padding to a multiple of 4 after them.
    std::optional<std::string> padded(size_t n) {
        const size_t pad = (4 - n % 4) % 4;
        if (!has(n + pad)) return std::nullopt;
        std::string s(reinterpret_cast<const char*>(bytes_.data() + at_), n);
        at_ += n + pad;
        return s;
    }

private:
    std::span<const uint8_t> bytes_;
    bool bigEndian_;
    size_t at_ = 0;
};

enum : uint8_t { kInteger = 0, kString = 1, kColor = 2 };
constexpr size_t kSmallestSetting = 12;  // type, pad, name length, empty name, serial, integer
constexpr int32_t kLongestDoubleClickMs = 10'000;

}  // namespace

std::optional<std::map<std::string, XSettingsValue>> parseXSettings(std::span<const uint8_t> blob) {
    if (blob.size() < 12 || blob[0] > 1) return std::nullopt;
    Reader r(blob, blob[0] == 1);
    r.skip(4);     // byte order, unused
    r.number(4);   // serial
    const uint32_t count = *r.number(4);
    if (count > r.left() / kSmallestSetting) return std::nullopt;
    std::map<std::string, XSettingsValue> out;
    for (uint32_t i = 0; i < count; ++i) {
        const auto type = r.number(1);
        if (!type || !r.skip(1)) return std::nullopt;
        const auto nameLength = r.number(2);
        if (!nameLength) return std::nullopt;
        auto name = r.padded(*nameLength);
        if (!name || !r.number(4)) return std::nullopt;  // last-change serial
        XSettingsValue value;
        if (*type == kInteger) {
            const auto v = r.number(4);
            if (!v) return std::nullopt;
            value = static_cast<int32_t>(*v);
        } else if (*type == kString) {
            const auto length = r.number(4);
            if (!length) return std::nullopt;
            auto text = r.padded(*length);
            if (!text) return std::nullopt;
            value = std::move(*text);
        } else if (*type == kColor) {
            const auto red = r.number(2), blue = r.number(2), green = r.number(2), alpha = r.number(2);
            if (!alpha) return std::nullopt;
            value = XSettingsColor{uint16_t(*red), uint16_t(*green), uint16_t(*blue), uint16_t(*alpha)};
        } else {
            return std::nullopt;
        }
        out.insert_or_assign(std::move(*name), std::move(value));
    }
    return out;
}

std::optional<double> doubleClickIntervalFrom(std::span<const uint8_t> blob) {
    const auto settings = parseXSettings(blob);
    if (!settings) return std::nullopt;
    const auto it = settings->find("Net/DoubleClickTime");
    if (it == settings->end()) return std::nullopt;
    const auto* ms = std::get_if<int32_t>(&it->second);
    if (!ms || *ms <= 0 || *ms > kLongestDoubleClickMs) return std::nullopt;
    return *ms / 1000.0;
}

struct XSettingsWatcher::Impl {
    XcbSession session;
    xcb_connection_t* c = nullptr;  // session's
    xcb_atom_t selection = 0;       // _XSETTINGS_Sn of the screen
    xcb_atom_t settings = 0;        // _XSETTINGS_SETTINGS
    uint8_t selectionNotify = 0;    // XFixes' selection event; 0 without XFixes
    xcb_window_t owner = XCB_WINDOW_NONE;  // the daemon's window, whose property changes we hear of
    std::atomic<double> interval{0};      // seconds; 0: none published
    WakeableThread thread;

    // The owner and its settings, read afresh. Changes of the property are asked for before it is
    // read, so that none falls between the read and the request.
    void read() {
        XcbReply<xcb_get_selection_owner_reply_t> current(
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
        owner = current ? current->owner : xcb_window_t{XCB_WINDOW_NONE};
        std::optional<double> seconds;
        if (owner != XCB_WINDOW_NONE) {
            // Asked at each read: a new daemon's window may carry the number of one gone. A window
            // gone meanwhile answers with an error, ignored: XFixes tells of its end.
            const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(c, owner, XCB_CW_EVENT_MASK, &mask);
            // A settings blob is a few kilobytes; a quarter of a megabyte bounds what is read.
            XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
                c, xcb_get_property(c, 0, owner, settings, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536), nullptr));
            if (property && property->format == 8) {
                const auto* bytes = static_cast<const uint8_t*>(xcb_get_property_value(property.get()));
                seconds = doubleClickIntervalFrom({bytes, size_t(xcb_get_property_value_length(property.get()))});
            }
        }
        interval.store(seconds.value_or(0), std::memory_order_relaxed);
    }

    // Whether `event` may have changed what is published.
    bool concerns(const xcb_generic_event_t* event) const {
        const uint8_t type = event->response_type & 0x7f;
        if (selectionNotify != 0 && type == selectionNotify) return true;
        if (type != XCB_PROPERTY_NOTIFY) return false;
        const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        return p->window == owner && p->atom == settings;
    }

    void run(int wakeFd) {
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        for (;;) {
            bool changed = false;
            while (auto* event = xcb_poll_for_event(c)) {
                changed = changed || concerns(event);
                std::free(event);
            }
            if (xcb_connection_has_error(c)) {
                interval.store(0, std::memory_order_relaxed);
                Log::w("input", "lost the X server of the desktop settings; double clicks use half a second");
                return;
            }
            // Events that came with the read's replies are queued already: look again before waiting.
            if (changed) {
                read();
                continue;
            }
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents != 0) return;
        }
    }
};

Expected<std::unique_ptr<XSettingsWatcher>, std::string> XSettingsWatcher::start(const std::string& display) {
    auto impl = std::make_unique<Impl>();
    impl->session = XcbSession::open(display);
    if (!impl->session) return "cannot connect to the X server " + (display.empty() ? std::string("$DISPLAY") : display);
    impl->c = impl->session.connection.get();
    xcb_connection_t* c = impl->c;
    const auto atoms = internAtoms(c, {"_XSETTINGS_S" + std::to_string(impl->session.screenNumber), "_XSETTINGS_SETTINGS"});
    if (!atoms[0] || !atoms[1]) return std::string("the X server refused the settings atoms");
    impl->selection = atoms[0];
    impl->settings = atoms[1];
    const auto* fixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    XcbReply<xcb_xfixes_query_version_reply_t> version(
        fixes && fixes->present ? xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr) : nullptr);
    if (version) {
        // A daemon taking the selection, or its owner going away.
        xcb_xfixes_select_selection_input(c, impl->session.root, impl->selection,
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                              XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                              XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        impl->selectionNotify = fixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
    } else {
        Log::w("input", "the X server has no XFixes: a settings daemon started later is not heard of");
    }
    impl->read();
    if (!impl->thread.start("kv.xsettings", [raw = impl.get()](int wakeFd) { raw->run(wakeFd); })) {
        return std::string("cannot start the settings thread (see the log)");
    }
    return std::make_unique<XSettingsWatcher>(std::move(impl));
}

XSettingsWatcher::XSettingsWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

XSettingsWatcher::~XSettingsWatcher() { impl_->thread.stop(); }

std::optional<double> XSettingsWatcher::doubleClickInterval() const {
    const double seconds = impl_->interval.load(std::memory_order_relaxed);
    return seconds > 0 ? std::optional(seconds) : std::nullopt;
}

void installX11DoubleClickSource(const std::string& display) {
    auto watcher = XSettingsWatcher::start(display);
    if (!watcher.ok()) {
        Log::w("input", watcher.error() + ": double clicks use half a second");
        InputParams::installDoubleClickSource(nullptr);
        return;
    }
    std::shared_ptr<const XSettingsWatcher> shared = std::move(watcher).value();
    InputParams::installDoubleClickSource([shared] { return shared->doubleClickInterval(); });
}

}  // namespace kelvo
