#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "core/input/key_combo.hpp"
#include "testing/x_server.hpp"
#include "platform/x11/xcb_session.hpp"
#include "platform/x11/xtest_event_sink.hpp"
#include "support/test_support.hpp"

// Xlib last: its macros (None, Bool, Status, ...) would rename names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace kelvo {
namespace {

struct Received {
    uint8_t type;    // XCB_BUTTON_PRESS or XCB_KEY_PRESS
    uint8_t detail;  // button or keycode
    uint16_t state;  // modifiers and buttons before the event
    int16_t rootX = 0, rootY = 0;
};

// Keycodes of Shift, Control and Alt (left and right) in the server's default mapping.
const std::set<uint8_t> kModifierKeycodes = {50, 62, 37, 105, 64, 108};

// A window of the test's own at (100, 100, 400 × 300) with the keyboard focus, recording the
// presses it receives.
class TestWindow {
public:
    explicit TestWindow(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        root_ = screen->root;
        win_ = xcb_generate_id(c_);
        uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_KEY_PRESS};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, win_, root_, 100, 100, 400, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c_, win_);
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, win_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // round trip: mapped
    }
    ~TestWindow() { xcb_disconnect(c_); }

    // The next `n` presses (modifier keys left out), or fewer once `wait` has passed.
    std::vector<Received> presses(size_t n, std::chrono::milliseconds wait = test::kPatience) {
        std::vector<Received> out;
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            auto* ev = xcb_poll_for_event(c_);
            if (!ev) {
                usleep(2000);
                continue;
            }
            uint8_t type = ev->response_type & 0x7f;
            if (type == XCB_BUTTON_PRESS || type == XCB_KEY_PRESS) {
                auto* p = reinterpret_cast<xcb_button_press_event_t*>(ev);
                if (type == XCB_BUTTON_PRESS || !kModifierKeycodes.count(p->detail)) {
                    out.push_back({type, p->detail, p->state, p->root_x, p->root_y});
                }
            }
            std::free(ev);
        }
        return out;
    }

    // Pointer position and the mask of held buttons and modifiers.
    std::tuple<int, int, uint16_t> pointer() {
        auto* r = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr);
        std::tuple<int, int, uint16_t> out{r ? r->root_x : -1, r ? r->root_y : -1, r ? r->mask : 0};
        std::free(r);
        return out;
    }

    // Moves the pointer as another client (or the pen device) would.
    void warp(int x, int y) {
        xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, int16_t(x), int16_t(y));
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }

    // The first item of a CARDINAL property of the root, if set.
    std::optional<uint32_t> rootCardinal(const std::string& name) {
        auto items = readProperty32(c_, root_, internAtoms(c_, {name})[0]);
        return items.empty() ? std::nullopt : std::optional<uint32_t>(items[0]);
    }

    // Asks the window manager for a desktop, as a pager does.
    void askDesktop(uint32_t desktop) {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 32;
        m.window = root_;
        m.type = internAtoms(c_, {"_NET_CURRENT_DESKTOP"})[0];
        m.data.data32[0] = desktop;
        xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&m));
        xcb_flush(c_);
    }

    // The symbol at level 0 of a keycode.
    uint32_t keysym(uint8_t keycode) {
        auto* r = xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, keycode, 1), nullptr);
        uint32_t sym = r && xcb_get_keyboard_mapping_keysyms_length(r) > 0 ? xcb_get_keyboard_mapping_keysyms(r)[0] : 0;
        std::free(r);
        return sym;
    }

private:
    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
    xcb_window_t win_ = 0;
};

class XTestSink : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot);
        if (!server_) GTEST_SKIP() << whyNot;
        window_ = std::make_unique<TestWindow>(server_->display());
        auto connected = XTestEventSink::connect(server_->display());
        ASSERT_TRUE(connected.ok()) << connected.error();
        sink_ = std::move(connected).value();
    }
    void post(const SynthEvent& e, EventFlags flags = EventFlag::none) { sink_->post(e, flags); }

    std::unique_ptr<XServer> server_;
    std::unique_ptr<TestWindow> window_;
    std::unique_ptr<XTestEventSink> sink_;
};

TEST_F(XTestSink, MoveIsReadBackWithThePointerQuery) {
    post(synth::Move{{250.4, 261.6}});
    auto [x, y, mask] = window_->pointer();
    EXPECT_EQ(x, 250);
    EXPECT_EQ(y, 262);
}

