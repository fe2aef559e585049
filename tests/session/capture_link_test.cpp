// The capture link alone in virtual time: which source's reports count, restarts, moves that
// fall back to a new source, and stop.
#include "core/session/capture_link.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "testing/scripted_screen_source.hpp"
#include "core/transport/channel.hpp"
#include "core/util/stats_store.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Script = ScriptedScreenSource::Script;
using Error = std::optional<SourceError>;

// A started link on one manual queue, its channels' far ends left unread, sources the test
// scripts (starts held) and place() reading `where`.
struct LinkRig {
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    std::shared_ptr<ScriptedScreenSource::Recorder> screens = std::make_shared<ScriptedScreenSource::Recorder>();
    std::shared_ptr<EncoderScript> encoders = std::make_shared<EncoderScript>();
    StatsStore stats;
    UniqueFd tabletEnds[2];
    std::shared_ptr<CaptureLink> link;
    CaptureLink::Place where{7, std::nullopt, false};
    std::vector<std::string> ends;  // "reason / bye word"

    LinkRig() {
        SessionEnvironment env;
        env.main = main;
        env.makeQueue = [main = main](const std::string&) -> std::shared_ptr<Executor> { return main; };
        env.makeScreenSource = ScriptedScreenSource::factory(screens, env.makeQueue);
        env.makeEncoder = encoders->factory();
        std::shared_ptr<Channel> channels[2];
        for (int i = 0; i < 2; ++i) {
            int fds[2];
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
            tabletEnds[i] = UniqueFd(fds[1]);
            channels[i] = Channel::create(UniqueFd(fds[0]), i ? "video" : "ctrl", main, SocketOptions::ctrl);
            channels[i]->start();
        }
        screens->with([](Script& s) { return s.holdStarts = true; });
        link = CaptureLink::make({env, main, channels[0], channels[1], std::make_shared<ClockSync>(), stats, false});
        link->place = [this] { return where; };
        link->onEnd = [this](const std::string& reason, const std::string& bye) {
            ends.push_back(reason + " / " + bye);
            link->stop(StreamStopReason::ended);
        };
        onMain([&] { EXPECT_FALSE(link->start(VideoStreamer::Config{640, 480, 60, 1'000'000}, nullptr)); });
    }
    ~LinkRig() {
        onMain([&] { link->stop(StreamStopReason::ended); });
    }
    void onMain(const std::function<void()>& work) {
        main->post(work);
        main->runUntilIdle();
    }
    size_t made() { return screens->with([](Script& s) { return s.made.size(); }); }
    std::vector<ScriptedScreenSource::StartCompletion> held() {
        return screens->with([](Script& s) { return std::exchange(s.heldStarts, {}); });
    }
    // Starts a source at `where` and returns what its start reported, once it does.
    std::shared_ptr<std::vector<Error>> startSource() {
        auto reports = std::make_shared<std::vector<Error>>();
        onMain([&] { link->startSource(where, [reports](Error e) { reports->push_back(e); }); });
        return reports;
    }
    void complete(ScriptedScreenSource::StartCompletion& start, Error error) {
        onMain([&] { start(error); });
    }
};

TEST(CaptureLinkTest, OnlyTheCurrentSourceReports) {
    LinkRig rig;
    auto first = rig.startSource();
    auto second = rig.startSource();
    auto starts = rig.held();
    ASSERT_EQ(starts.size(), 2u);
    rig.complete(starts[0], SourceError{"stopped"});
    EXPECT_TRUE(first->empty());
    rig.complete(starts[1], std::nullopt);
    ASSERT_EQ(second->size(), 1u);
    EXPECT_FALSE(second->front());

    // A move answered after a newer source began is dropped too.
    std::vector<Error> moved;
    rig.onMain([&] { rig.link->switchSource(rig.where, [&](Error e) { moved.push_back(e); }); });
    EXPECT_EQ(moved.size(), 1u);  // the scripted move answers on the queue at once
    rig.screens->with([](Script& s) { return s.holdStarts = false; });
    auto third = rig.startSource();
    rig.onMain([&] {
        rig.link->switchSource(rig.where, [&](Error e) { moved.push_back(e); });
        rig.link->startSource(rig.where, [](Error) {});
    });
    EXPECT_EQ(moved.size(), 1u);
    EXPECT_TRUE(rig.ends.empty());
}

TEST(CaptureLinkTest, AMoveThatIsRefusedMakesANewSourceAtThePlace) {
    LinkRig rig;
    rig.screens->with([](Script& s) { return s.holdStarts = false; });
    rig.startSource();
    rig.screens->with([](Script& s) { return s.refuseMoves = true; });
    test::LogCapture log;
    std::vector<Error> moved;
    const CaptureLink::Place there{9, Rect{10, 20, 300, 200}, true};
    rig.onMain([&] { rig.link->switchSource(there, [&](Error e) { moved.push_back(e); }); });
    EXPECT_TRUE(log.contains("in-place update failed (cannot move); recreating stream", "capture"));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_FALSE(moved.front());
    ASSERT_EQ(rig.made(), 2u);
    const auto options = rig.screens->with([](Script& s) { return s.made.back(); });
    EXPECT_EQ(options.displayID, 9u);
    EXPECT_EQ(options.sourceRect, (Rect{10, 20, 300, 200}));
    EXPECT_TRUE(options.showsCursor);
}

// The budget and the user's own stop are the session's streaming tests; here where a restart
// captures and what its failure does.
TEST(CaptureLinkTest, ARestartCapturesAtThePlaceOfTheMomentAndItsFailureEnds) {
    LinkRig rig;
    rig.screens->with([](Script& s) { return s.holdStarts = false; });
    rig.startSource();
    rig.where.displayID = 42;
    rig.screens->latest()->fail(SourceError{"stalled"});
    rig.main->runUntilIdle();
    rig.main->advance(CaptureLink::kRestartDelayUs);
    ASSERT_EQ(rig.made(), 2u);
    EXPECT_EQ(rig.screens->with([](Script& s) { return s.made.back().displayID; }), 42u);

    rig.screens->with([](Script& s) { return s.failNextStart = SourceError{"display gone"}; });
    rig.onMain([&] { rig.link->restart(); });
    EXPECT_EQ(rig.ends, std::vector<std::string>{"capture restart failed: display gone / error"});
}

TEST(CaptureLinkTest, NothingReportsAfterStop) {
    LinkRig rig;
    auto reports = rig.startSource();
    auto starts = rig.held();
    rig.screens->latest()->fail(SourceError{"stalled"});  // a restart is pending
    rig.main->runUntilIdle();
    rig.onMain([&] {
        rig.link->stop(StreamStopReason::ended);
        rig.link->stop(StreamStopReason::ended);
    });
    rig.complete(starts[0], std::nullopt);
    rig.main->advance(10 * CaptureLink::kRestartDelayUs);
    EXPECT_TRUE(reports->empty());
    EXPECT_EQ(rig.made(), 1u);
    EXPECT_TRUE(rig.ends.empty());
    // The streamer stopped too: its statistics tick is gone with the restart.
    EXPECT_EQ(rig.main->armedTimers(), 0u);
}

}  // namespace
}  // namespace kelvo
