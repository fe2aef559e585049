#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include "core/session/device_session.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/fake_session_environment.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "testing/scripted_screen_source.hpp"
#include "session/session_run.hpp"

namespace kelvo {
namespace {

using Kind = DeviceSession::State::Kind;
using test::LogCapture;

// A session run on the fake environment, with screen sources the test scripts.
class FakeRun : public test::SessionRun {
public:
    static std::unique_ptr<FakeRun> make(FakeSessionEnvironment::Queues queues, FakeIPad::Options tablet) {
        auto fake = std::make_unique<FakeSessionEnvironment>(queues);
        auto screens = std::make_shared<ScriptedScreenSource::Recorder>();
        auto encoders = fake->manual ? std::make_shared<EncoderScript>() : nullptr;
        return std::unique_ptr<FakeRun>(new FakeRun(std::move(fake), screens, std::move(tablet), encoders));
    }
    ~FakeRun() { stop(); }

    std::unique_ptr<FakeSessionEnvironment> owned;
    FakeSessionEnvironment& fake;
    std::shared_ptr<ScriptedScreenSource::Recorder> screens;
    // The encoders' script in virtual time (manual queues); null on threads.
    std::shared_ptr<EncoderScript> encoders;

private:
    static Host host(FakeSessionEnvironment& fake, const std::shared_ptr<ScriptedScreenSource::Recorder>& screens,
                     const std::shared_ptr<EncoderScript>& encoders) {
        Host h{fake.environment(), fake.stores(), [&fake](const std::function<void()>& work) { fake.onMain(work); },
               [&fake] { fake.run(); }};
        h.env.makeScreenSource = ScriptedScreenSource::factory(screens, fake.makeQueue);
        // Everything on the test thread: encoders that answer at once, on the video queue.
        if (encoders) h.env.makeEncoder = encoders->factory();
        return h;
    }
    FakeRun(std::unique_ptr<FakeSessionEnvironment> f, std::shared_ptr<ScriptedScreenSource::Recorder> s,
            FakeIPad::Options tablet, std::shared_ptr<EncoderScript> e = nullptr)
        : SessionRun(host(*f, s, e), std::move(tablet)),
          owned(std::move(f)),
          fake(*owned),
          screens(std::move(s)),
          encoders(std::move(e)) {}
};

// Small pictures keep the encoder quick: the ladder is answered as the tablet decodes, and
// everything beyond this size is refused.
FakeIPad::Options smallTablet() {
    FakeIPad::Options o;
    o.decodeMaxPixels = 1600 * 1200;
    return o;
}

// In virtual time the encoder is a script: the tablet takes its frames without decoding them.
FakeIPad::Options virtualTimeTablet() {
    FakeIPad::Options o;
    o.decode = false;
    return o;
}

// A session streaming from a scripted screen source in virtual time; null when it did not start.
std::unique_ptr<FakeRun> streamingOnScriptedScreen() {
    auto run = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
    run->options.skipProbe = true;
    run->options.frameSource = HostOptions::FrameSourceKind::screen;
    run->connect();
    if (!run->reached(Kind::streaming)) return nullptr;
    return run;
}

TEST(SessionStreamingTest, ProbeThenStreamThenCachedSelectionNextTime) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::threads, smallTablet());
    auto& run = *owner;
    run.fake.onMain([&] { run.fake.settings.update([](Settings& s) { s.qualityPolicy = QualityPolicy::clarity; }); });
    std::vector<RungResult> progress;
    run.connect();
    run.fake.onMain([&] { run.session->onProbeProgress = [&](const RungResult& r) { progress.push_back(r); }; });
    ASSERT_TRUE(run.reached(Kind::streaming)) << run.state().description();
    ASSERT_TRUE(run.decodedAtLeast(30));

    auto first = run.ipad->snapshot();
    EXPECT_GE(first.probesAnswered, 1);
    EXPECT_EQ(first.decodeErrors, 0);
    std::optional<ProbeSelection> selection;
    DisplayId display = 0;
    run.fake.onMain([&] {
        selection = run.session->selection();
        display = run.session->displayID();
        EXPECT_FALSE(progress.empty());
        EXPECT_EQ(run.session->probeResults().size(), progress.size());
        auto profile = run.fake.profiles.profile(run.connector->deviceKey());
        ASSERT_TRUE(profile && profile->probe);
        EXPECT_EQ(profile->probe->selection, selection);
    });
    ASSERT_TRUE(selection);
    EXPECT_EQ(selection->rungName, "L4");  // the larger rungs exceed what the tablet decodes
    EXPECT_EQ(first.streamSize, (SizeD{1600, 1200}));
    EXPECT_NE(display, 0u);

