#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "core/display/display_broker.hpp"
#include "testing/x_server.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/xtest_event_sink.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// A client of the test's own, standing for another program on the same desktop.
class OtherClient {
public:
    explicit OtherClient(const std::string& display) : display_(display), c_(xcb_connect(display.c_str(), nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    }
    ~OtherClient() { xcb_disconnect(c_); }
    std::pair<int, int> screenSize() {
        auto* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, root_), nullptr);
        std::pair<int, int> size{g ? g->width : 0, g ? g->height : 0};
        std::free(g);
        return size;
    }
    void deleteMonitor(DisplayId id) {
        std::free(xcb_request_check(c_, xcb_randr_delete_monitor_checked(c_, root_, id)));
    }
    std::pair<int, int> pointer() {
        auto* r = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr);
        std::pair<int, int> at{r ? r->root_x : -1, r ? r->root_y : -1};
        std::free(r);
        return at;
    }
    // A spare output's display is named after the output.
    std::string atomName(DisplayId atom) {
        auto* r = xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, xcb_atom_t(atom)), nullptr);
        std::string name = r ? std::string(xcb_get_atom_name_name(r), size_t(xcb_get_atom_name_name_length(r))) : "";
        std::free(r);
        return name;
    }
    // Names of the server's modes that start with "Kelvo-".
    std::vector<std::string> ourModes() {
        std::vector<std::string> out;
        auto* res = xcb_randr_get_screen_resources_current_reply(c_, xcb_randr_get_screen_resources_current(c_, root_),
                                                                 nullptr);
        if (!res) return out;
        const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res);
        const uint8_t* names = xcb_randr_get_screen_resources_current_names(res);
        for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res); ++i) {
            std::string name(reinterpret_cast<const char*>(names), modes[i].name_len);
            names += modes[i].name_len;
            if (name.rfind("Kelvo-", 0) == 0) out.push_back(name);
        }
        std::free(res);
        return out;
    }
    // Asks the driver to probe its outputs again, as desktop clients do on a screen change.
    void pollOutputs() {
        std::free(xcb_randr_get_screen_resources_reply(c_, xcb_randr_get_screen_resources(c_, root_), nullptr));
    }
    // Runs xrandr on this display with `args`; true when it succeeded.
    bool xrandr(const std::string& args) { return std::system(("xrandr -d " + display_ + " " + args).c_str()) == 0; }
    // Shows a small mode on every disconnected output, leaving no spare one.
    bool occupyAllOutputs() {
        std::string x = "xrandr -d " + display_;
        return xrandr("--newmode Occupied 5 64 72 80 88 64 66 68 70") &&
               std::system(("for o in $(" + x + " | awk '/ disconnected/{print $1}'); do " + x +
                            " --addmode $o Occupied && " + x + " --output $o --mode Occupied --pos 0x0 || exit 1; done")
                               .c_str()) == 0;
    }

    std::string display_;

private:
    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
};

class RandrDisplays : public ::testing::Test {
protected:
    void startServer(XServer::Want want = XServer::Want::any) {
        std::string whyNot;
        server_ = XServer::start(want, &whyNot);
        if (!server_) GTEST_SKIP() << whyNot;
        auto connected = RandrDisplayServices::connect(server_->display());
        ASSERT_TRUE(connected.ok()) << connected.error();
        services_ = std::move(connected).value();
    }
    void requireResizable() {
        if (!server_->resizable()) GTEST_SKIP() << "only Xvfb is available here: its screen cannot grow";
    }
    bool runUntil(const std::function<bool()>& done) { return test::pumpUntil(main_, done); }

    std::unique_ptr<XServer> server_;
    std::unique_ptr<RandrDisplayServices> services_;
    MainLoop main_;
};

