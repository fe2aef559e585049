#include "platform/x11/xtest_event_sink.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/input/key_combo.hpp"
#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {

namespace {

// Virtual key → evdev code, indexed by virtual key; 0 where the PC keyboard has no such key.
constexpr std::array<uint8_t, 127> kEvdevOfVirtual = [] {
    std::array<uint8_t, 127> t{};
    const std::pair<uint8_t, uint8_t> pairs[] = {
        {0, 30},   {1, 31},   {2, 32},   {3, 33},   {4, 35},   {5, 34},   {6, 44},   {7, 45},   {8, 46},
        {9, 47},   {10, 86},  {11, 48},  {12, 16},  {13, 17},  {14, 18},  {15, 19},  {16, 21},  {17, 20},
        {18, 2},   {19, 3},   {20, 4},   {21, 5},   {22, 7},   {23, 6},   {24, 13},  {25, 10},  {26, 8},
        {27, 12},  {28, 9},   {29, 11},  {30, 27},  {31, 24},  {32, 22},  {33, 26},  {34, 23},  {35, 25},
        {36, 28},  {37, 38},  {38, 36},  {39, 40},  {40, 37},  {41, 39},  {42, 43},  {43, 51},  {44, 53},
        {45, 49},  {46, 50},  {47, 52},  {48, 15},  {49, 57},  {50, 41},  {51, 14},  {53, 1},   {54, 97},
        {55, 29},  {56, 42},  {57, 58},  {58, 56},  {59, 29},  {60, 54},  {61, 100}, {62, 97},  {64, 187},
        {65, 83},  {67, 55},  {69, 78},  {71, 69},  {72, 115}, {73, 114}, {74, 113}, {75, 98},  {76, 96},
        {78, 74},  {79, 188}, {80, 189}, {81, 117}, {82, 82},  {83, 79},  {84, 80},  {85, 81},  {86, 75},
        {87, 76},  {88, 77},  {89, 71},  {90, 190}, {91, 72},  {92, 73},  {93, 124}, {94, 89},  {95, 121},
        {96, 63},  {97, 64},  {98, 65},  {99, 61},  {100, 66}, {101, 67}, {102, 94}, {103, 87}, {104, 92},
        {105, 183}, {106, 186}, {107, 184}, {109, 68}, {111, 88}, {113, 185}, {114, 110}, {115, 102},
        {116, 104}, {117, 111}, {118, 62}, {119, 107}, {120, 60}, {121, 109}, {122, 59}, {123, 105},
        {124, 106}, {125, 108}, {126, 103},
    };
    for (auto [v, e] : pairs) t[v] = e;
    return t;
}();

constexpr uint8_t kEvdevShift = 42, kEvdevRightShift = 54;
constexpr uint8_t kEvdevControl = 29, kEvdevRightControl = 97;
constexpr uint8_t kEvdevAlt = 56, kEvdevRightAlt = 100;
constexpr uint8_t kXKeycodeOffset = 8;
constexpr uint32_t kNoSymbol = 0;

struct ModifierGroup {
    EventFlags mask;
    uint8_t left, right;
};
constexpr ModifierGroup kModifierGroups[] = {
    {EventFlag::shift, kEvdevShift, kEvdevRightShift},
    {EventFlag::control | EventFlag::command, kEvdevControl, kEvdevRightControl},
    {EventFlag::option, kEvdevAlt, kEvdevRightAlt},
};

uint8_t xButton(MouseButton b) {
    switch (b) {
        case MouseButton::left: return 1;
        case MouseButton::middle: return 2;
        case MouseButton::right: return 3;
    }
    return 1;
}

// The keysym X uses for a character.
uint32_t keysymOf(char32_t c) {
    if (c == U'\n' || c == U'\r') return 0xff0d;  // Return
    if (c == U'\t') return 0xff09;                // Tab
    if (c == 0x08) return 0xff08;                 // BackSpace
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) return c;
    return 0x01000000u | c;
}