TEST_F(XTestSink, ButtonsWheelStepsAndMagnifyReachTheWindow) {
    const Point in{200, 200};
    for (auto b : {MouseButton::left, MouseButton::middle, MouseButton::right}) {
        post(synth::Down{b, in, 1});
        post(synth::Up{b, in, 1});
    }
    constexpr int32_t step = XTestEventSink::pixelsPerWheelStep;
    post(synth::Scroll{0, 2 * step + 5, ScrollPhase::began, MomentumPhase::none, in});  // 2 steps up, 5 px kept
    post(synth::Scroll{0, step - 5, ScrollPhase::changed, MomentumPhase::none, in});    // a step: 1 more
    post(synth::Scroll{0, -step, ScrollPhase::changed, MomentumPhase::none, in});
    post(synth::Scroll{step + 5, 0, ScrollPhase::began, MomentumPhase::none, in});
    post(synth::Scroll{-step - 10, 0, ScrollPhase::began, MomentumPhase::none, in});  // remainder dropped at began
    post(synth::Magnify{0.25, GesturePhase::changed, in});                       // Control + 2 steps up
    post(synth::Magnify{-0.1, GesturePhase::ended, in});                         // −0.05: no step; Control let go
    post(synth::Down{MouseButton::left, in, 1});                                 // Control released again
    post(synth::Up{MouseButton::left, in, 1});

    const std::vector<std::pair<uint8_t, bool>> want = {
        {1, false}, {2, false}, {3, false}, {4, false}, {4, false}, {4, false}, {5, false},
        {6, false}, {7, false}, {4, true},  {4, true},  {1, false},
    };
    auto got = window_->presses(want.size());
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(window_->presses(1, std::chrono::milliseconds(200)).empty()) << "no press beyond these";
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].detail, want[i].first) << "press " << i;
        EXPECT_EQ((got[i].state & XCB_MOD_MASK_CONTROL) != 0, want[i].second) << "press " << i;
    }
}

TEST_F(XTestSink, PressLandsWhereTheTouchIsAfterThePointerWasMovedElsewhere) {
    const Point touch{150, 150};
    post(synth::Move{touch});
    window_->warp(300, 300);  // the mouse, or the pen device, whose motion bypasses XTest
    post(synth::Move{touch});
    post(synth::Down{MouseButton::left, touch, 1});
    post(synth::Up{MouseButton::left, touch, 1});
    window_->warp(320, 320);
    post(synth::Down{MouseButton::right, touch, 1});  // a press without a move first
    post(synth::Up{MouseButton::right, touch, 1});

    auto got = window_->presses(2);
    ASSERT_EQ(got.size(), 2u);
    for (const auto& press : got) {
        EXPECT_EQ(press.rootX, 150) << "button " << int(press.detail);
        EXPECT_EQ(press.rootY, 150) << "button " << int(press.detail);
    }
}

// An EWMH window manager of the test's own on `display`: openbox, with its four desktops.
class WindowManagerProcess {
public:
    explicit WindowManagerProcess(const std::string& display) {
        std::vector<std::string> env{"DISPLAY=" + display};
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const char* argv[] = {"openbox", "--sm-disable", nullptr};
        if (posix_spawnp(&pid_, "openbox", nullptr, nullptr, const_cast<char**>(argv), envp.data()) != 0) pid_ = -1;
    }
    ~WindowManagerProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    explicit operator bool() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

TEST_F(XTestSink, DesktopSwitchIsAskedOfTheWindowManagerAndWrapsAround) {
    test::LogCapture log;
    post(synth::SwitchDesktop{1});
    EXPECT_TRUE(log.contains("does not switch desktops", "inject")) << "no window manager yet";

    WindowManagerProcess wm(server_->display());
    ASSERT_TRUE(wm) << "openbox is needed (scripts/setup installs it)";
    ASSERT_TRUE(test::waitUntil(
        [&] {
            return window_->rootCardinal("_NET_NUMBER_OF_DESKTOPS").value_or(0) >= 2 &&
                   window_->rootCardinal("_NET_CURRENT_DESKTOP") == 0u;
        },
        test::kPatience));
    // Its properties are set before it reads requests: ready once it has answered one of ours.
    for (uint32_t d : {1u, 0u}) {
        ASSERT_TRUE(test::waitUntil([&] {
            window_->askDesktop(d);
            return window_->rootCardinal("_NET_CURRENT_DESKTOP") == d;
        }, test::kPatience));
    }
    const uint32_t n = *window_->rootCardinal("_NET_NUMBER_OF_DESKTOPS");
    // A swipe to the left shows the next desktop, to the right the previous; past the ends they wrap.
    const struct {
        int step;
        uint32_t want;
    } steps[] = {{1, 1}, {-1, 0}, {-1, n - 1}, {1, 0}};
    for (const auto& s : steps) {
        post(synth::SwitchDesktop{s.step});
        EXPECT_TRUE(test::waitUntil([&] { return window_->rootCardinal("_NET_CURRENT_DESKTOP") == s.want; }))
            << "step " << s.step << " to " << s.want << "; at " << window_->rootCardinal("_NET_CURRENT_DESKTOP").value_or(99);
    }
}

TEST_F(XTestSink, KeysCarryTheModifiersOfTheirFlags) {
    window_->pointer();
    post(synth::Move{{200, 200}});
    struct Case {
        uint16_t key;
        EventFlags flags;
        uint8_t keycode;
        uint16_t state;
    } cases[] = {
        {0, EventFlag::none, 38, 0},                                                    // a
        {0, EventFlag::command, 38, XCB_MOD_MASK_CONTROL},                              // Command is Control
        {12, EventFlag::shift | EventFlag::option, 24, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1},  // q
        {KeyCode::returnKey, EventFlag::none, 36, 0},
        {KeyCode::left, EventFlag::control, 113, XCB_MOD_MASK_CONTROL},
    };
    for (const auto& c : cases) {
        post(synth::Key{c.key, true}, c.flags);
        post(synth::Key{c.key, false}, c.flags);
    }
    auto got = window_->presses(std::size(cases));
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].detail, cases[i].keycode) << "case " << i;
        EXPECT_EQ(got[i].state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1), cases[i].state)
            << "case " << i;
    }
}