TEST_F(RandrDisplays, ListsTheServersOutputAsTheMainDisplay) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    auto online = services_->onlineDisplays();
    ASSERT_EQ(online.size(), 1u);
    DisplayId id = online[0];
    EXPECT_EQ(services_->mainDisplay(), id);
    Rect b = services_->bounds(id);
    EXPECT_EQ(b, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(services_->mirrorMaster(id), 0u);
    if (server_->resizable()) {
        EXPECT_EQ(services_->screenName(id), std::optional<std::string>("DUMMY0"));
        auto current = services_->currentMode(id);
        ASSERT_TRUE(current);
        EXPECT_EQ(current->pixelWidth, 1920);
        EXPECT_EQ(current->width, 1920);  // real outputs: one pixel per point
        EXPECT_NEAR(current->refreshHz, 60, 0.5);
        auto modes = services_->modes(id);
        EXPECT_NE(std::find(modes.begin(), modes.end(), *current), modes.end());
    }
}

TEST_F(RandrDisplays, VirtualDisplayGrowsTheScreenAndGivesItBackOnRelease) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    requireResizable();
    if (IsSkipped()) return;
    OtherClient other(server_->display());
    ASSERT_EQ(other.screenSize(), (std::pair<int, int>{1920, 1080}));
    DisplayId dummy = services_->mainDisplay();

    std::vector<std::pair<DisplayId, uint32_t>> seen;
    bool offMain = false;
    DisplayReconfigurationObserver observer(*services_, main_.sharedExecutor(), [&](DisplayId id, uint32_t flags) {
        if (!main_.executor().isCurrent()) offMain = true;
        seen.emplace_back(id, flags);
    });

    DisplayBroker broker(*services_, *services_, main_.sharedExecutor());
    std::shared_ptr<DisplaySource> source;
    DisplayId id = 0;
    main_.executor().post([&] {
        auto made = broker.acquire({"udid", "Pad"}, Orientation::landscape, DisplaySourceKind::virtual_, 0,
                                   {197, 148}, DisplayPreset::standard);
        ASSERT_TRUE(made.ok()) << made.error().description();
        source = made.value();
        id = source->displayID();
    });
    ASSERT_TRUE(runUntil([&] { return id != 0; }));

    // Beside the existing monitor, at the preferred preset's HiDPI size.
    EXPECT_EQ(other.screenSize(), (std::pair<int, int>{1920 + 2048, 1536}));
    auto online = services_->onlineDisplays();
    EXPECT_EQ(online.size(), 2u);
    EXPECT_NE(std::find(online.begin(), online.end(), id), online.end());
    EXPECT_EQ(services_->bounds(id), (Rect{1920, 0, 2048, 1536}));
    EXPECT_EQ(services_->mainDisplay(), dummy);
    EXPECT_EQ(services_->screenName(id), std::optional<std::string>("Kelvo \u00B7 Pad"));
    auto modes = services_->modes(id);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes[0], (DisplayMode{1024, 768, 2048, 1536, 60, true, 0}));
    EXPECT_TRUE(runUntil([&] {
        return std::find(seen.begin(), seen.end(), std::make_pair(id, DisplayChange::added)) != seen.end();
    }));
    EXPECT_FALSE(offMain);

    // A larger preset grows the screen further.
    DisplayConfigurator config(*services_);
    EXPECT_FALSE(config.apply(DisplayModeCatalog::spec(DisplayPreset::most, Orientation::landscape), id));
    EXPECT_EQ(services_->bounds(id), (Rect{1920, 0, 2732, 2048}));
    EXPECT_EQ(other.screenSize(), (std::pair<int, int>{1920 + 2732, 2048}));
    EXPECT_EQ(config.mappingDisplays(0).size(), 1u);  // our own display is no mapping target

    // Mirroring puts the monitor at its master's origin; ending it puts it back beside.
    config.setMirroring(id, dummy);
    EXPECT_TRUE(config.isMirrored(id));
    EXPECT_EQ(services_->bounds(id), (Rect{0, 0, 2732, 2048}));
    config.setMirroring(id, std::nullopt);
    EXPECT_FALSE(config.isMirrored(id));
    EXPECT_EQ(services_->bounds(id), (Rect{1920, 0, 2732, 2048}));

    // Released: the monitor goes and the screen has its size from before.
    int released = 0;
    broker.onReleased = [&] { ++released; };
    source.reset();
    broker.releaseNow();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(services_->onlineDisplays(), (std::vector<DisplayId>{dummy}));
    EXPECT_EQ(other.screenSize(), (std::pair<int, int>{1920, 1080}));
}