    // Over Wi-Fi and back: the display stays for the grace period and the probe is not repeated.
    run.fake.onMain([&] { run.session->handOver("usb"); });
    ASSERT_EQ(run.endings, std::vector<std::string>{"handing over: usb"});
    run.connect();
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.decodedAtLeast(first.framesDecoded + 30));
    auto second = run.ipad->snapshot();
    EXPECT_EQ(second.probesAnswered, first.probesAnswered);
    run.fake.onMain([&] {
        EXPECT_EQ(run.session->selection(), selection);
        EXPECT_EQ(run.session->displayID(), display);
    });
}

TEST(SessionStreamingTest, BackgroundPausesAndReturningStartsANewStreamWithAKeyFrame) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::threads, smallTablet());
    auto& run = *owner;
    run.options.skipProbe = true;
    run.connect();
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.decodedAtLeast(5));

    run.ipad->sendAppState(1);
    ASSERT_TRUE(run.reached(Kind::paused));
    EXPECT_EQ(run.state().reason(), "iPad 不在前台");
    ASSERT_TRUE(run.until([&] { return !run.ipad->snapshot().stopReasons.empty(); }));
    auto paused = run.ipad->snapshot();
    EXPECT_EQ(paused.stopReasons.back(), 2);

    run.ipad->sendAppState(0);
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.until([&] {
        auto now = run.ipad->snapshot();
        return now.streamFormats > paused.streamFormats && now.keyframes > paused.keyframes &&
               now.framesDecoded > paused.framesDecoded;
    }));
}

TEST(SessionStreamingTest, InputOnlyMappingPausesWithReasonFourAndLeavingResumes) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::threads, smallTablet());
    auto& run = *owner;
    run.options.skipProbe = true;
    run.fake.onMain([&] { run.fake.settings.update([](Settings& s) { s.mappingView = TabletMappingView::inputOnly; }); });
    run.connect();
    ASSERT_TRUE(run.reached(Kind::streaming));

    run.fake.onMain([&] { run.session->setInputMode(InputMode::tabletMapping); });
    ASSERT_TRUE(run.reached(Kind::paused));
    EXPECT_EQ(run.state().reason(), "纯输入");
    ASSERT_TRUE(run.until([&] { return !run.ipad->snapshot().stopReasons.empty(); }));
    auto paused = run.ipad->snapshot();
    EXPECT_EQ(paused.stopReasons, std::vector<uint8_t>{4});
    run.fake.onMain([&] {
        auto profile = run.fake.profiles.profile(run.connector->deviceKey());
        ASSERT_TRUE(profile);
        EXPECT_EQ(profile->lastMode, InputMode::tabletMapping);
    });

    run.fake.onMain([&] { run.session->setInputMode(InputMode::touch); });
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.until([&] { return run.ipad->snapshot().keyframes > paused.keyframes; }));
}

