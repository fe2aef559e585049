#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <cstdlib>
#include <thread>

#include "core/display/display_broker.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/settings/settings_store.hpp"
#include "testing/x_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "host/wiring/app_environment.hpp"
#include "session/session_run.hpp"

namespace kelvo {
namespace {

using Kind = DeviceSession::State::Kind;

// Another program drawing on the desktop: a window over `area` whose colour changes at every
// step, so that the capture has something new to read.
class Painter {
public:
    Painter(const std::string& display, const Rect& area) : c_(xcb_connect(display.c_str(), nullptr)) {
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        uint32_t values[] = {0x202020, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, int16_t(area.x), int16_t(area.y),
                          uint16_t(area.width), uint16_t(area.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        root_ = screen->root;
        xcb_flush(c_);
    }
    ~Painter() { xcb_disconnect(c_); }
    void step() {
        uint32_t colour = (++step_ * 0x1F3D5B) & 0xFFFFFF;
        xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXEL, &colour);
        xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
        xcb_flush(c_);
    }
    Point pointer() {
        auto* reply = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr);
        Point p{double(reply->root_x), double(reply->root_y)};
        std::free(reply);
        return p;
    }

private:
    xcb_connection_t* c_;
    xcb_window_t window_ = 0;
    xcb_window_t root_ = 0;
    uint32_t step_ = 0;
};

// A window of one colour over `area`, repainted on request so that the capture reads it again.
class Patch {
public:
    Patch(const std::string& display, const Rect& area, uint32_t colour) : c_(xcb_connect(display.c_str(), nullptr)) {
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        uint32_t values[] = {colour, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, int16_t(area.x), int16_t(area.y),
                          uint16_t(area.width), uint16_t(area.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
    }
    ~Patch() { xcb_disconnect(c_); }
    void repaint() {
        xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
        xcb_flush(c_);
    }

private:
    xcb_connection_t* c_;
    xcb_window_t window_ = 0;
};

// What a failure needs to be understood: the newest lines of the log.
std::string lastLines(const test::LogCapture& log, size_t count = 40) {
    std::string out;
    const auto entries = log.entries();
    for (size_t i = entries.size() > count ? entries.size() - count : 0; i < entries.size(); ++i) {
        out += entries[i].formatted() + "\n";
    }
    return out;
}

// The host's session environment on an X server of the test's own (Xorg dummy: one that can
// grow its screen for a virtual monitor), with stores in memory and the standard preset: the
// dummy driver's largest screen holds a small virtual monitor beside its own output.
class SessionX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server = XServer::start(XServer::Want::any, &whyNot);
        if (!server) GTEST_SKIP() << whyNot;
        if (!server->resizable()) GTEST_SKIP() << "this X server cannot grow its screen for a virtual monitor";
        main = AsioExecutor::makeQueue("main");
        // No pen device: the test's server reads no input devices but XTest.
        auto made = makeX11SessionEnvironment(main, server->display(), "");
        ASSERT_TRUE(made.ok()) << made.error();
        settings.update([](Settings& s) { s.preset = DisplayPreset::standard; });
        host.emplace(test::SessionRun::Host{std::move(made).value(),
                                            {settings, profiles, appProfiles, pairing, stats},
                                            [main = main](const std::function<void()>& work) { runSync(*main, work); },
                                            nullptr});
        tablet.decodeMaxPixels = 1600 * 1200;
    }
    void TearDown() override {
        if (host) runSync(*main, [&] { host->env.displays->releaseNow(); });
    }

    // Connects `run` and waits until it streams the virtual display; its region and display id.
    static void stream(test::SessionRun& run, Rect& region, DisplayId& display) {
        run.options.frameSource = HostOptions::FrameSourceKind::screen;
        run.options.skipProbe = true;
        run.connect();
        ASSERT_TRUE(run.reached(Kind::streaming)) << run.state().description();
        run.onMain([&] {
            region = run.session->region();
            display = run.session->displayID();
        });
        ASSERT_NE(display, 0u);
        ASSERT_GT(region.width, 0);
    }