// Code points of UTF-8 text; invalid bytes are skipped.
std::vector<char32_t> codePoints(const std::string& s) {
    std::vector<char32_t> out;
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<uint8_t>(s[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) {
            ++i;
            continue;
        }
        char32_t c = len == 1 ? b : b & (0x7f >> len);
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            auto cb = static_cast<uint8_t>(s[i + k]);
            if ((cb & 0xc0) != 0x80) ok = false;
            c = (c << 6) | (cb & 0x3f);
        }
        if (ok && c <= 0x10ffff && !(c >= 0xd800 && c <= 0xdfff)) out.push_back(c);
        i += ok ? len : 1;
    }
    return out;
}

}  // namespace

std::optional<uint16_t> evdevKeyFor(uint16_t virtualKey) {
    if (virtualKey >= kEvdevOfVirtual.size() || kEvdevOfVirtual[virtualKey] == 0) return std::nullopt;
    return kEvdevOfVirtual[virtualKey];
}

struct XTestEventSink::Impl {
    XcbSession session;
    xcb_connection_t* c = nullptr;  // session's
    xcb_window_t root = 0;
    xcb_atom_t netSupported = 0, netCurrentDesktop = 0, netNumberOfDesktops = 0;
    std::mutex mutex;
    bool locked = false;
    bool broken = false;
    PressedButtons buttons;
    std::set<uint8_t> keysDown;  // X keycodes the sink holds
    int32_t scrollX = 0, scrollY = 0;  // pixels not yet worth a wheel step
    double magnify = 0;                // scale change not yet worth a wheel step

    // The keyboard mapping, refreshed when the server says it changed.
    uint8_t minKeycode = 8;
    uint8_t perKeycode = 0;
    std::vector<uint32_t> keysyms;
    std::vector<uint8_t> spares;                  // keycodes without symbols, ours to map
    std::vector<std::pair<uint8_t, uint32_t>> mapped;  // spare keycode → keysym we put there
    size_t nextSpare = 0;

    ~Impl() {
        if (!c) return;
        releaseAll();
        for (auto& [code, sym] : mapped) setKeysym(code, kNoSymbol);
        sync();
    }

    // Waits until the server has handled everything sent, so the events are in effect for every
    // client by the time a post returns.
    void sync() { roundTrip(c); }