// Capture failures in virtual time: a restart one second later, a bounded number of them, and
// the user's own stop ending the session.
TEST(SessionStreamingTest, CaptureErrorsRestartAfterOneSecondUntilTheBudgetIsSpent) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;
    auto made = [&] { return run.screens->with([](auto& s) { return s.made.size(); }); };
    ASSERT_EQ(made(), 1u);

    LogCapture log;
    for (size_t i = 1; i <= 5; ++i) {
        run.screens->latest()->fail(SourceError{"capture stalled"});
        ASSERT_TRUE(run.until([&] { return log.count("stream stopped: capture stalled; restarting in 1 s") == i; }));
        run.fake.advance(999'000);
        EXPECT_EQ(made(), i);
        run.fake.advance(1'000);
        ASSERT_TRUE(run.until([&] { return made() == i + 1; }));
        EXPECT_EQ(run.state().kind(), Kind::streaming);
    }
    run.screens->latest()->fail(SourceError{"capture stalled"});
    ASSERT_TRUE(run.reached(Kind::closed));
    EXPECT_EQ(run.endings, std::vector<std::string>{"capture failed: capture stalled (5 restarts in 60 s)"});
}

// What the tablet is told of this computer: a capture start the X server refuses ends the session,
// with a toast for the tablet only when reading the screen is not permitted at all.
TEST(SessionStreamingTest, ARefusedCaptureStartToastsOnlyWithoutThePermission) {
    for (bool permitted : {true, false}) {
        SCOPED_TRACE(permitted ? "permitted" : "not permitted");
        auto owner = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
        auto& run = *owner;
        run.options.skipProbe = true;
        run.options.frameSource = HostOptions::FrameSourceKind::screen;
        run.fake.permissions->screenCaptureAllowed = permitted;
        run.screens->with([](auto& s) { return s.failNextStart = SourceError{"display 7 did not appear on the X screen"}; });
        run.connect();
        ASSERT_TRUE(run.reached(Kind::closed));
        EXPECT_EQ(run.endings, std::vector<std::string>{"capture failed: display 7 did not appear on the X screen"});
        ASSERT_TRUE(run.until([&] { return run.ipad->snapshot().lastBye.has_value(); }));
        EXPECT_EQ(run.ipad->snapshot().toasts,
                  permitted ? std::vector<std::string>{} : std::vector<std::string>{"\u7535\u8111\u7F3A\u5C11\u5F55\u5C4F\u6743\u9650"});
    }
}

// A sleeping display pauses the stream with its reason; waking resumes it.
TEST(SessionStreamingTest, ASleepingDisplayPausesWithItsReason) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;
    run.fake.power->onEvent = [&](PowerObserver::Event e) { run.session->hostPowerEvent(e); };
    run.fake.onMain([&] { run.fake.displaySleep->set(true); });
    ASSERT_TRUE(run.reached(Kind::paused));
    EXPECT_EQ(run.state().reason(), "\u7535\u8111\u663E\u793A\u5668\u7761\u7720");  // 电脑显示器睡眠
    run.fake.onMain([&] { run.fake.displaySleep->set(false); });
    EXPECT_TRUE(run.reached(Kind::streaming));
    run.fake.power->onEvent = nullptr;
}

// In a previewed tablet mapping the capture moves in place to the mapped part of the main
// display (a 4:3 tablet on 1920×1080: 240, 0, 1440, 1080), and a failure restarts it there.
TEST(SessionStreamingTest, PreviewFollowsTheMappingAndRestartsThere) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;

    const Rect mapped{240, 0, 1440, 1080};
    run.onMain([&] { run.session->setInputMode(InputMode::tabletMapping); });
    ASSERT_TRUE(run.until([&] { return run.screens->with([](auto& s) { return s.moves.size(); }) == 1u; }));
    auto move = run.screens->with([](auto& s) { return s.moves[0]; });
    EXPECT_EQ(move.displayID, run.fake.mainDisplay);
    EXPECT_EQ(move.sourceRect, mapped);
    EXPECT_EQ(run.state().kind(), Kind::streaming);

    LogCapture log;
    run.screens->latest()->fail(SourceError{"capture stalled"});
    ASSERT_TRUE(run.until([&] { return log.contains("restarting in 1 s", "capture"); }));
    run.fake.advance(1'000'000);
    ASSERT_TRUE(run.until([&] { return run.screens->with([](auto& s) { return s.made.size(); }) == 2u; }));
    auto restarted = run.screens->with([](auto& s) { return s.made.back(); });
    EXPECT_EQ(restarted.displayID, run.fake.mainDisplay);
    EXPECT_EQ(restarted.sourceRect, mapped);

    // Back to touch: the whole session display again.
    DisplayId own = 0;
    run.onMain([&] {
        own = run.session->displayID();
        run.session->setInputMode(InputMode::touch);
    });
    ASSERT_TRUE(run.until([&] { return run.screens->with([](auto& s) { return s.moves.size(); }) == 2u; }));
    move = run.screens->with([](auto& s) { return s.moves[1]; });
    EXPECT_EQ(move.displayID, own);
    EXPECT_EQ(move.sourceRect, std::nullopt);
}