    test::LogCapture everything;  // first: it sees the whole run
    std::unique_ptr<XServer> server;
    std::shared_ptr<Executor> main;
    SettingsStore settings{nullptr};
    DeviceProfileStore profiles{nullptr};
    AppProfileStore appProfiles{nullptr};
    PairingStore pairing{std::nullopt};
    StatsStore stats;
    std::optional<test::SessionRun::Host> host;
    FakeIPad::Options tablet;
};

// The whole host on a real X server: a RandR virtual display made for the tablet, captured
// through shared memory, encoded and decoded by the simulated tablet, whose tap puts the X
// pointer on it; then the tablet as a graphics tablet over the main monitor, whose tap moves
// the pointer to the mapped place.
TEST_F(SessionX11Test, VirtualDisplayIsStreamedAndTapsMoveThePointerOntoItAndTheMappedMonitor) {
    {
        test::SessionRun run(*host, tablet);
        Rect region;
        DisplayId display = 0;
        ASSERT_NO_FATAL_FAILURE(stream(run, region, display));
        EXPECT_NE(display, host->env.displayServices->mainDisplay());

        Painter painter(server->display(), region);
        ASSERT_TRUE(run.until([&] {
            painter.step();
            return run.ipad->snapshot().framesDecoded >= 30;
        })) << run.ipad->snapshot().framesDecoded << " frames decoded; the log's last lines:\n"
            << lastLines(everything);
        EXPECT_EQ(run.ipad->snapshot().decodeErrors, 0);
        EXPECT_TRUE(run.until([&] { return run.ipad->snapshot().cursorShapes > 0; }));  // the tablet draws the pointer

        // A tap on the tablet's own display lands on it, not at the edge of the main monitor.
        run.ipad->tap({0.5, 0.5});
        const Point centre{region.x + region.width / 2, region.y + region.height / 2};
        EXPECT_TRUE(test::waitUntil([&] {
            Point at = painter.pointer();
            return std::abs(at.x - centre.x) <= 2 && std::abs(at.y - centre.y) <= 2;
        })) << painter.pointer().x << "," << painter.pointer().y << " wanted " << centre.x << "," << centre.y;

        // As a graphics tablet over the main monitor (4:3 inside 1920×1080: 240, 0, 1440, 1080),
        // previewed there: a tap lands where the mapping puts it.
        test::LogCapture log;
        const int64_t before = run.ipad->snapshot().framesDecoded;
        run.onMain([&] {
            settings.update([](Settings& s) {
                s.mappingArea = TabletMappingArea::fullScreen;
                s.mappingView = TabletMappingView::preview;
            });
            run.session->setInputMode(InputMode::tabletMapping);
        });
        ASSERT_TRUE(run.until([&] { return log.contains("preview capture active on display", "mapping"); }));
        EXPECT_TRUE(run.until([&] { return run.ipad->snapshot().framesDecoded > before; }));
        // Fingers down across a mode change are ignored until they lift: the first tap only
        // clears that, the second draws its dot.
        run.ipad->tap({0.25, 0.25});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        run.ipad->tap({0.25, 0.25});
        const Point want{240 + 0.25 * 1440, 0.25 * 1080};
        EXPECT_TRUE(test::waitUntil([&] {
            Point at = painter.pointer();
            return std::abs(at.x - want.x) <= 1 && std::abs(at.y - want.y) <= 1;
        })) << painter.pointer().x << "," << painter.pointer().y << " wanted " << want.x << "," << want.y;
        EXPECT_EQ(run.state().kind(), Kind::streaming);
        run.stop();
    }
}

// A larger preset while streaming grows the virtual display; the capture follows it, so a marker
// drawn in the area the display gained reaches the tablet's decoded picture.
TEST_F(SessionX11Test, CaptureFollowsAPresetChangeOntoTheGrownDisplay) {
    {
        test::SessionRun run(*host, tablet);
        // The mean luma of a small block around the picture's point `at` (fractions of its size),
        // in the last decoded picture; -1 before the first.
        struct Seen {
            std::mutex m;
            double at[2] = {0, 0};
            double luma = -1;
        };
        auto seen = std::make_shared<Seen>();
        run.ipad->onPictureDecoded = [seen](const PixelBuffer& picture, uint64_t, uint64_t) {
            std::lock_guard g(seen->m);
            const int cx = int(seen->at[0] * picture.width()), cy = int(seen->at[1] * picture.height());
            double sum = 0;
            int n = 0;
            for (int y = std::max(cy - 3, 0); y <= std::min(cy + 3, picture.height() - 1); ++y) {
                for (int x = std::max(cx - 3, 0); x <= std::min(cx + 3, picture.width() - 1); ++x, ++n) {
                    sum += picture.plane(0)[size_t(y) * picture.stride(0) + size_t(x)];
                }
            }
            seen->luma = n ? sum / n : -1;
        };
        Rect before;
        DisplayId display = 0;
        ASSERT_NO_FATAL_FAILURE(stream(run, before, display));

        // 1024×768 points to 1366×1024: the display grows by a third each way.
        run.onMain([&] { settings.update([](Settings& s) { s.preset = DisplayPreset::most; }); });
        Rect after;
        ASSERT_TRUE(run.until([&] {
            after = run.session->region();
            return after.width > before.width * 1.3;
        })) << after.width;

        // Dark over the whole grown display, a white marker only in the part it gained.
        Patch dark(server->display(), after, 0x202020);
        const Rect marker{after.x + before.width + 100, after.y + before.height + 100, 300, 250};
        Patch white(server->display(), marker, 0xFFFFFF);
        {
            std::lock_guard g(seen->m);
            seen->at[0] = (marker.x - after.x + marker.width / 2) / after.width;
            seen->at[1] = (marker.y - after.y + marker.height / 2) / after.height;
        }
        const bool markerSeen = run.until([&] {
            white.repaint();
            std::lock_guard g(seen->m);
            return seen->luma > 180;
        });
        double luma = 0;
        {
            std::lock_guard g(seen->m);
            luma = seen->luma;
        }
        EXPECT_TRUE(markerSeen) << "luma at the marker " << luma << ", region " << after.x << "," << after.y;
        EXPECT_EQ(run.ipad->snapshot().decodeErrors, 0);
        EXPECT_EQ(run.state().kind(), Kind::streaming);
        run.stop();
    }
}

}  // namespace
}  // namespace kelvo