    bool fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0, bool check = false) {
        if (broken) return false;
        if (!check) {
            xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? root : XCB_NONE, x, y, 0);
            return true;
        }
        auto cookie = xcb_test_fake_input_checked(c, type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        if (auto* err = xcb_request_check(c, cookie)) {
            Log::w("inject", "X server refused an input event (error " + std::to_string(err->error_code) + ")");
            std::free(err);
            return false;
        }
        if (xcb_connection_has_error(c)) {
            broken = true;
            Log::e("inject", "connection to the X server lost; input is no longer injected");
            return false;
        }
        return true;
    }

    bool pressKey(uint8_t keycode) {
        if (keysDown.count(keycode)) return true;
        if (!fake(XCB_KEY_PRESS, keycode, 0, 0, true)) return false;
        keysDown.insert(keycode);
        return true;
    }
    void releaseKey(uint8_t keycode) {
        if (keysDown.erase(keycode)) fake(XCB_KEY_RELEASE, keycode);
    }

    void releaseAll() {
        for (auto b : {MouseButton::left, MouseButton::right, MouseButton::middle}) {
            if (buttons.isDown(b)) fake(XCB_BUTTON_RELEASE, xButton(b));
            buttons.released(b);
        }
        auto held = keysDown;
        for (auto k : held) releaseKey(k);
        scrollX = scrollY = 0;
        magnify = 0;
        sync();
    }

    // Holds exactly the modifier keys `flags` asks for.
    void syncModifiers(EventFlags flags) {
        for (const auto& g : kModifierGroups) {
            uint8_t left = g.left + kXKeycodeOffset, right = g.right + kXKeycodeOffset;
            bool held = keysDown.count(left) || keysDown.count(right);
            bool wanted = (flags & g.mask) != 0;
            if (wanted && !held) {
                pressKey(left);
            } else if (!wanted && held) {
                releaseKey(left);
                releaseKey(right);
            }
        }
    }

    // Always sent, even to the place of our own last move: the mouse or the pen device (whose
    // motion bypasses XTest) may have moved the pointer since, and a press must land at the touch.
    void moveTo(Point p) {
        fake(XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(std::lround(p.x)), static_cast<int16_t>(std::lround(p.y)));
    }

    void press(MouseButton b, Point p) {
        moveTo(p);
        if (fake(XCB_BUTTON_PRESS, xButton(b), 0, 0, true)) buttons.pressed(b);
    }
    void release(MouseButton b, Point p) {
        moveTo(p);
        if (!buttons.isDown(b)) return;  // never pressed (or its press failed): nothing to release
        fake(XCB_BUTTON_RELEASE, xButton(b));
        buttons.released(b);
    }

    void wheel(uint8_t button, int steps) {
        for (int i = 0; i < steps; ++i) {
            fake(XCB_BUTTON_PRESS, button);
            fake(XCB_BUTTON_RELEASE, button);
        }
    }

    // Whole steps out of `acc`, the rest kept.
    static int takeSteps(int32_t& acc, int32_t per) {
        int steps = acc / per;
        acc -= steps * per;
        return steps;
    }

    void scroll(const synth::Scroll& s) {
        if (s.phase == ScrollPhase::began || s.momentum == MomentumPhase::begin) scrollX = scrollY = 0;
        moveTo(s.at);
        // A positive delta scrolls up (or left), as a wheel turned away from the user.
        scrollY += s.dy;
        scrollX += s.dx;
        int y = takeSteps(scrollY, pixelsPerWheelStep);
        int x = takeSteps(scrollX, pixelsPerWheelStep);
        wheel(y > 0 ? 4 : 5, std::abs(y));
        wheel(x > 0 ? 6 : 7, std::abs(x));
    }

    void magnifyStep(const synth::Magnify& m, EventFlags flags) {
        moveTo(m.point);
        syncModifiers(flags | EventFlag::control);
        magnify += m.amount;
        int steps = static_cast<int>(magnify / magnifyPerWheelStep);
        magnify -= steps * magnifyPerWheelStep;
        wheel(steps > 0 ? 4 : 5, std::abs(steps));
        if (m.phase == GesturePhase::ended) {
            magnify = 0;
            syncModifiers(flags);
        }
    }

    void refreshMapping() {
        const xcb_setup_t* setup = xcb_get_setup(c);
        minKeycode = setup->min_keycode;
        uint8_t count = setup->max_keycode - setup->min_keycode + 1;
        auto* reply = xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, minKeycode, count), nullptr);
        if (!reply) return;
        perKeycode = reply->keysyms_per_keycode;
        auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
        keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply));
        std::free(reply);
        // Keep the keycodes we mapped that still hold our symbol; the rest of ours are lost.
        std::vector<std::pair<uint8_t, uint32_t>> kept;
        for (auto& m : mapped) {
            if (symbolAt(m.first, 0) == m.second) kept.push_back(m);
        }
        mapped = std::move(kept);
        spares.clear();
        for (int k = 0; k < count; ++k) {
            auto code = static_cast<uint8_t>(minKeycode + k);
            bool empty = true;
            for (int l = 0; l < perKeycode; ++l) empty = empty && keysyms[k * perKeycode + l] == kNoSymbol;
            bool ours = false;
            for (auto& m : mapped) ours = ours || m.first == code;
            if (empty || ours) spares.push_back(code);
        }
    }

    uint32_t symbolAt(uint8_t code, int level) const {
        size_t i = static_cast<size_t>(code - minKeycode) * perKeycode + level;
        return code >= minKeycode && level < perKeycode && i < keysyms.size() ? keysyms[i] : kNoSymbol;
    }

    // MappingNotify comes to every client; reading it keeps our copy of the mapping current.
    void drainEvents() {
        bool changed = false;
        while (auto* ev = xcb_poll_for_event(c)) {
            if ((ev->response_type & 0x7f) == XCB_MAPPING_NOTIFY) changed = true;
            std::free(ev);
        }
        if (changed) refreshMapping();
    }

    void setKeysym(uint8_t code, uint32_t sym) {
        std::vector<uint32_t> row(perKeycode == 0 ? 1 : perKeycode, kNoSymbol);
        // Both levels carry the symbol, so a held Shift changes nothing.
        row[0] = sym;
        if (row.size() > 1) row[1] = sym;
        xcb_change_keyboard_mapping(c, 1, code, static_cast<uint8_t>(row.size()), row.data());
    }

    struct Keystroke {
        uint8_t code;
        bool shift;
    };

    // The key that types `sym`: the layout's (or a spare keycode mapped to it earlier), else a spare
    // keycode mapped to it now. The spare keycodes the text will press are `held`: none of them is
    // mapped again before they are typed. Nothing when no spare is left.
    std::optional<Keystroke> keyFor(uint32_t sym, std::set<uint8_t>& held) {
        for (int level = 0; level < std::min<int>(perKeycode, 2); ++level) {
            for (size_t k = 0; k * perKeycode < keysyms.size(); ++k) {
                if (keysyms[k * perKeycode + level] != sym) continue;
                const auto code = static_cast<uint8_t>(minKeycode + k);
                if (std::find(spares.begin(), spares.end(), code) != spares.end()) held.insert(code);
                return Keystroke{code, level == 1};
            }
        }
        for (size_t tries = 0; tries < spares.size(); ++tries) {
            const uint8_t code = spares[nextSpare++ % spares.size()];
            if (held.count(code)) continue;
            setKeysym(code, sym);
            held.insert(code);
            std::erase_if(mapped, [&](auto& m) { return m.first == code; });
            mapped.emplace_back(code, sym);
            // Our copy now shows the symbol on that keycode; the server's MappingNotify confirms it.
            size_t base = static_cast<size_t>(code - minKeycode) * perKeycode;
            keysyms[base] = sym;
            if (perKeycode > 1) keysyms[base + 1] = sym;
            return Keystroke{code, false};
        }
        return std::nullopt;
    }

    // EWMH: the window manager switches when asked through a client message to the root.
    void switchDesktop(int step) {
        const auto supported = readProperty32(c, root, netSupported);
        if (std::find(supported.begin(), supported.end(), netCurrentDesktop) == supported.end()) {
            Log::i("inject", "the window manager does not switch desktops on request (no _NET_CURRENT_DESKTOP)");
            return;
        }
        const auto count = readProperty32(c, root, netNumberOfDesktops);
        const auto current = readProperty32(c, root, netCurrentDesktop);
        if (count.empty() || count[0] < 2 || current.empty()) {
            Log::d("inject", "one desktop only: nothing to switch to");
            return;
        }
        const int64_t n = count[0];
        const auto target = static_cast<uint32_t>(((int64_t(current[0]) + step) % n + n) % n);
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = root;
        message.type = netCurrentDesktop;
        message.data.data32[0] = target;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&message));
        Log::i("inject", "desktop " + std::to_string(target + 1) + " of " + std::to_string(n) + " asked for");
    }

    // Every keycode a text needs is mapped before the first of its keys goes down. A program that
    // reads its first key fetches the keyboard map then and asks to hear of changes only after the
    // fetch (as Xlib does); a keycode mapped between our first key and its request would reach it
    // without a symbol. Only a text with more new characters than there are spare keycodes maps
    // again after typing its first part.
    void text(const std::string& s, EventFlags flags) {
        std::vector<Keystroke> keys;
        std::set<uint8_t> held;
        auto type = [&] {
            // Typed characters must not turn into shortcuts: only the Shift a character needs is held.
            for (const auto& key : keys) {
                syncModifiers(key.shift ? EventFlag::shift : EventFlag::none);
                if (pressKey(key.code)) releaseKey(key.code);
            }
            keys.clear();
            held.clear();
        };
        for (char32_t ch : codePoints(s)) {
            auto key = keyFor(keysymOf(ch), held);
            if (!key && !held.empty()) {
                type();
                key = keyFor(keysymOf(ch), held);
            }
            if (key) {
                keys.push_back(*key);
            } else {
                Log::w("inject", "no keycode free for a character; it is not typed");
            }
        }
        type();
        syncModifiers(flags);
    }

    void post(const SynthEvent& event, EventFlags flags) {
        drainEvents();
        std::visit(
            [&](const auto& e) {
                using E = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<E, synth::FlagsChanged>) {
                    syncModifiers(e.flags);
                } else if constexpr (std::is_same_v<E, synth::Text>) {
                    text(e.text, flags);
                } else if constexpr (std::is_same_v<E, synth::Magnify>) {
                    magnifyStep(e, flags);
                } else if constexpr (std::is_same_v<E, synth::SwitchDesktop>) {
                    switchDesktop(e.step);
                } else {
                    syncModifiers(flags);
                    if constexpr (std::is_same_v<E, synth::Move> || std::is_same_v<E, synth::Drag>) {
                        moveTo(e.point);
                    } else if constexpr (std::is_same_v<E, synth::Down>) {
                        press(e.button, e.point);
                    } else if constexpr (std::is_same_v<E, synth::Up>) {
                        release(e.button, e.point);
                    } else if constexpr (std::is_same_v<E, synth::Scroll>) {
                        scroll(e);
                    } else if constexpr (std::is_same_v<E, synth::GestureBegin>) {
                        magnify = 0;
                    } else if constexpr (std::is_same_v<E, synth::GestureEnd>) {
                        magnify = 0;
                    } else if constexpr (std::is_same_v<E, synth::Tablet>) {
                        if (e.action == TabletAction::down) press(MouseButton::left, e.point);
                        else if (e.action == TabletAction::up) release(MouseButton::left, e.point);
                        else moveTo(e.point);
                    } else if constexpr (std::is_same_v<E, synth::Key>) {
                        auto evdev = evdevKeyFor(e.keyCode);
                        if (!evdev) {
                            Log::d("inject", "no key on this keyboard for virtual key " + std::to_string(e.keyCode));
                        } else if (e.down) {
                            pressKey(static_cast<uint8_t>(*evdev + kXKeycodeOffset));
                        } else {
                            releaseKey(static_cast<uint8_t>(*evdev + kXKeycodeOffset));
                        }
                    }
                    // Proximity has no XTest form.
                }
            },
            event);
        sync();
    }
};