TEST(SessionStreamingTest, SettingsChangesReachTheDisplayTheCaptureAndTheMapping) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;
    auto made = [&] { return run.screens->with([](auto& s) { return s.made; }); };
    auto moves = [&] { return run.screens->with([](auto& s) { return s.moves.size(); }); };
    auto change = [&](std::function<void(Settings&)> body) { run.onMain([&] { run.fake.settings.update(body); }); };

    // A larger preset: the session's display takes its mode, and the capture follows it.
    change([](Settings& s) { s.preset = DisplayPreset::most; });
    Rect bounds;
    run.onMain([&] { bounds = run.fake.displayServer->bounds(run.session->displayID()); });
    EXPECT_EQ(bounds.width, 1366);
    EXPECT_TRUE(run.until([&] { return run.session->region() == bounds; }));
    ASSERT_TRUE(run.until([&] { return moves() == 1u; }));

    // The pointer burned into the picture: a new capture that shows it.
    change([](Settings& s) { s.cursorMode = CursorMode::burnedIn; });
    ASSERT_TRUE(run.until([&] { return made().size() == 2u; }));
    EXPECT_TRUE(made().back().showsCursor);

    // Input-only mapping pauses; switching the view to preview resumes and moves the capture.
    change([](Settings& s) { s.mappingView = TabletMappingView::inputOnly; });
    run.onMain([&] { run.session->setInputMode(InputMode::tabletMapping); });
    ASSERT_TRUE(run.reached(Kind::paused));
    EXPECT_EQ(moves(), 1u);
    change([](Settings& s) { s.mappingView = TabletMappingView::preview; });
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.until([&] { return moves() == 2u; }));
    // A custom area moves it again.
    change([](Settings& s) { s.mappingCustomRect = Rect{100, 100, 400, 300}; s.mappingArea = TabletMappingArea::custom; });
    ASSERT_TRUE(run.until([&] { return moves() == 3u; }));
    EXPECT_EQ(run.screens->with([](auto& s) { return s.moves.back().sourceRect; }), (Rect{100, 100, 400, 300}));
}

TEST(SessionStreamingTest, UserStoppingTheCaptureEndsTheSession) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;
    run.screens->latest()->fail(SourceError{"stopped", SourceError::Kind::userStopped});
    ASSERT_TRUE(run.reached(Kind::closed));
    EXPECT_EQ(run.endings, std::vector<std::string>{"sharing stopped by user"});
    ASSERT_TRUE(run.until([&] { return run.ipad->snapshot().lastBye.has_value(); }));
    EXPECT_EQ(run.ipad->snapshot().lastBye, "user");
}

// Refuses the first `refusals` video connects, then dials as the wrapped connector does.
class FlakyVideoConnector final : public DeviceConnector {
public:
    FlakyVideoConnector(std::shared_ptr<DeviceConnector> inner, std::shared_ptr<Executor> main, int refusals)
        : inner_(std::move(inner)), main_(std::move(main)), refusals_(refusals) {}
    std::string deviceKey() const override { return inner_->deviceKey(); }
    std::string transportLabel() const override { return inner_->transportLabel(); }
    void connect(uint16_t port, ConnectCompletion completion) override {
        if (port == DeviceSession::kVideoPort) {
            attempts.push_back(main_->nowUs());
            if (holdVideo) {
                held = std::move(completion);
                return;
            }
            if (refusals_-- > 0) {
                main_->post([completion] { completion(ConnectError::refused()); });
                return;
            }
        }
        inner_->connect(port, std::move(completion));
    }
    std::vector<uint64_t> attempts;  // virtual times of the video connects
    bool holdVideo = false;          // keep the video completion for the test to call
    ConnectCompletion held;

private:
    std::shared_ptr<DeviceConnector> inner_;
    std::shared_ptr<Executor> main_;
    int refusals_;
};