TEST_F(XTestSink, TextTypesLayoutKeysAndRemapsASpareKeycodeForOtherCharacters) {
    post(synth::Move{{200, 200}});
    // Flags must not turn typed text into a shortcut; "A" needs Shift.
    post(synth::Text{"aA\xe2\x82\xac"}, EventFlag::command);  // a, A, €
    auto got = window_->presses(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].detail, 38);
    EXPECT_EQ(got[0].state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), 0);
    EXPECT_EQ(got[1].detail, 38);
    EXPECT_EQ(got[1].state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), XCB_MOD_MASK_SHIFT);
    uint8_t spare = got[2].detail;
    EXPECT_EQ(window_->keysym(spare), 0x010020acu);  // the euro sign's keysym

    sink_.reset();
    EXPECT_EQ(window_->keysym(spare), 0u) << "the spare keycode is emptied at teardown";
}

// A classic X program on a connection of its own, as xev: a focused window whose key presses it
// reads with XLookupString. Xlib fetches the keyboard map at the first lookup and asks to hear of
// changes only after the fetch, and sends that request when it next waits for events: a change
// the server makes between the two never reaches it. The program takes a moment over each key.
class XlibKeyReader {
public:
    explicit XlibKeyReader(const std::string& display) : d_(XOpenDisplay(display.c_str())) {
        if (!d_) return;
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.event_mask = KeyPressMask;
        const Window w = XCreateWindow(d_, DefaultRootWindow(d_), 0, 0, 300, 300, 0, CopyFromParent, InputOutput,
                                       CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
        XMapWindow(d_, w);
        XSetInputFocus(d_, w, RevertToPointerRoot, CurrentTime);
        XSync(d_, False);
    }
    ~XlibKeyReader() {
        if (d_) XCloseDisplay(d_);
    }
    explicit operator bool() const { return d_ != nullptr; }
    // Sends what Xlib holds back (its request to hear of keyboard map changes, once it has read a key).
    void sync() { XSync(d_, False); }

    // The keycode and symbol of each of the next `n` presses, modifier keys left out.
    std::vector<std::pair<unsigned, KeySym>> presses(size_t n) {
        std::vector<std::pair<unsigned, KeySym>> out;
        const auto deadline = std::chrono::steady_clock::now() + test::kPatience;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            if (!XPending(d_)) {
                pollfd p{ConnectionNumber(d_), POLLIN, 0};
                ::poll(&p, 1, 10);
                continue;
            }
            XEvent e;
            XNextEvent(d_, &e);
            if (e.type == MappingNotify) {
                XRefreshKeyboardMapping(&e.xmapping);
                for (int i = 0; i < e.xmapping.count; ++i) remapped_.insert(unsigned(e.xmapping.first_keycode + i));
            }
            if (e.type != KeyPress) continue;
            char text[16];
            KeySym sym = NoSymbol;
            XLookupString(&e.xkey, text, sizeof text, &sym, nullptr);
            if (!kModifierKeycodes.count(uint8_t(e.xkey.keycode))) {
                out.emplace_back(e.xkey.keycode, sym);
                remappedBefore.push_back(std::exchange(remapped_, {}));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // showing the key
        }
        return out;
    }

    // For each press recorded, the keycodes whose mapping changed since the press before it.
    std::vector<std::set<unsigned>> remappedBefore;

private:
    Display* d_;
    std::set<unsigned> remapped_;
};

TEST_F(XTestSink, ACharacterOnAFreshlyMappedKeycodeReachesAProgramReadingItsFirstKeys) {
    // Each round a program that has read no key yet, and a character new to the keyboard.
    const std::pair<const char*, KeySym> characters[] = {
        {"\u00e4", 0xe4}, {"\u00f6", 0xf6}, {"\u00fc", 0xfc}, {"\u00e9", 0xe9}, {"\u00e8", 0xe8},
        {"\u00ea", 0xea}, {"\u00df", 0xdf}, {"\u00f1", 0xf1}, {"\u00e7", 0xe7}, {"\u20ac", 0x010020ac},
    };
    std::set<unsigned> keycodes;
    int arrived = 0;
    for (const auto& [character, keysym] : characters) {
        XlibKeyReader reader(server_->display());
        ASSERT_TRUE(reader);
        std::thread typist([&] { post(synth::Text{std::string("Z") + character}); });
        const auto got = reader.presses(2);
        typist.join();
        ASSERT_EQ(got.size(), 2u) << character;
        EXPECT_EQ(got[0].second, KeySym('Z'));
        EXPECT_TRUE(keycodes.insert(got[1].first).second) << "a keycode mapped afresh for " << character;
        if (got[1].second == keysym) ++arrived;
    }
    EXPECT_EQ(arrived, int(std::size(characters)));

    // A text with more new characters than there are spare keycodes: a spare it has yet to press
    // ("ä", mapped in the first round) is never mapped to another of its characters first.
    XlibKeyReader reader(server_->display());
    ASSERT_TRUE(reader);
    post(synth::Text{"Z"});
    ASSERT_EQ(reader.presses(1).size(), 1u);
    reader.sync();
    std::string text = "\u00e4";
    for (char32_t cp = 0x4e00; cp < 0x4e00 + 250; ++cp) {  // three bytes of UTF-8 each
        text += {char(0xe0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3f)), char(0x80 | (cp & 0x3f))};
    }
    std::thread typist([&] { post(synth::Text{text}); });
    const auto got = reader.presses(251);
    typist.join();
    ASSERT_EQ(got.size(), 251u);
    // A program that reads the keys later looks them up in the map as it is then, so only the
    // order of mapping changes and presses tells what each key meant when it was pressed.
    EXPECT_EQ(reader.remappedBefore[1].count(got[0].first), 0u) << "ä's keycode was mapped to another character first";
}

