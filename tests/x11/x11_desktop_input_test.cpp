// The desktop facts input needs from an X server: the front application, its windows and the
// keyboard layout. The test plays the window manager, publishing the EWMH properties itself.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "core/input/input_service.hpp"
#include "core/input/key_combo.hpp"
#include "core/input/sidebar_item.hpp"
#include "core/protocol/records.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/x_server.hpp"
#include "platform/x11/x11_front_app_observer.hpp"
#include "platform/x11/x11_key_layout.hpp"
#include "host/wiring/app_environment.hpp"
#include "platform/x11/x11_window_list.hpp"
#include "platform/x11/xcb_session.hpp"
#include "support/test_support.hpp"

extern char** environ;

namespace kelvo {
namespace {

struct FakeWindow {
    const char* wmClass;  // "instance\0Class\0"
    size_t wmClassLength;
    uint32_t pid;  // 0: none
    Rect bounds;
    std::vector<std::string> types = {}, states = {};
    bool mapped = true;
    std::vector<uint32_t> frame = {};  // left, right, top, bottom
};

// A client acting as the window manager: makes windows and sets the root's EWMH properties.
class WindowManager {
public:
    explicit WindowManager(const std::string& display) : session_(XcbSession::open(display)) {}
    explicit operator bool() const { return static_cast<bool>(session_); }

    xcb_window_t add(const FakeWindow& w) {
        auto* c = session_.connection.get();
        xcb_window_t id = xcb_generate_id(c);
        uint32_t values[] = {1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, id, session_.root, int16_t(w.bounds.x), int16_t(w.bounds.y),
                          uint16_t(w.bounds.width), uint16_t(w.bounds.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
        if (w.wmClass) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                                uint32_t(w.wmClassLength), w.wmClass);
        }
        if (w.pid) setCardinals(id, "_NET_WM_PID", {w.pid});
        if (!w.types.empty()) setAtoms(id, "_NET_WM_WINDOW_TYPE", w.types);
        if (!w.states.empty()) setAtoms(id, "_NET_WM_STATE", w.states);
        if (!w.frame.empty()) setCardinals(id, "_NET_FRAME_EXTENTS", w.frame);
        if (w.mapped) xcb_map_window(c, id);
        roundTrip();
        return id;
    }

    // Bottom to top, as the window manager keeps it.
    void setStacking(const std::vector<xcb_window_t>& bottomToTop) {
        setWindows(session_.root, "_NET_CLIENT_LIST_STACKING", bottomToTop);
    }
    void activate(xcb_window_t w) { setWindows(session_.root, "_NET_ACTIVE_WINDOW", {w}); }

private:
    void setWindows(xcb_window_t on, const std::string& name, const std::vector<xcb_window_t>& ids) {
        auto* c = session_.connection.get();
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, on, internAtoms(c, {name})[0], XCB_ATOM_WINDOW, 32,
                            uint32_t(ids.size()), ids.data());
        roundTrip();
    }
    void setCardinals(xcb_window_t on, const std::string& name, const std::vector<uint32_t>& values) {
        auto* c = session_.connection.get();
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, on, internAtoms(c, {name})[0], XCB_ATOM_CARDINAL, 32,
                            uint32_t(values.size()), values.data());
    }
    void setAtoms(xcb_window_t on, const std::string& name, const std::vector<std::string>& names) {
        auto* c = session_.connection.get();
        auto atoms = internAtoms(c, names);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, on, internAtoms(c, {name})[0], XCB_ATOM_ATOM, 32,
                            uint32_t(atoms.size()), atoms.data());
    }
    void roundTrip() {
        auto* c = session_.connection.get();
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    XcbSession session_;
};

class X11DesktopInput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot).release();
        if (!server_) whyNot_ = new std::string(whyNot);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (!server_) GTEST_SKIP() << *whyNot_;
        wm_ = std::make_unique<WindowManager>(server_->display());
        ASSERT_TRUE(*wm_);
    }
    const std::string& display() const { return server_->display(); }

    static XServer* server_;
    static std::string* whyNot_;
    std::unique_ptr<WindowManager> wm_;
};
XServer* X11DesktopInput::server_ = nullptr;
std::string* X11DesktopInput::whyNot_ = nullptr;

#define CLASS(s) s, sizeof(s)