Expected<std::unique_ptr<XTestEventSink>, std::string> XTestEventSink::connect(const std::string& display) {
    auto impl = std::make_unique<Impl>();
    impl->session = XcbSession::open(display);
    if (!impl->session) return std::string("cannot connect to the X server ") + (display.empty() ? "$DISPLAY" : display);
    impl->c = impl->session.connection.get();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(impl->c, &xcb_test_id);
    if (!ext || !ext->present) return std::string("the X server has no XTest extension");
    impl->root = impl->session.root;
    const auto atoms = internAtoms(impl->c, {"_NET_SUPPORTED", "_NET_CURRENT_DESKTOP", "_NET_NUMBER_OF_DESKTOPS"});
    impl->netSupported = atoms[0];
    impl->netCurrentDesktop = atoms[1];
    impl->netNumberOfDesktops = atoms[2];
    impl->refreshMapping();
    return {std::make_unique<XTestEventSink>(std::move(impl))};
}

XTestEventSink::XTestEventSink(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

// Nobody posts any more; Impl's destructor releases what is held.
XTestEventSink::~XTestEventSink() = default;

void XTestEventSink::post(const SynthEvent& event, EventFlags flags) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->locked) {
        Log::d("inject", [&] { return "session locked; dropped " + describe(event); });
        return;
    }
    impl_->post(event, flags);
}

void XTestEventSink::declareUserActivity() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->locked) return;
    xcb_force_screen_saver(impl_->c, XCB_SCREEN_SAVER_RESET);
    xcb_flush(impl_->c);
}

void XTestEventSink::setLocked(bool locked) {
    std::lock_guard lock(impl_->mutex);
    if (locked && !impl_->locked) {
        Log::i("inject", "session locked: input held by the tablet released, injection paused");
        impl_->releaseAll();
    }
    impl_->locked = locked;
}

}  // namespace kelvo
