#include "platform/x11/x11_key_layout.hpp"

#include <xcb/xcb.h>
// The XKB protocol header names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>
#include <mutex>

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

// Sets up XKB on `c`; false (with a warning) when the server lacks it. `firstEvent` is where the
// extension's events are numbered from.
bool setUpXkb(xcb_connection_t* c, uint8_t* firstEvent = nullptr) {
    if (xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, firstEvent, nullptr)) {
        return true;
    }
    Log::w("input", "the X server has no keyboard extension; using US keys");
    return false;
}

// The map of the core keyboard's current layout on `c`, where XKB is set up.
KeyLayoutMap readLayout(xcb_connection_t* c) {
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

// The layout of one X server, read again only after the server announced a change of the
// keymap or of the active group (a layout switch). Any thread.
class FollowedLayout {
public:
    explicit FollowedLayout(const std::string& display) : display_(display) {}

    KeyLayoutMap current() {
        std::lock_guard lock(mutex_);
        if (!session_ && !connect()) return KeyLayoutMap::usANSI();
        xcb_connection_t* c = session_.connection.get();
        // A round trip first: a change the server made before now has then reached us.
        roundTrip(c);
        if (xcb_connection_has_error(c)) {
            Log::w("input", "lost the X server of the keyboard layout; using US keys");
            session_ = {};
            return KeyLayoutMap::usANSI();
        }
        bool changed = !layout_;
        while (auto* event = xcb_poll_for_event(c)) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == firstEvent_ || type == XCB_MAPPING_NOTIFY) changed = true;
            std::free(event);
        }
        if (changed) {
            layout_ = readLayout(c);
            Log::d("input", "keyboard layout read: " + std::to_string(layout_->size()) + " characters");
        }
        return *layout_;
    }

private:
    bool connect() {
        auto session = XcbSession::open(display_);
        if (!session) {
            Log::w("input", "cannot reach the X server for the keyboard layout; using US keys");
            return false;
        }
        xcb_connection_t* c = session.connection.get();
        if (!setUpXkb(c, &firstEvent_)) return false;
        // Keymap replaced (setxkbmap), keys remapped, or another group made active.
        constexpr uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                                    XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
        constexpr uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                                      XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS |
                                      XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
                                      XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        constexpr uint16_t groupParts = XCB_XKB_STATE_PART_GROUP_STATE | XCB_XKB_STATE_PART_GROUP_BASE |
                                        XCB_XKB_STATE_PART_GROUP_LATCH | XCB_XKB_STATE_PART_GROUP_LOCK;
        xcb_xkb_select_events_details_t details{};
        details.affectNewKeyboard = details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.affectState = details.stateDetails = groupParts;
        xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD, events, 0, 0, mapParts, mapParts, &details);
        session_ = std::move(session);
        layout_.reset();
        return true;
    }

    const std::string display_;
    std::mutex mutex_;
    XcbSession session_;
    uint8_t firstEvent_ = 0;
    std::optional<KeyLayoutMap> layout_;
};

}  // namespace

KeyLayoutMap x11KeyLayoutMap(const std::string& display) {
    auto session = XcbSession::open(display);
    if (!session) {
        Log::w("input", "cannot reach the X server for the keyboard layout; using US keys");
        return KeyLayoutMap::usANSI();
    }
    xcb_connection_t* c = session.connection.get();
    return setUpXkb(c) ? readLayout(c) : KeyLayoutMap::usANSI();
}

void installX11KeyLayoutSource(const std::string& display) {
    auto followed = std::make_shared<FollowedLayout>(display);
    KeyLayoutMap::installCurrentSource([followed] { return followed->current(); });
}

}  // namespace kelvo