TEST_F(X11DesktopInput, FrontAppObserverReportsEveryActivationWithTheWindowsClass) {
    auto term = wm_->add({CLASS("xterm\0XTerm\0"), 0, {0, 0, 200, 200}});
    auto paint = wm_->add({CLASS("gimp\0Gimp\0"), 0, {0, 0, 200, 200}});
    auto bare = wm_->add({nullptr, 0, 0, {0, 0, 200, 200}});
    wm_->activate(paint);

    auto main = std::make_shared<ManualExecutor>("main");
    auto observer = makeX11FrontAppObserver(display(), main);
    ASSERT_TRUE(observer);
    EXPECT_EQ(observer->bundleID(), "Gimp") << "read at once";
    std::vector<std::optional<std::string>> reports;
    observer->onChange = [&](const std::optional<std::string>& id) { reports.push_back(id); };
    auto waitFor = [&](size_t n) {
        auto deadline = std::chrono::steady_clock::now() + test::kPatience;
        while (reports.size() < n && std::chrono::steady_clock::now() < deadline) {
            main->runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };

    // One at a time, as a user switches windows: activations in one burst are reported once.
    size_t n = 0;
    for (auto w : {term, term, bare, xcb_window_t{XCB_WINDOW_NONE}, paint}) {
        wm_->activate(w);
        waitFor(++n);
    }
    const std::vector<std::optional<std::string>> want = {"XTerm", "XTerm", std::nullopt, std::nullopt, "Gimp"};
    EXPECT_EQ(reports, want);
    EXPECT_EQ(observer->bundleID(), "Gimp");

    // Released from inside its own report: nothing more is called.
    observer->onChange = [&](const std::optional<std::string>& id) {
        reports.push_back(id);
        observer.reset();
    };
    wm_->activate(term);
    waitFor(6);
    wm_->activate(paint);
    for (int i = 0; i < 20; ++i) main->runUntilIdle();
    EXPECT_EQ(reports.size(), 6u);
}

TEST_F(X11DesktopInput, FrontWindowIsTheActiveAppsFrontmostNormalWindow) {
    constexpr uint32_t painter = 4242, other = 4343;
    auto behind = wm_->add({CLASS("p\0Painter\0"), painter, {700, 500, 300, 300}});
    auto canvas = wm_->add({CLASS("p\0Painter\0"), painter, {50, 60, 400, 300}, {}, {}, true, {2, 2, 20, 2}});
    auto minimised = wm_->add({CLASS("p\0Painter\0"), painter, {10, 10, 600, 600}, {}, {"_NET_WM_STATE_HIDDEN"}});
    auto unmapped = wm_->add({CLASS("p\0Painter\0"), painter, {10, 10, 600, 600}, {}, {}, false});
    auto palette = wm_->add({CLASS("p\0Painter\0"), painter, {10, 10, 300, 500}, {"_NET_WM_WINDOW_TYPE_UTILITY"}});
    auto onTop = wm_->add({CLASS("p\0Painter\0"), painter, {10, 10, 300, 500}, {}, {"_NET_WM_STATE_ABOVE"}});
    auto narrow = wm_->add({CLASS("p\0Painter\0"), painter, {10, 10, 90, 500}});
    auto otherApp = wm_->add({CLASS("o\0Other\0"), other, {0, 0, 800, 800}});
    auto sameClassOtherProcess = wm_->add({CLASS("p\0Painter\0"), other + 1, {0, 0, 800, 800}});
    auto classOnly = wm_->add({CLASS("c\0ClassOnly\0"), 0, {30, 30, 120, 120}});
    auto tiny = wm_->add({CLASS("t\0Tiny\0"), 0, {30, 30, 50, 50}});
    wm_->setStacking(
        {behind, canvas, minimised, unmapped, palette, onTop, narrow, classOnly, tiny, sameClassOtherProcess, otherApp});

    X11WindowList list(display());
    const struct {
        xcb_window_t active;
        std::optional<Rect> want;
    } cases[] = {
        {narrow, Rect{48, 40, 404, 322}},  // the frame counts as the window's
        {otherApp, Rect{0, 0, 800, 800}},
        {classOnly, Rect{30, 30, 120, 120}},  // no process id: the class names the owner
        {tiny, std::nullopt},
        {XCB_WINDOW_NONE, std::nullopt},
    };
    for (const auto& c : cases) {
        wm_->activate(c.active);
        EXPECT_EQ(list.frontWindowBounds(), c.want) << "active window " << c.active;
    }
    auto windows = list.windows();
    ASSERT_EQ(windows.size(), 9u) << "minimised and unmapped windows are not on screen";
    EXPECT_EQ(windows.front().owner, "pid:" + std::to_string(other));
    EXPECT_EQ(windows.back().bounds, (Rect{700, 500, 300, 300}));
    EXPECT_EQ(windows[4].layer, 0);
    EXPECT_NE(windows[5].layer, 0) << "floating";
    EXPECT_NE(windows[6].layer, 0) << "utility";
}

// Runs setxkbmap against the test's server; false when it is missing or fails.
bool setLayout(const std::string& display, const char* layout) {
    const char* argv[] = {"setxkbmap", "-display", display.c_str(), layout, nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "setxkbmap", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(X11DesktopInput, KeyLayoutFollowsTheServersLayout) {
    using Stroke = KeyLayoutMap::Stroke;
    ASSERT_TRUE(setLayout(display(), "us")) << "setxkbmap is needed (x11-xkb-utils)";
    installX11KeyLayoutSource(display());
    auto us = KeyLayoutMap::current();
    EXPECT_EQ(us['a'], (Stroke{0, false}));
    EXPECT_EQ(us['A'], (Stroke{0, true}));
    EXPECT_EQ(us['z'], (Stroke{6, false}));
    EXPECT_EQ(us['-'], (Stroke{27, false}));
    EXPECT_EQ(us['@'], (Stroke{19, true}));
    EXPECT_EQ(us['!'], KeyLayoutMap::usANSI()['!']);

    ASSERT_TRUE(setLayout(display(), "de"));
    auto de = KeyLayoutMap::current();
    EXPECT_EQ(de['z'], (Stroke{16, false})) << "Y and Z swap places";
    EXPECT_EQ(de['y'], (Stroke{6, false}));
    EXPECT_EQ(de['Z'], (Stroke{16, true}));
    EXPECT_EQ(de['-'], (Stroke{44, false}));
    EXPECT_EQ(de['&'], (Stroke{22, true}));  // Shift + 6
    EXPECT_EQ(de['@'], std::nullopt) << "needs AltGr, not Shift";
    EXPECT_NE(de, KeyLayoutMap::usANSI());

    ASSERT_TRUE(setLayout(display(), "us"));
    KeyLayoutMap::installCurrentSource(nullptr);
    EXPECT_EQ(x11KeyLayoutMap(":nonexistent"), KeyLayoutMap::usANSI()) << "no server: the US map";
}

// A window with the keyboard focus that records the keys pressed in it, modifiers left out.
class KeyWindow {
public:
    explicit KeyWindow(const std::string& display) : session_(XcbSession::open(display)) {
        auto* c = session_.connection.get();
        window_ = xcb_generate_id(c);
        uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, session_.root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c, window_);
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    struct Press {
        uint8_t keycode;
        uint16_t state;
        friend bool operator==(const Press&, const Press&) = default;
        friend void PrintTo(const Press& p, std::ostream* os) {
            *os << "keycode " << int(p.keycode) << " state 0x" << std::hex << p.state << std::dec;
        }
    };
    // The next key press that is not a modifier key's, or nothing once the patience has run out.
    std::optional<Press> nextPress() {
        auto deadline = std::chrono::steady_clock::now() + test::kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            auto* ev = xcb_poll_for_event(session_.connection.get());
            if (!ev) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::optional<Press> press;
            if ((ev->response_type & 0x7f) == XCB_KEY_PRESS) {
                auto* key = reinterpret_cast<xcb_key_press_event_t*>(ev);
                if (!kModifierKeycodes.count(key->detail)) press = Press{key->detail, key->state};
            }
            std::free(ev);
            if (press) return press;
        }
        return std::nullopt;
    }

private:
    // Shift, Control and Alt, left and right, in the server's evdev keycodes.
    static inline const std::set<uint8_t> kModifierKeycodes = {50, 62, 37, 105, 64, 108};
    XcbSession session_;
    xcb_window_t window_ = 0;
};

// The program's own wiring: the X session environment installs the layout, the session hands it
// to the input service, and a sidebar Command on a typed "z" reaches the window through XTest.
TEST_F(X11DesktopInput, SidebarShortcutOnATypedCharacterUsesTheDesktopsLayoutAndFollowsItsSwitch) {
    ASSERT_TRUE(setLayout(display(), "de")) << "setxkbmap is needed (x11-xkb-utils)";
    auto main = std::make_shared<ManualExecutor>("main");
    auto env = makeX11SessionEnvironment(main, display(), "");
    ASSERT_TRUE(env.ok()) << env.error();
    auto queue = std::make_shared<ManualExecutor>("kv.input");
    auto sink = env.value().makeEventSink(queue);
    ASSERT_TRUE(sink);
    KeyWindow window(display());

    auto service = std::make_shared<InputService>(sink, CoordinateMapper{{0, 0, 1920, 1080}, {1920, 1080}},
                                                  InputParams{}, ResolvedProfile{}, InputMode::touch, queue);
    service->setKeyLayout(KeyLayoutMap::current());  // as the session does when input starts
    auto commandPlus = [&](const char* text) {
        for (uint8_t phase : {0, 1}) {
            service->handle({static_cast<uint8_t>(MsgType::uiEvent), 0,
                             Wire::pod(KVUIEvent{0, uint16_t(SidebarItem::command), phase})});
        }
        service->handle({static_cast<uint8_t>(MsgType::textInput), 0, std::vector<uint8_t>(text, text + strlen(text))});
        queue->runUntilIdle();
        return window.nextPress();
    };

    // Keycode 29 is the key that types z on a German keyboard (y on a US one), 52 the other way round.
    using Press = KeyWindow::Press;
    EXPECT_EQ(commandPlus("z"), (Press{29, XCB_MOD_MASK_CONTROL})) << "Control + the key that types z";
    ASSERT_TRUE(setLayout(display(), "us"));
    EXPECT_EQ(commandPlus("z"), (Press{52, XCB_MOD_MASK_CONTROL})) << "the switch to US keys is followed";
    ASSERT_TRUE(setLayout(display(), "de"));
    EXPECT_EQ(commandPlus("y"), (Press{52, XCB_MOD_MASK_CONTROL})) << "and back";

    queue->post([&] { service->stop(); });  // it waits for its queue: run it there
    queue->runUntilIdle();
    EXPECT_TRUE(setLayout(display(), "us"));
    KeyLayoutMap::installCurrentSource(nullptr);
}

}  // namespace
}  // namespace kelvo
