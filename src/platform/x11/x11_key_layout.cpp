#include "platform/x11/x11_key_layout.hpp"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"
#include "platform/x11/xtest_event_sink.hpp"

namespace kelvo {

namespace {

struct XkbContextFree {
    void operator()(xkb_context* p) const { xkb_context_unref(p); }
};
struct XkbKeymapFree {
    void operator()(xkb_keymap* p) const { xkb_keymap_unref(p); }
};
struct XkbStateFree {
    void operator()(xkb_state* p) const { xkb_state_unref(p); }
};

constexpr xkb_keycode_t kXKeycodeOffset = 8;

}  // namespace

KeyLayoutMap x11KeyLayoutMap(const std::string& display) {
    auto session = XcbSession::open(display);
    if (!session) {
        Log::w("input", "cannot reach the X server for the keyboard layout; using US keys");
        return KeyLayoutMap::usANSI();
    }
    xcb_connection_t* c = session.connection.get();
    if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
        Log::w("input", "the X server has no keyboard extension; using US keys");
        return KeyLayoutMap::usANSI();
    }
    std::unique_ptr<xkb_context, XkbContextFree> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    int32_t device = xkb_x11_get_core_keyboard_device_id(c);
    if (!context || device < 0) return KeyLayoutMap::usANSI();
    std::unique_ptr<xkb_keymap, XkbKeymapFree> keymap(
        xkb_x11_keymap_new_from_device(context.get(), c, device, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) return KeyLayoutMap::usANSI();
    std::unique_ptr<xkb_state, XkbStateFree> live(xkb_x11_state_new_from_device(keymap.get(), c, device));
    std::unique_ptr<xkb_state, XkbStateFree> state(xkb_state_new(keymap.get()));
    if (!live || !state) return KeyLayoutMap::usANSI();
    const xkb_layout_index_t group = xkb_state_serialize_layout(live.get(), XKB_STATE_LAYOUT_EFFECTIVE);
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t shiftMask = shiftIndex == XKB_MOD_INVALID ? 0 : 1u << shiftIndex;

    return KeyLayoutMap::fromTranslator([&](uint16_t virtualKey, bool shift) -> std::optional<char32_t> {
        auto evdev = evdevKeyFor(virtualKey);
        if (!evdev) return std::nullopt;
        // Only Shift, in the user's current group: the keys a stroke with that flag types.
        xkb_state_update_mask(state.get(), shift ? shiftMask : 0, 0, 0, 0, 0, group);
        xkb_keycode_t key = *evdev + kXKeycodeOffset;
        // Dead keys and keys that type several characters yield no single character.
        uint32_t cp = xkb_state_key_get_utf32(state.get(), key);
        if (cp == 0) return std::nullopt;
        return static_cast<char32_t>(cp);
    });
}

void installX11KeyLayoutSource(const std::string& display) {
    KeyLayoutMap::installCurrentSource([display] { return x11KeyLayoutMap(display); });
}

}  // namespace kelvo
