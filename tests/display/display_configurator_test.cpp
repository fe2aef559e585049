#include <gtest/gtest.h>

#include "core/display/display_configurator.hpp"
#include "display_test_support.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using S = SimulatedDisplayServer;
using test::SimulatedDesk;

TEST(DisplayConfigurator, ApplySwitchesToTheExactHiDPIModeOnce) {
    SimulatedDisplayServer server;
    // Two modes of equal width: only the height tells them apart.
    DisplayId id = server.addDisplay({{S::mode(1024, 768, 2), S::mode(1024, 1366, 2), S::mode(1024, 768, 1),
                                       S::mode(768, 1024, 2, 60, false)},
                                      0, 0, 0, false, std::nullopt});
    DisplayConfigurator config(server);
    test::LogCapture log;

    auto portrait = DisplayModeCatalog::spec(DisplayPreset::standard, Orientation::landscape);
    portrait.pointHeight = 1366;
    EXPECT_FALSE(config.apply(portrait, id));
    EXPECT_EQ(server.currentModeIndex(id), 1u);
    EXPECT_TRUE(log.contains("display " + std::to_string(id) + " → 1024×1366 pt @2x (2048×2732 px)", "display"));

    EXPECT_FALSE(config.apply(portrait, id));  // already there: no configuration
    EXPECT_EQ(server.completedConfigurations(), 1u);

    auto err = config.apply(DisplayModeCatalog::spec(DisplayPreset::most, Orientation::landscape), id);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->description(), "no display mode matches 1366×1024 pt @2x (2732×2048 px)");
    // A matching mode the desktop cannot use does not count.
    err = config.apply(DisplayModeCatalog::spec(DisplayPreset::standard, Orientation::portrait), id);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->kind, DisplayError::Kind::modeNotFound);
}

TEST(DisplayConfigurator, ApplyReportsEachConfigurationFailure) {
    struct Case {
        const char* what;
        std::function<void(SimulatedDisplayServer&)> inject;
        std::string description;
        size_t cancelled;
    } cases[] = {
        {"begin", [](auto& s) { s.setBeginError(1000); }, "display configuration failed (-1)", 0},
        {"configure", [](auto& s) { s.setConfigureError(1004); }, "display configuration failed (1004)", 1},
        {"complete", [](auto& s) { s.setCompleteError(1010); }, "display configuration failed (1010)", 1},
    };
    for (auto& c : cases) {
        SimulatedDisplayServer server;
        DisplayId id = server.addDisplay({{S::mode(1280, 960, 1), S::mode(1280, 960, 2)}, 0, 0, 0, false, std::nullopt});
        c.inject(server);
        auto err = DisplayConfigurator(server).apply(DisplayModeCatalog::spec(DisplayPreset::evenMore,
                                                                              Orientation::landscape),
                                                     id);
        ASSERT_TRUE(err) << c.what;
        EXPECT_EQ(err->description(), c.description) << c.what;
        EXPECT_EQ(server.cancelledConfigurations(), c.cancelled) << c.what;
        EXPECT_EQ(server.currentModeIndex(id), 0u) << c.what;
    }
}

TEST(DisplayConfigurator, RestorePutsBackOnlyWhatChanged) {
    SimulatedDesk desk;
    DisplayConfigurator config(desk.server);
    test::LogCapture log;
    auto snapshot = config.snapshotModes({});
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[desk.builtin], (SavedDisplayMode{1440, 900, 2880, 1800, 60}));

    // Nothing changed; 59.94 Hz and 60 Hz are one rate.
    EXPECT_TRUE(config.restoreModes(snapshot).empty());
    desk.server.setCurrentMode(desk.external, 1);
    EXPECT_TRUE(config.restoreModes(snapshot).empty());
    EXPECT_EQ(desk.server.completedConfigurations() + desk.server.cancelledConfigurations(), 0u);

    desk.server.setCurrentMode(desk.builtin, 2);
    desk.server.setCurrentMode(desk.external, 2);
    auto restored = config.restoreModes(snapshot);
    EXPECT_EQ(restored, (std::vector<DisplayId>{desk.builtin, desk.external}));
    EXPECT_EQ(desk.server.completedConfigurations(), 1u);
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 0u);
    EXPECT_TRUE(log.contains("display " + std::to_string(desk.builtin) + " 被系统改成 1280×800，改回 1440×900 @60Hz",
                             "display"));

    desk.server.setCurrentMode(desk.builtin, 2);
    desk.server.setBeginError(1000);
    EXPECT_TRUE(config.restoreModes(snapshot).empty());
    desk.server.setBeginError(0);
    desk.server.setConfigureError(1004);
    EXPECT_TRUE(config.restoreModes(snapshot).empty());
    EXPECT_EQ(desk.server.cancelledConfigurations(), 1u);
}

TEST(DisplayConfigurator, NamesAndMappingTargets) {
    SimulatedDesk desk;
    DisplayConfigurator config(desk.server);
    DisplayId mirror = desk.server.addDisplay({{S::mode(800, 600)}, 0, 3360, 0, false, std::nullopt});
    desk.server.addDisplay({{S::mode(1024, 768, 2)}, 0, 4160, 0, false, std::string("Kelvo \u00B7 Pad")});
    DisplayId empty = desk.server.addDisplay({{}, 0, 5000, 0, false, std::nullopt});
    config.setMirroring(mirror, desk.builtin);
    EXPECT_TRUE(config.isMirrored(mirror));
    EXPECT_EQ(config.bounds(mirror), (Rect{0, 0, 800, 600}));

    EXPECT_EQ(config.name(desk.builtin), "主屏（" + std::to_string(desk.builtin) + "）");
    EXPECT_EQ(config.name(empty), "显示器 " + std::to_string(empty));
    auto targets = config.mappingDisplays(0);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].title, "主屏 (主屏) · 1440×900");
    EXPECT_EQ(targets[1].title, "Studio 27 · 1920×1080");
    EXPECT_EQ(config.mappingDisplays(desk.builtin).size(), 1u);

    desk.server.setMainDisplay(desk.external);
    EXPECT_EQ(config.name(desk.builtin), "内建显示器（" + std::to_string(desk.builtin) + "）");
    config.setMirroring(mirror, std::nullopt);
    EXPECT_FALSE(config.isMirrored(mirror));
}

TEST(DisplayReconfigurationObserver, DeliversOnTheMainQueueAndNeverAfterDestruction) {
    SimulatedDesk desk;
    desk.server.setNotifyOnForeignThread(true);
    std::vector<std::pair<DisplayId, uint32_t>> seen;
    auto observer = std::make_unique<DisplayReconfigurationObserver>(
        desk.server, desk.main, [&](DisplayId id, uint32_t flags) {
            EXPECT_TRUE(desk.main->isCurrent());
            seen.emplace_back(id, flags);
        });
    desk.server.setCurrentMode(desk.external, 2);
    EXPECT_TRUE(seen.empty());  // posted from the server's thread
    desk.main->runUntilIdle();
    // The begin notice is dropped; the end notice comes through.
    EXPECT_EQ(seen, (std::vector<std::pair<DisplayId, uint32_t>>{{desk.external, DisplayChange::setMode}}));

    desk.server.setCurrentMode(desk.builtin, 1);
    observer.reset();  // a notice is already queued
    desk.main->runUntilIdle();
    EXPECT_EQ(seen.size(), 1u);
}

}  // namespace
}  // namespace kelvo