TEST(SessionStreamingTest, VideoConnectIsTriedThreeTimesThreeTenthsOfASecondApart) {
    for (int refusals : {2, 3}) {
        SCOPED_TRACE(refusals);
        auto owner = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
        auto& run = *owner;
        run.options.skipProbe = true;
        std::shared_ptr<FlakyVideoConnector> flaky;
        run.wrapConnector = [&](std::shared_ptr<DeviceConnector> inner) {
            flaky = std::make_shared<FlakyVideoConnector>(std::move(inner), run.fake.main, refusals);
            return flaky;
        };
        run.connect();
        for (int i = 0; i < 3; ++i) {
            run.until([&] { return flaky->attempts.size() > size_t(i); }, test::kPatience);
            run.fake.advance(300'000);
        }
        if (refusals == 2) {
            ASSERT_TRUE(run.reached(Kind::streaming)) << run.state().description();
        } else {
            ASSERT_TRUE(run.reached(Kind::closed));
            EXPECT_EQ(run.endings, std::vector<std::string>{"VIDEO connect failed: connection refused"});
        }
        ASSERT_EQ(flaky->attempts.size(), 3u);
        EXPECT_EQ(flaky->attempts[1] - flaky->attempts[0], 300'000u);
        EXPECT_EQ(flaky->attempts[2] - flaky->attempts[1], 300'000u);
    }
}

// The tablet ends at the first of its streams that closes: a video connection completing after the
// user disconnected must not close before the bye has been written on the control stream.
TEST(SessionStreamingTest, LateVideoConnectionClosesOnlyBehindTheBye) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
    auto& run = *owner;
    run.options.skipProbe = true;
    std::shared_ptr<FlakyVideoConnector> flaky;
    run.wrapConnector = [&](std::shared_ptr<DeviceConnector> inner) {
        flaky = std::make_shared<FlakyVideoConnector>(std::move(inner), run.fake.main, 0);
        flaky->holdVideo = true;
        return flaky;
    };
    run.connect();
    ASSERT_TRUE(run.until([&] { return flaky->held != nullptr; }, test::kPatience));
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd late(ends[0]), peer(ends[1]);
    bool closedAtOnce = false;
    run.onMain([&] {
        run.session->disconnect("user");
        flaky->held(std::move(late));
        char byte;
        closedAtOnce = ::recv(peer.get(), &byte, 1, MSG_DONTWAIT) == 0;
    });
    EXPECT_FALSE(closedAtOnce);
    ASSERT_TRUE(run.until([&] { return run.ipad->snapshot().lastBye.has_value(); }));
    EXPECT_EQ(run.ipad->snapshot().lastBye, "user");
    char byte;
    EXPECT_EQ(::recv(peer.get(), &byte, 1, MSG_DONTWAIT), 0);  // closed once the bye went out
}

// The capture follows every change of its display: a larger preset moves it in place onto the
// grown display, also when the change comes while the capture is still starting.
TEST(SessionStreamingTest, CaptureFollowsItsDisplay) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
    auto& run = *owner;
    run.options.skipProbe = true;
    run.options.frameSource = HostOptions::FrameSourceKind::screen;
    run.screens->with([](auto& s) { return s.holdStarts = true; });
    run.connect();
    ASSERT_TRUE(run.until([&] { return run.screens->with([](auto& s) { return s.heldStarts.size(); }) == 1u; }));
    EXPECT_EQ(run.state().kind(), Kind::startingDisplay);
    auto moves = [&] { return run.screens->with([](auto& s) { return s.moves; }); };
    auto change = [&](DisplayPreset preset) {
        run.onMain([&] { run.fake.settings.update([&](Settings& s) { s.preset = preset; }); });
    };
    DisplayId own = 0;
    Rect bounds;
    run.onMain([&] { own = run.session->displayID(); });

    // Grown before the start completed: the capture catches up once it runs.
    change(DisplayPreset::more);
    run.onMain([&] { bounds = run.fake.displayServer->bounds(own); });
    ASSERT_EQ(bounds.width, 1152);
    ASSERT_TRUE(run.until([&] { return run.session->region() == bounds; }));
    const size_t before = moves().size();
    auto held = run.screens->with([](auto& s) { return std::exchange(s.heldStarts, {}); });
    run.onMain([&] { held[0](std::nullopt); });
    ASSERT_TRUE(run.reached(Kind::streaming));
    ASSERT_TRUE(run.until([&] { return moves().size() == before + 1; }));
    EXPECT_EQ(moves().back().displayID, own);
    EXPECT_EQ(moves().back().sourceRect, std::nullopt);

    // Grown while streaming: moved in place, the whole display again.
    change(DisplayPreset::most);
    ASSERT_TRUE(run.until([&] { return moves().size() == before + 2; }));
    EXPECT_EQ(moves().back().displayID, own);
    EXPECT_EQ(moves().back().sourceRect, std::nullopt);
    EXPECT_EQ(run.state().kind(), Kind::streaming);
    run.fake.advance(1'000'000);
    EXPECT_EQ(moves().size(), before + 2);  // nothing more without a change
}

// In a previewed tablet mapping the capture follows the mapped region: a new mode of the mapped
// display moves it to the region inscribed in the new size.
TEST(SessionStreamingTest, PreviewFollowsAChangeOfTheMappedDisplay) {
    auto owner = FakeRun::make(FakeSessionEnvironment::Queues::manual, virtualTimeTablet());
    auto& run = *owner;
    const DisplayId other = run.fake.displayServer->addDisplay(
        {{SimulatedDisplayServer::mode(1280, 1024), SimulatedDisplayServer::mode(1600, 1200)}, 0, 1920, 0, false,
         std::nullopt});
    run.onMain([&] {
        run.fake.settings.update([&](Settings& s) {
            s.mappingDisplayID = other;
            s.mappingView = TabletMappingView::preview;
        });
    });
    run.options.skipProbe = true;
    run.options.frameSource = HostOptions::FrameSourceKind::screen;
    run.connect();
    ASSERT_TRUE(run.reached(Kind::streaming));
    auto moves = [&] { return run.screens->with([](auto& s) { return s.moves; }); };
    run.onMain([&] { run.session->setInputMode(InputMode::tabletMapping); });
    ASSERT_TRUE(run.until([&] { return moves().size() == 1u; }));
    EXPECT_EQ(moves()[0].displayID, other);
    EXPECT_EQ(moves()[0].sourceRect, (Rect{0, 32, 1280, 960}));

    run.onMain([&] { run.fake.displayServer->setCurrentMode(other, 1); });
    ASSERT_TRUE(run.until([&] { return moves().size() == 2u; }));
    EXPECT_EQ(moves()[1].displayID, other);
    EXPECT_EQ(moves()[1].sourceRect, (Rect{0, 0, 1600, 1200}));
}

// A stream setting changed while streaming passes the limits the stream started with, and the
// capture follows the frame-rate cap.
TEST(SessionStreamingTest, StreamSettingsChangedWhileStreamingKeepTheStartLimitsAndReachTheCapture) {
    struct Case {
        const char* name;
        int64_t fpsCap;
        double bitrateMbps;
        int fps;
        int bitrate;
        std::vector<int> captureRates;
    };
    const std::vector<Case> cases{
        {"lower cap", 30, 25, 30, 25'000'000, {30}},
        {"cap above the selection", 120, 12.5, 60, 12'500'000, {}},
        {"cap below 1", 0, 25, 60, 25'000'000, {}},
        {"negative cap", -5, 20, 60, 20'000'000, {}},
        {"bitrate below 0.1 Mbit/s", 60, 0.00001, 60, 25'000'000, {}},
        {"cap and bitrate", 24, 0.05, 24, 25'000'000, {24}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto owner = streamingOnScriptedScreen();
        ASSERT_TRUE(owner);
        auto& run = *owner;
        const size_t made = run.encoders->made.size();
        run.onMain([&] {
            run.fake.settings.update([&](Settings& s) {
                s.fpsCap = c.fpsCap;
                s.bitrateMbps = c.bitrateMbps;
            });
        });
        ASSERT_TRUE(run.until([&] { return run.encoders->made.size() == made + 1; }));
        EXPECT_EQ(run.encoders->made.back().fps, c.fps);
        EXPECT_EQ(run.encoders->made.back().bitrate, c.bitrate);
        EXPECT_EQ(run.screens->with([](auto& s) { return s.frameRates; }), c.captureRates);
    }
}

// A capture start that completes after a newer one began belongs to a source already replaced:
// a restart racing a cursor-mode change must not end the session with the old source's "stopped".
TEST(SessionStreamingTest, StartOfAReplacedCaptureIsIgnored) {
    auto owner = streamingOnScriptedScreen();
    ASSERT_TRUE(owner);
    auto& run = *owner;
    auto made = [&] { return run.screens->with([](auto& s) { return s.made.size(); }); };
    LogCapture log;
    run.screens->with([](auto& s) { return s.holdStarts = true; });
    run.screens->latest()->fail(SourceError{"capture stalled"});
    ASSERT_TRUE(run.until([&] { return log.contains("restarting in 1 s", "capture"); }));
    run.fake.advance(1'000'000);
    ASSERT_TRUE(run.until([&] { return made() == 2u; }));

    // The pointer burned in meanwhile: a third source replaces the restarting one.
    run.onMain([&] { run.fake.settings.update([](Settings& s) { s.cursorMode = CursorMode::burnedIn; }); });
    ASSERT_TRUE(run.until([&] { return made() == 3u; }));
    auto held = run.screens->with([](auto& s) { return std::exchange(s.heldStarts, {}); });
    ASSERT_EQ(held.size(), 2u);
    run.onMain([&] { held[0](SourceError{"stopped"}); });
    run.fake.run();
    EXPECT_EQ(run.state().kind(), Kind::streaming);
    EXPECT_TRUE(run.endings.empty());

    // The newer start still counts: its failure ends the session.
    run.onMain([&] { held[1](SourceError{"display gone"}); });
    ASSERT_TRUE(run.reached(Kind::closed));
    EXPECT_EQ(run.endings, std::vector<std::string>{"capture restart failed: display gone"});
}

}  // namespace
}  // namespace kelvo
