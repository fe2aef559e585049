// The manager with the desktop's real backends: a headless X server of the test's own is
// captured, encoded and streamed to the simulated tablet, which decodes the frames.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/x_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "host/wiring/app_environment.hpp"
#include "session_manager_rig.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// Fills the root window's rectangle with a new colour at every call, so that capture sees change.
void repaint(xcb_connection_t* c, const Rect& area, uint32_t step) {
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_gcontext_t gc = xcb_generate_id(c);
    uint32_t colour = (step * 0x2B4C6D) & 0xFFFFFF;
    xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND, &colour);
    xcb_rectangle_t r{int16_t(area.x), int16_t(area.y), uint16_t(area.width), uint16_t(area.height)};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    xcb_free_gc(c, gc);
    xcb_flush(c);
}

TEST(ManagerOnX11, StreamsTheXServerToTheSimulatedTablet) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << "no X server: " << whyNot;
    if (!server->resizable()) GTEST_SKIP() << "this X server cannot grow its screen for the tablet's display";

    FakeIPad::Options tabletOptions;
    tabletOptions.decodeMaxPixels = 1600 * 1200;
    auto made = FakeIPad::make(tabletOptions);
    ASSERT_TRUE(made.ok());
    auto tablet = made.value();

    auto main = AsioExecutor::makeQueue("kv.test.main");
    auto env = makeX11SessionEnvironment(main, server->display(), "");
    ASSERT_TRUE(env.ok()) << env.error();

    Settings initial = test::directSettings(tablet->ctrlPort(), tablet->videoPort());
    initial.preset = DisplayPreset::standard;  // fits beside the dummy screen's own output
    SettingsStore settings(nullptr, initial);
    DeviceProfileStore profiles(nullptr);
    AppProfileStore appProfiles(nullptr);
    PairingStore pairing(std::nullopt);
    StatsStore stats;
    HostOptions options;
    options.inject = false;  // the test's server has no user whose pointer should move
    options.skipProbe = true;
    std::shared_ptr<SessionManager> manager;
    runSync(*main, [&] {
        manager = SessionManager::create({settings, profiles, appProfiles, pairing, stats}, options, env.value());
        manager->start();
    });

    auto connected = [&] { return runSync(*main, [&] { return manager->status().is<HostStatus::Connected>(); }); };
    ASSERT_TRUE(test::waitUntil(connected, std::chrono::seconds(60)));
    const Rect region = runSync(*main, [&] { return manager->session()->region(); });
    xcb_connection_t* painter = xcb_connect(server->display().c_str(), nullptr);
    uint32_t step = 0;
    EXPECT_TRUE(test::waitUntil([&] {
        repaint(painter, region, ++step);
        return tablet->snapshot().framesDecoded >= 10;
    }, std::chrono::seconds(60))) << tablet->snapshot().framesDecoded;
    xcb_disconnect(painter);
    EXPECT_TRUE(connected());
    EXPECT_EQ(tablet->snapshot().decodeErrors, 0);

    runSync(*main, [&] {
        manager->stop();
        manager.reset();
    });
    tablet->close();
}

}  // namespace
}  // namespace kelvo
