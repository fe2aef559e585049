#include "platform/x11/xsettings.hpp"

#include <xcb/xcb.h>

#include <cstdlib>

#include "core/input/input_params.hpp"
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

std::optional<double> x11DoubleClickInterval(const std::string& display) {
    auto session = XcbSession::open(display);
    if (!session) return std::nullopt;
    xcb_connection_t* c = session.connection.get();
    int screen = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it), ++screen) {
        if (it.data->root == session.root) break;
    }
    const auto atoms = internAtoms(c, {"_XSETTINGS_S" + std::to_string(screen), "_XSETTINGS_SETTINGS"});
    if (!atoms[0] || !atoms[1]) return std::nullopt;
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms[0]), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE) return std::nullopt;
    // A settings blob is a few kilobytes; a quarter of a megabyte bounds what is read.
    XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, owner->owner, atoms[1], XCB_GET_PROPERTY_TYPE_ANY, 0, 65536), nullptr));
    if (!property || property->format != 8) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(xcb_get_property_value(property.get()));
    return doubleClickIntervalFrom({bytes, size_t(xcb_get_property_value_length(property.get()))});
}

void installX11DoubleClickSource(const std::string& display) {
    InputParams::installDoubleClickSource([display] { return x11DoubleClickInterval(display); });
}

}  // namespace kelvo
