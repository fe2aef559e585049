#include "core/input/tablet_mapping_controller.hpp"

#include <gtest/gtest.h>

#include "core/runtime/manual_executor.hpp"
#include "testing/simulated_display_server.hpp"

namespace kelvo {
namespace {

constexpr double k4by3 = 4.0 / 3.0;

// A 1920 × 1080 main display at the origin and a 1280 × 1024 display to its right.
struct MappingDesk {
    std::shared_ptr<SimulatedDisplayServer> server = std::make_shared<SimulatedDisplayServer>();
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    DisplayId first = server->addDisplay({{SimulatedDisplayServer::mode(1920, 1080)}, 0, 0, 0, false, std::nullopt});
    DisplayId second = server->addDisplay({{SimulatedDisplayServer::mode(1280, 1024)}, 0, 1920, 0, false, std::nullopt});
    std::optional<Rect> window;
    std::vector<std::pair<Rect, DisplayId>> reports;

    std::unique_ptr<TabletMappingController> controller(double aspect = k4by3) {
        auto c = std::make_unique<TabletMappingController>(aspect, main, server, [this] { return window; });
        c->onRegionChange = [this](const Rect& r, DisplayId d) { reports.emplace_back(r, d); };
        return c;
    }
};

TEST(TabletMappingController, RegionIsTheAreaInscribedWithTheTabletsAspectOnItsDisplay) {
    struct Case {
        const char* name;
        double aspect;
        TabletMappingArea area;
        std::optional<Rect> custom;
        int preferred;  // 0 none, 1 first, 2 second, 9 offline
        std::optional<Rect> window;
        Rect region;
        int display;  // 1 first, 2 second
    };
    using A = TabletMappingArea;
    const Case cases[] = {
        {"4:3 full screen", k4by3, A::fullScreen, {}, 0, {}, {240, 0, 1440, 1080}, 1},
        {"no aspect keeps the display", 0, A::fullScreen, {}, 0, {}, {0, 0, 1920, 1080}, 1},
        {"preferred display", k4by3, A::fullScreen, {}, 2, {}, {1920, 32, 1280, 960}, 2},
        {"offline preferred falls back to main", k4by3, A::fullScreen, {}, 9, {}, {240, 0, 1440, 1080}, 1},
        {"custom rect made integral", k4by3, A::custom, Rect{10.5, 20.2, 400, 300}, 0, {}, {10, 20, 401, 301}, 1},
        {"custom without rect maps the display", k4by3, A::custom, {}, 2, {}, {1920, 32, 1280, 960}, 2},
        {"window on the main display", k4by3, A::frontWindow, {}, 0, Rect{100, 100, 800, 600}, {100, 100, 800, 600}, 1},
        {"window centre picks the display over the preference", k4by3, A::frontWindow, {}, 1,
         Rect{2700, 100, 800, 600}, {2700, 212, 500, 376}, 2},
        {"sliver on the display maps the whole window", k4by3, A::frontWindow, {}, 0, Rect{-320, 100, 400, 300},
         {-320, 100, 400, 300}, 1},
        {"no front window maps the display", k4by3, A::frontWindow, {}, 2, {}, {1920, 32, 1280, 960}, 2},
    };
    for (const auto& c : cases) {
        MappingDesk desk;
        desk.window = c.window;
        DisplayId preferred = c.preferred == 1 ? desk.first : c.preferred == 2 ? desk.second : c.preferred == 9 ? 99 : 0;
        auto controller = desk.controller(c.aspect);
        controller->start(c.area, c.custom, preferred);
        EXPECT_EQ(controller->region(), c.region) << c.name;
        EXPECT_EQ(controller->targetDisplayID(), c.display == 1 ? desk.first : desk.second) << c.name;
        ASSERT_EQ(desk.reports.size(), 1u) << c.name;
        EXPECT_EQ(desk.reports[0], std::pair(c.region, controller->targetDisplayID())) << c.name;
    }
}

TEST(TabletMappingController, FrontWindowIsTheOwnersFirstNormalWindowOfUsableSize) {
    const std::vector<DesktopWindow> list = {
        {"other", 0, {0, 0, 500, 500}},      {"app", 0, {10, 10, 90, 400}},    // too narrow
        {"app", 3, {20, 20, 600, 400}},      {"app", 0, {30, 30, 400, 99}},    // floating; too low
        {"app", 0, {40, 40, 100, 100}},      {"app", 0, {50, 50, 800, 600}},
    };
    EXPECT_EQ(TabletMappingController::frontWindow(list, "app"), (Rect{40, 40, 100, 100}));
    EXPECT_EQ(TabletMappingController::frontWindow(list, "other"), (Rect{0, 0, 500, 500}));
    EXPECT_EQ(TabletMappingController::frontWindow(list, "none"), std::nullopt);
    EXPECT_EQ(TabletMappingController::frontWindow({list[1], list[2], list[3]}, "app"), std::nullopt);
}

TEST(TabletMappingController, InscribedKeepsEmptyRectanglesAndCentresTheAspect) {
    EXPECT_EQ(TabletMappingController::inscribed(k4by3, {5, 5, 0, 300}), (Rect{5, 5, 0, 300}));
    EXPECT_EQ(TabletMappingController::inscribed(-1, {0, 0, 100, 50}), (Rect{0, 0, 100, 50}));
    EXPECT_EQ(TabletMappingController::inscribed(0.5, {0, 0, 100, 100}), (Rect{25, 0, 50, 100}));
    EXPECT_EQ(TabletMappingController::inscribed(2, {0, 0, 100, 100}), (Rect{0, 25, 100, 50}));
}

TEST(TabletMappingController, ReportsOnlyChangesAndFollowsTheFrontWindowWhileStarted) {
    MappingDesk desk;
    auto controller = desk.controller(1);
    desk.window = Rect{100, 100, 400, 400};
    controller->start(TabletMappingArea::frontWindow, std::nullopt, 0);
    controller->refresh();
    ASSERT_EQ(desk.reports.size(), 1u) << "a refresh with nothing changed reports nothing";

    desk.window = Rect{200, 100, 400, 400};
    desk.main->advance(TabletMappingController::frontWindowIntervalUs);
    ASSERT_EQ(desk.reports.size(), 2u) << "a moved window is reported within half a second";
    EXPECT_EQ(desk.reports[1].first, (Rect{200, 100, 400, 400}));

    controller->stop();
    desk.window = Rect{300, 100, 400, 400};
    desk.main->advance(10 * TabletMappingController::frontWindowIntervalUs);
    EXPECT_EQ(desk.reports.size(), 2u) << "stopped";
    controller->start(TabletMappingArea::frontWindow, std::nullopt, 0);
    desk.window = Rect{400, 100, 400, 400};
    desk.main->advance(TabletMappingController::frontWindowIntervalUs);
    ASSERT_EQ(desk.reports.size(), 4u) << "started again: at once and after half a second";

    // The same custom region on another display is a change.
    controller->start(TabletMappingArea::custom, Rect{0, 0, 500, 500}, desk.first);
    controller->start(TabletMappingArea::custom, Rect{0, 0, 500, 500}, desk.second);
    ASSERT_EQ(desk.reports.size(), 6u);
    EXPECT_EQ(desk.reports[5], std::pair(Rect{0, 0, 500, 500}, desk.second));
    desk.main->advance(10 * TabletMappingController::frontWindowIntervalUs);
    EXPECT_EQ(desk.reports.size(), 6u) << "only the front-window area refreshes on its own";

    // A zero-width region is kept but not reported.
    controller->start(TabletMappingArea::custom, Rect{10, 10, 0, 50}, desk.second);
    EXPECT_EQ(controller->region(), (Rect{10, 10, 0, 50}));
    EXPECT_EQ(desk.reports.size(), 6u);
    EXPECT_EQ(desk.main->armedTimers(), 0u);
}

}  // namespace
}  // namespace kelvo