TEST_F(RandrDisplays, ThePointerEntersAVirtualDisplayOnASpareOutput) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    requireResizable();
    if (IsSkipped()) return;
    OtherClient other(server_->display());
    auto sink = XTestEventSink::connect(server_->display());
    ASSERT_TRUE(sink.ok()) << sink.error();
    auto source = VirtualDisplaySource::make(*services_, main_.sharedExecutor(), {"k", "Pad"},
                                             Orientation::landscape, {197, 148}, std::nullopt,
                                             ModeRegistrationUnit::points)
                      .value();
    Rect b = services_->bounds(source->displayID());
    ASSERT_EQ(b.x, 1920);
    ASSERT_EQ(other.ourModes().size(), 1u);
    // Corners and centre: every part of the display is reachable, not only its edge.
    for (Point p : {Point{b.x, b.y}, Point{b.x + b.width / 2, b.y + b.height / 2},
                    Point{b.x + b.width - 1, b.y + b.height - 1}}) {
        sink.value()->post(synth::Move{p}, EventFlag::none);
        std::pair<int, int> want{int(p.x), int(p.y)};
        EXPECT_TRUE(test::waitUntil([&] { return other.pointer() == want; }))
            << other.pointer().first << "," << other.pointer().second << " wanted " << p.x << "," << p.y;
    }
    // A new size shows a new mode and drops the old one.
    DisplayConfigurator config(*services_);
    EXPECT_FALSE(config.apply(DisplayModeCatalog::spec(DisplayPreset::standard, Orientation::landscape),
                              source->displayID()));
    EXPECT_EQ(services_->bounds(source->displayID()), (Rect{1920, 0, 2048, 1536}));
    EXPECT_EQ(other.ourModes().size(), 1u);

    source.reset();
    EXPECT_TRUE(other.ourModes().empty());
    EXPECT_EQ(services_->onlineDisplays().size(), 1u);
    EXPECT_EQ(other.screenSize(), (std::pair<int, int>{1920, 1080}));
}

// The dummy driver reports an output connected for good once it was probed showing a mode:
// sessions one after another, more of them than the server has outputs, must each still get a
// spare output.
TEST_F(RandrDisplays, SessionsOneAfterAnotherDoNotUseUpTheSpareOutputs) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    requireResizable();
    if (IsSkipped()) return;
    OtherClient other(server_->display());
    for (int session = 0; session < 20; ++session) {
        auto source = VirtualDisplaySource::make(*services_, main_.sharedExecutor(), {"k", "Pad"},
                                                 Orientation::landscape, {197, 148}, std::nullopt,
                                                 ModeRegistrationUnit::points);
        ASSERT_TRUE(source.ok()) << source.error().description();
        DisplayId id = source.value()->displayID();
        ASSERT_EQ(other.atomName(id).rfind("DUMMY", 0), 0u) << "session " << session;
        ASSERT_FALSE(DisplayConfigurator(*services_).apply(
            DisplayModeCatalog::spec(DisplayPreset::standard, Orientation::landscape), id));
        ASSERT_EQ(services_->bounds(id).width, 2048);
        other.pollOutputs();
    }
    EXPECT_EQ(services_->onlineDisplays().size(), 1u);
}