TEST_F(XTestSink, TeardownAndLockingReleaseWhatTheSinkHolds) {
    constexpr uint16_t button1 = XCB_BUTTON_MASK_1, button3 = XCB_BUTTON_MASK_3;
    constexpr uint16_t shift = XCB_MOD_MASK_SHIFT, control = XCB_MOD_MASK_CONTROL;
    constexpr uint16_t held = button1 | button3 | shift | control;
    post(synth::Down{MouseButton::left, {200, 200}, 1}, EventFlag::shift);
    EXPECT_EQ(std::get<2>(window_->pointer()) & held, button1 | shift);
    sink_->setLocked(true);
    EXPECT_EQ(std::get<2>(window_->pointer()) & held, 0);

    post(synth::Move{{10, 10}});
    post(synth::Down{MouseButton::right, {10, 10}, 1});
    auto [x, y, mask] = window_->pointer();
    EXPECT_EQ(x, 200) << "nothing is injected while the session is locked";
    EXPECT_EQ(mask & held, 0);

    sink_->setLocked(false);
    post(synth::Down{MouseButton::right, {300, 300}, 1}, EventFlag::command);
    EXPECT_EQ(std::get<2>(window_->pointer()) & held, button3 | control);
    sink_.reset();
    EXPECT_EQ(std::get<2>(window_->pointer()) & held, 0);
}

TEST(EvdevKeys, VirtualKeysMapToThePcKeyboard) {
    EXPECT_EQ(evdevKeyFor(0), 30);                    // a
    EXPECT_EQ(evdevKeyFor(KeyCode::command), 29);     // left Control
    EXPECT_EQ(evdevKeyFor(KeyCode::deleteKey), 14);   // Backspace
    EXPECT_EQ(evdevKeyFor(KeyCode::forwardDelete), 111);
    EXPECT_EQ(evdevKeyFor(63), std::nullopt);         // fn: none here
    EXPECT_EQ(evdevKeyFor(500), std::nullopt);
}

}  // namespace
}  // namespace kelvo