TEST_F(RandrDisplays, AVirtualDisplayTurnedOffByAnotherClientIsReportedTerminated) {
    struct Case {
        const char* name;
        bool spareOutput;  // else a bare monitor, which the other client deletes
    };
    for (const Case& c : {Case{"on a spare output", true}, Case{"as a bare monitor", false}}) {
        SCOPED_TRACE(c.name);
        startServer();
        if (HasFatalFailure() || IsSkipped()) return;
        requireResizable();
        if (IsSkipped()) return;
        OtherClient other(server_->display());
        if (!c.spareOutput) {
            ASSERT_TRUE(other.occupyAllOutputs());
        }
        test::LogCapture log;
        auto made = VirtualDisplaySource::make(*services_, main_.sharedExecutor(), {"k", "Pad"},
                                               Orientation::portrait, {197, 148}, std::nullopt,
                                               ModeRegistrationUnit::points);
        ASSERT_TRUE(made.ok()) << made.error().description();
        auto source = made.value();
        EXPECT_EQ(services_->bounds(source->displayID()), (Rect{1920, 0, 2048, 2732}));  // `most` first, portrait
        EXPECT_EQ(log.contains("which the pointer cannot enter", "display"), !c.spareOutput);
        bool terminated = false;
        source->onTerminated = [&] {
            EXPECT_TRUE(main_.executor().isCurrent());
            terminated = true;
        };
        if (c.spareOutput) {
            ASSERT_TRUE(other.xrandr("--output " + other.atomName(source->displayID()) + " --off"));
        } else {
            other.deleteMonitor(source->displayID());
        }
        EXPECT_TRUE(runUntil([&] { return terminated; }));
        EXPECT_TRUE(log.contains("virtual display terminated by the system", "display"));
        EXPECT_EQ(other.screenSize(), (std::pair<int, int>{1920, 1080}));
        EXPECT_TRUE(other.ourModes().empty());
        source.reset();  // nothing left to delete; no second report
        main_.runFor(100'000);
        services_.reset();
        server_.reset();
    }
}

TEST_F(RandrDisplays, TheServerGoingAwayTerminatesTheVirtualDisplay) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    requireResizable();
    if (IsSkipped()) return;
    auto source = VirtualDisplaySource::make(*services_, main_.sharedExecutor(), {"k", "Pad"},
                                             Orientation::landscape, {197, 148}, std::nullopt,
                                             ModeRegistrationUnit::points)
                      .value();
    bool terminated = false;
    source->onTerminated = [&] { terminated = true; };
    server_.reset();
    EXPECT_TRUE(runUntil([&] { return terminated; }));
    EXPECT_TRUE(services_->onlineDisplays().empty());
}

TEST_F(RandrDisplays, MonitorsLeftByAnEndedRunAreRemovedAtConnect) {
    startServer();
    if (HasFatalFailure() || IsSkipped()) return;
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    std::string stale = "Kelvo-" + std::to_string(gone) + "-1";
    std::string other = "Kelvo-" + std::to_string(getpid()) + "-99";  // a live process's: kept
    for (auto& name : {stale, other}) {
        std::string cmd = "xrandr -d " + server_->display() + " --setmonitor " + name + " 100/10x100/10+0+0 none";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    // A mode of the ended run still shown on a spare output: the output is turned off.
    OtherClient client(server_->display());
    std::string staleMode = stale + "-64x64";
    bool withOutput = server_->resizable();
    if (withOutput) {
        ASSERT_TRUE(client.xrandr("--newmode " + staleMode + " 5 64 72 80 88 64 66 68 70"));
        ASSERT_TRUE(client.xrandr("--addmode DUMMY1 " + staleMode));
        ASSERT_TRUE(client.xrandr("--output DUMMY1 --mode " + staleMode + " --pos 0x0"));
    }
    ASSERT_EQ(services_->onlineDisplays().size(), withOutput ? 4u : 3u);
    services_.reset();
    test::LogCapture log;
    services_ = RandrDisplayServices::connect(server_->display()).value();
    EXPECT_EQ(services_->onlineDisplays().size(), 2u);
    EXPECT_TRUE(log.contains("removed virtual monitor " + stale + " left by an earlier run", "display"));
    if (withOutput) {
        EXPECT_TRUE(client.ourModes().empty());
        EXPECT_TRUE(log.contains("removed virtual mode " + staleMode + " left by an earlier run", "display"));
    }
}

TEST_F(RandrDisplays, AScreenThatCannotGrowIsACreationError) {
    startServer(XServer::Want::xvfbOnly);
    if (HasFatalFailure() || IsSkipped()) return;
    if (!services_->isAvailable()) GTEST_SKIP() << "this Xvfb has no RandR 1.5";
    test::LogCapture log;
    auto made = VirtualDisplaySource::make(*services_, main_.sharedExecutor(), {"k", "Pad"}, Orientation::landscape,
                                           {197, 148}, std::nullopt, ModeRegistrationUnit::points);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().description(), "failed to create the virtual display");
    EXPECT_TRUE(log.contains("screen cannot grow to", "display"));
    EXPECT_EQ(services_->onlineDisplays().size(), 1u);
}

}  // namespace
}  // namespace kelvo
