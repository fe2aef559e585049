// The session's greeting, heartbeat, endings, pairing, commands and power events against a
// scripted tablet in virtual time.
#include <gtest/gtest.h>

#include <cmath>

#include "core/transport/secure_transport.hpp"
#include "core/util/base64.hpp"
#include "session_test_support.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace test;

class DeviceSessionTest : public ::testing::Test {
protected:
    FakeSessionEnvironment env;
};

TEST_F(DeviceSessionTest, GreetingIsAnsweredInOrderAndLeadsToTheVideoConnection) {
    LogCapture log;
    SessionRig rig(env);
    EXPECT_EQ(rig.session->state(), DeviceSession::State::handshaking());
    rig.greet();

    const std::vector<MsgType> answers{MsgType::helloAck, MsgType::config, MsgType::uiLayout, MsgType::uiState,
                                       MsgType::hostState};
    auto types = rig.peer.types();
    std::erase(types, MsgType::pair);
    EXPECT_EQ(types, answers);
    auto ack = rig.peer.last<HelloAckMsg>(MsgType::helloAck);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->accept);
    EXPECT_EQ(ack->session.size(), 16u);
    EXPECT_EQ(ack->session.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(HelloAckMsg::token(ack->session), 0u);
    EXPECT_EQ(ack->host, (HelloAckMsg::Host{"Test Host", "9.9"}));
    EXPECT_TRUE(ack->needProbe);
    EXPECT_FALSE(ack->reason);
    EXPECT_EQ(rig.peer.last<ConfigMsg>(MsgType::config)->orientation, "landscape");
    EXPECT_EQ(rig.peer.last<HostStateMsg>(MsgType::hostState), (HostStateMsg{"on", false, std::nullopt}));

    EXPECT_EQ(rig.session->state(), DeviceSession::State::connectingVideo());
    EXPECT_EQ(rig.session->identity(), (DeviceIdentity{"udid-1", "Test iPad"}));
    auto profile = env.profiles.profile("udid-1");
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->name, "Test iPad");
    EXPECT_TRUE(log.contains("HELLO from Test iPad (iOS 17.1, 1024\u00D7768 pt); probe needed", "session"));
    EXPECT_TRUE(log.contains("CTRL connected via USB", "session"));

    // A second greeting changes nothing.
    rig.greet();
    EXPECT_EQ(rig.peer.count(MsgType::helloAck), 1u);
    EXPECT_TRUE(rig.ended.empty());
}

// The video stream is asked for only once the greeting's answers have been written: a tablet may
// take the video stream, and read its token, before it reads the control stream.
TEST_F(DeviceSessionTest, VideoIsConnectedOnlyOnceTheAnswersAreWritten) {
    auto ctrl = std::make_shared<ManualExecutor>("kv.s.ctrl");
    env.makeQueue = [&, all = env.makeQueue](const std::string& label) {
        return label == "kv.s.ctrl" ? ctrl : all(label);
    };
    {
        SessionRig rig(env);
        rig.peer.sendJSON(MsgType::hello, standardHello());
        env.run();
        ctrl->runUntilIdle();
        env.run();
        // Greeted; the answers wait on the control queue, which has not run.
        EXPECT_EQ(rig.session->state(), DeviceSession::State::connectingVideo());
        EXPECT_TRUE(rig.connector->ports.empty());
        ctrl->runUntilIdle();
        env.run();
        EXPECT_EQ(rig.peer.count(MsgType::helloAck), 1u);
        EXPECT_EQ(rig.connector->ports, std::vector<uint16_t>{DeviceSession::kVideoPort});
    }
    ctrl->runUntilIdle();
    env.run();
}

TEST_F(DeviceSessionTest, GreetingsThatEndTheSession) {
    struct Case {
        const char* name;
        std::optional<HelloMsg::Proto> proto;
        bool decodable;
        std::string reason;
        std::optional<ByeMsg> bye;
    };
    const std::vector<Case> cases{
        {"too new", HelloMsg::Proto{2, 3}, true, "protocol version mismatch",
         ByeMsg{"version", "protocol version mismatch"}},
        {"too old", HelloMsg::Proto{0, 0}, true, "protocol version mismatch",
         ByeMsg{"version", "protocol version mismatch"}},
        {"not JSON", std::nullopt, false, "bad HELLO", ByeMsg{"error", "bad HELLO"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig(env);
        if (c.decodable) {
            auto hello = standardHello();
            hello.proto = c.proto;
            rig.greet(hello);
        } else {
            rig.peer.send(MsgType::hello, {'{', 'x'});
            env.run();
        }
        EXPECT_EQ(rig.ended, std::vector<std::string>{c.reason});
        EXPECT_EQ(rig.session->state(), DeviceSession::State::closed(c.reason));
        EXPECT_EQ(rig.peer.last<ByeMsg>(MsgType::bye), c.bye);
        if (c.decodable) {
            auto ack = rig.peer.last<HelloAckMsg>(MsgType::helloAck);
            ASSERT_TRUE(ack);
            EXPECT_FALSE(ack->accept);
            EXPECT_EQ(ack->session, "0");
            EXPECT_EQ(ack->reason, "version");
            EXPECT_EQ(rig.peer.types().back(), MsgType::bye);
        }
        EXPECT_TRUE(*rig.peer.closed);
    }

    // A greeting without a version is taken.
    SessionRig rig(env);
    auto hello = standardHello();
    hello.proto.reset();
    rig.greet(hello);
    EXPECT_TRUE(rig.peer.last<HelloAckMsg>(MsgType::helloAck)->accept);
}

TEST_F(DeviceSessionTest, HelloTimeOut) {
    SessionRig rig(env);
    env.advance(DeviceSession::kHelloTimeoutUs - 1);
    EXPECT_TRUE(rig.ended.empty());
    env.advance(1);
    EXPECT_EQ(rig.ended, std::vector<std::string>{"HELLO timeout"});
    EXPECT_EQ(rig.peer.count(MsgType::bye), 0u);
    EXPECT_TRUE(*rig.peer.closed);

    // A greeting in time cancels it.
    SessionRig greeted(env);
    greeted.greet();
    env.advance(DeviceSession::kHelloTimeoutUs);
    EXPECT_TRUE(greeted.ended.empty());
}

TEST_F(DeviceSessionTest, HeartbeatCountsOnlyPongsOfPingsSent) {
    enum class Answer { echo, invented, future, none };
    struct Case {
        const char* name;
        Answer answer;
        bool alive;
    };
    for (const auto& c : std::vector<Case>{{"echoed", Answer::echo, true},
                                           {"invented t0", Answer::invented, false},
                                           {"t0 after receipt", Answer::future, false},
                                           {"silent", Answer::none, false}}) {
        SCOPED_TRACE(c.name);
        SessionRig rig(env);
        rig.greet();
        size_t answered = 0;
        uint64_t endedAfterUs = 0;
        for (int second = 1; second <= 10 && rig.ended.empty(); ++second) {
            env.advance(1'000'000);
            endedAfterUs = static_cast<uint64_t>(second) * 1'000'000;
            const auto pings = rig.peer.all(MsgType::ping);
            for (; answered < pings.size(); ++answered) {
                const auto ping = pings[answered].load<KVPing>();
                ASSERT_TRUE(ping);
                uint64_t t0 = ping->t0;
                if (c.answer == Answer::none) continue;
                if (c.answer == Answer::invented) t0 += 1;
                if (c.answer == Answer::future) t0 = env.main->nowUs() + 1'000'000;
                rig.peer.send(MsgType::pong, Wire::pod(KVPong{t0, t0 + 5, t0 + 6}));
            }
            env.run();
        }
        if (c.alive) {
            EXPECT_TRUE(rig.ended.empty());
        } else {
            // Pings at 1, 2 and 3 s (a gap of exactly 3 s still pings), lost at the fourth tick.
            EXPECT_EQ(rig.ended, std::vector<std::string>{"heartbeat lost"});
            EXPECT_EQ(endedAfterUs, 4'000'000u);
            EXPECT_EQ(rig.peer.count(MsgType::ping), 3u);
            EXPECT_EQ(rig.peer.count(MsgType::bye), 0u);
        }
    }
}

TEST_F(DeviceSessionTest, EndingsReportOnceAndSayByeWhenAsked) {
    {
        SessionRig rig(env);
        rig.greet();
        rig.onMain([](DeviceSession& s) {
            s.disconnect("user");
            s.end("again", true, "error");
            s.handOver("usb");
        });
        EXPECT_EQ(rig.ended, std::vector<std::string>{"disconnected by user"});
        EXPECT_EQ(rig.peer.count(MsgType::bye), 1u);
        EXPECT_EQ(rig.peer.last<ByeMsg>(MsgType::bye), (ByeMsg{"user", "disconnected by user"}));
        EXPECT_EQ(rig.states.back(), "closed(disconnected by user)");
        EXPECT_TRUE(*rig.peer.closed);
        // Messages after the end are ignored, and no timer is left.
        EXPECT_EQ(env.manual->armedTimers(), 0u);
    }
    {
        // Ending while still shaking hands sends the bye too.
        SessionRig rig(env);
        rig.onMain([](DeviceSession& s) { s.handOver("usb"); });
        EXPECT_EQ(rig.ended, std::vector<std::string>{"handing over: usb"});
        EXPECT_EQ(rig.peer.last<ByeMsg>(MsgType::bye), (ByeMsg{"usb", "handing over: usb"}));
    }
}

TEST_F(DeviceSessionTest, TabletEndings) {
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> act;
        std::string reason;
    };
    const std::vector<Case> cases{
        {"bye", [](ScriptedPeer& p) { p.sendJSON(MsgType::bye, ByeMsg{"backgrounded", std::nullopt}); },
         "iPad said bye: backgrounded"},
        {"bye without reason", [](ScriptedPeer& p) { p.send(MsgType::bye, {'{', '}'}); }, "iPad said bye: ?"},
        {"close", [](ScriptedPeer& p) { p.channel->close(); }, "ctrl closed: connection closed by peer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig(env);
        rig.greet();
        c.act(rig.peer);
        env.run();
        EXPECT_EQ(rig.ended, std::vector<std::string>{c.reason});
        EXPECT_EQ(rig.peer.count(MsgType::bye), 0u);
    }
}

TEST_F(DeviceSessionTest, OrientationAndPointSizesFromTheGreeting) {
    struct Case {
        std::optional<std::vector<double>> pt;
        OrientationSetting setting;
        std::optional<OrientationSetting> stored;
        std::string orientation;
        std::string logged;
    };
    const double huge = 1e300;
    const std::vector<Case> cases{
        {std::vector<double>{1024, 1366}, OrientationSetting::auto_, std::nullopt, "portrait", "1024\u00D71366"},
        {std::vector<double>{1366, 1024}, OrientationSetting::auto_, std::nullopt, "landscape", "1366\u00D71024"},
        {std::vector<double>{0, 1366}, OrientationSetting::auto_, std::nullopt, "landscape", "1024\u00D7768"},
        {std::vector<double>{1366}, OrientationSetting::auto_, std::nullopt, "landscape", "1024\u00D7768"},
        {std::nullopt, OrientationSetting::auto_, std::nullopt, "landscape", "1024\u00D7768"},
        // Sizes no screen has are not believed (nor converted).
        {std::vector<double>{huge, 2 * huge}, OrientationSetting::auto_, std::nullopt, "landscape", "1024\u00D7768"},
        {std::vector<double>{1366, 1024}, OrientationSetting::portrait, std::nullopt, "portrait", "1366\u00D71024"},
        {std::vector<double>{1024, 1366}, OrientationSetting::landscape, OrientationSetting::portrait, "portrait",
         "1024\u00D71366"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged + " " + c.orientation);
        FakeSessionEnvironment local;
        local.settings.update([&](Settings& s) { s.orientation = c.setting; });
        if (c.stored) {
            local.profiles.update("udid-1", "Test iPad", [&](DeviceProfile& p) { p.orientation = c.stored; });
        }
        LogCapture log;
        SessionRig rig(local);
        auto hello = standardHello();
        hello.screen->pt = c.pt;
        rig.greet(hello);
        EXPECT_EQ(rig.peer.last<ConfigMsg>(MsgType::config)->orientation, c.orientation);
        EXPECT_TRUE(log.contains("(iOS 17.1, " + c.logged + " pt)", "session"));
    }
}

TEST_F(DeviceSessionTest, StartModeFromSettingsAndStoredProfile) {
    struct Case {
        InputMode setting;
        std::optional<InputMode> stored;
        InputMode expected;
    };
    for (const auto& c : std::vector<Case>{{InputMode::tabletMapping, std::nullopt, InputMode::touch},
                                           {InputMode::draw, std::nullopt, InputMode::draw},
                                           {InputMode::touch, InputMode::draw, InputMode::draw},
                                           {InputMode::draw, InputMode::tabletMapping, InputMode::draw}}) {
        FakeSessionEnvironment local;
        local.settings.update([&](Settings& s) { s.startMode = c.setting; });
        if (c.stored) local.profiles.update("udid-1", "x", [&](DeviceProfile& p) { p.lastMode = c.stored; });
        SessionRig rig(local);
        rig.greet();
        EXPECT_EQ(rig.session->inputMode(), c.expected);
        EXPECT_EQ(rig.peer.last<UIStateMsg>(MsgType::uiState)->mode, std::string(rawValue(c.expected)));
    }
}

TEST_F(DeviceSessionTest, ControlMessagesOnTheMainQueue) {
    LogCapture log;
    SessionRig rig(env);
    rig.greet();
    rig.peer.send(uint8_t{0x7f}, {1, 2});
    rig.peer.send(MsgType::wakeRequest);
    rig.peer.send(MsgType::appState, {1});  // too short: dropped
    env.run();
    EXPECT_TRUE(log.contains("ignored CTRL message 0x7f", "session"));
    EXPECT_EQ(env.permissions->userActivity, 1);
    EXPECT_TRUE(rig.ended.empty());

    // Tablet log lines: level kept (unknown as info), text repaired and bounded.
    const std::string longLine(3 * kMaxRelayedLineBytes, 'x');
    rig.peer.send(MsgType::log, writeTabletLogLine(LogLevel::warn, "low \xff memory"));
    auto odd = writeTabletLogLine(LogLevel::debug, "odd level");
    odd[8] = 9;
    rig.peer.send(MsgType::log, odd);
    rig.peer.send(MsgType::log, writeTabletLogLine(LogLevel::error, longLine));
    rig.peer.send(MsgType::log, {1, 2, 3});
    env.run();
    std::vector<LogEntry> tablet;
    for (const auto& e : log.entries()) {
        if (e.origin == LogOrigin::ipad) tablet.push_back(e);
    }
    ASSERT_EQ(tablet.size(), 3u);
    EXPECT_EQ(tablet[0].level, LogLevel::warn);
    EXPECT_EQ(tablet[0].message, "low \uFFFD memory");
    EXPECT_EQ(tablet[0].tag, "ipad");
    EXPECT_EQ(tablet[1].level, LogLevel::info);
    EXPECT_LE(tablet[2].message.size(), kMaxRelayedLineBytes + 3);

    rig.onMain([](DeviceSession& s) { s.setIPadLogLevel("debug", false); });
    EXPECT_EQ(rig.peer.last<LogConfigMsg>(MsgType::logConfig), (LogConfigMsg{"debug", false}));
}

TEST_F(DeviceSessionTest, PairingOffersAndAnswers) {
    struct Case {
        const char* name;
        bool wireless;
        bool trusted;
        bool storedMatches;
        bool storedStale;
        size_t offers;
    };
    const std::vector<Case> cases{
        {"usb, wireless on, no record", true, true, false, false, 1},
        {"wireless off", false, true, false, false, 0},
        {"untrusted link", true, false, false, false, 0},
        {"tablet holds the current key", true, true, true, false, 0},
        {"tablet holds an older key", true, true, false, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSessionEnvironment local;
        local.settings.update([&](Settings& s) { s.wireless = c.wireless; });
        auto hello = standardHello();
        if (c.storedMatches || c.storedStale) {
            auto key = SecureTransport::newKey();
            local.pairing.save({"udid-1", "Test iPad", "svc", key, std::chrono::system_clock::now()});
            hello.pairing = HelloMsg::Pairing{local.pairing.hostID(),
                                              SecureTransport::fingerprint(c.storedStale ? SecureTransport::newKey() : key)};
        }
        SessionRig rig(local, testOptions(), std::make_shared<ScriptedConnector>("udid-1", "USB", c.trusted));
        rig.greet(hello);
        EXPECT_EQ(rig.peer.count(MsgType::pair), c.offers);
        rig.onMain([](DeviceSession& s) { s.pairIfNeeded(); });  // never a second offer
        EXPECT_EQ(rig.peer.count(MsgType::pair), c.offers);
        if (!c.offers) continue;
        auto offer = rig.peer.last<PairMsg>(MsgType::pair);
        ASSERT_TRUE(offer && offer->psk);
        EXPECT_EQ(offer->psk->size(), 44u);
        EXPECT_EQ(offer->host, local.pairing.hostID());
        EXPECT_EQ(offer->name, "Test Host");
    }

    // Answers: stored only for ok with a service; a refusal or a bad answer is logged.
    struct Answer {
        std::vector<uint8_t> body;
        std::optional<std::string> service;
        std::string logged;
    };
    const std::vector<Answer> answers{
        {Wire::json(PairAckMsg{true, "tablet-svc", std::nullopt}), "tablet-svc", "paired Test iPad as tablet-svc"},
        {Wire::json(PairAckMsg{true, "", std::nullopt}), std::nullopt, "iPad refused pairing: bad PAIR_ACK"},
        {Wire::json(PairAckMsg{false, std::nullopt, "busy"}), std::nullopt, "iPad refused pairing: busy"},
        {{'[', ']'}, std::nullopt, "iPad refused pairing: bad PAIR_ACK"},
    };
    for (const auto& a : answers) {
        SCOPED_TRACE(a.logged);
        FakeSessionEnvironment local;
        LogCapture log;
        SessionRig rig(local);
        std::vector<PairingRecord> paired;
        rig.session->onPaired = [&](const PairingRecord& r) { paired.push_back(r); };
        rig.greet();
        const auto psk = base64Decode(*rig.peer.last<PairMsg>(MsgType::pair)->psk);
        rig.peer.send(MsgType::pairAck, a.body);
        rig.peer.send(MsgType::pairAck, a.body);  // no offer outstanding: ignored
        local.run();
        EXPECT_TRUE(log.contains(a.logged, "pairing"));
        EXPECT_EQ(log.count("iPad refused", "pairing"), a.service ? 0u : 1u);
        const auto record = local.pairing.record("udid-1");
        ASSERT_EQ(record.has_value(), a.service.has_value());
        if (!record) continue;
        EXPECT_EQ(record->service, *a.service);
        EXPECT_EQ(record->name, "Test iPad");
        EXPECT_EQ(std::optional(record->key), psk);
        EXPECT_EQ(paired, std::vector<PairingRecord>{*record});
    }

    // Withdrawal: a pair without a key, only over a trusted link.
    SessionRig rig(env);
    rig.greet();
    rig.onMain([](DeviceSession& s) { s.unpair(); });
    auto withdrawal = rig.peer.last<PairMsg>(MsgType::pair);
    ASSERT_TRUE(withdrawal);
    EXPECT_FALSE(withdrawal->psk);
}

TEST_F(DeviceSessionTest, SettingsChangesReachTheTablet) {
    SessionRig rig(env);
    rig.greet();
    env.brightness->value = 0.5;
    env.onMain([&] { env.power->stop(); });
    env.onMain([&] { env.power->start(); });
    const size_t before = rig.peer.received->size();

    env.onMain([&] { env.settings.update([](Settings& s) { s.invertScroll = !s.invertScroll; }); });
    EXPECT_EQ(rig.peer.received->size(), before);

    env.onMain([&] {
        env.settings.update([](Settings& s) {
            s.followBrightness = true;
            s.brightnessOffset = 0.234;
        });
    });
    EXPECT_EQ(rig.peer.last<HostStateMsg>(MsgType::hostState)->brightness, 0.73);

    env.onMain([&] { env.settings.update([](Settings& s) { s.orientation = OrientationSetting::portrait; }); });
    EXPECT_EQ(rig.peer.last<ConfigMsg>(MsgType::config)->orientation, "landscape");
    env.onMain([&] { env.settings.update([](Settings& s) { s.sidebarEdge = SidebarEdge::right; }); });
    EXPECT_EQ(rig.peer.last<UILayoutMsg>(MsgType::uiLayout)->sidebar.edge, "right");

    // Once closed, changes reach nothing.
    rig.onMain([](DeviceSession& s) { s.end("done", false, "error"); });
    const size_t after = rig.peer.received->size();
    env.onMain([&] { env.settings.update([](Settings& s) { s.sidebarEdge = SidebarEdge::left; }); });
    EXPECT_EQ(rig.peer.received->size(), after);
}

TEST_F(DeviceSessionTest, InputSinkFollowsOptionsAndPermission) {
    struct Case {
        const char* name;
        bool inject;
        bool accessibility;
        int sinksMade;
        bool toast;
    };
    for (const auto& c : std::vector<Case>{{"injecting", true, true, 1, false},
                                           {"no permission", true, false, 0, true},
                                           {"injection off", false, false, 0, false}}) {
        SCOPED_TRACE(c.name);
        FakeSessionEnvironment local;
        local.permissions->accessibilityAllowed = c.accessibility;
        LogCapture log;
        auto options = testOptions();
        options.inject = c.inject;
        SessionRig rig(local, options);
        rig.greet();
        EXPECT_EQ(local.eventSinksMade, c.sinksMade);
        EXPECT_EQ(log.contains("no permission to post input: touch input is logged only", "input"), c.toast);
        const auto types = rig.peer.types();
        ASSERT_FALSE(types.empty());
        if (c.toast) {
            // The toast goes out before the helloAck.
            EXPECT_EQ(types.front(), MsgType::toast);
            EXPECT_EQ(types[1], MsgType::helloAck);
            auto toast = rig.peer.last<ToastMsg>(MsgType::toast);
            EXPECT_EQ(toast, (ToastMsg{"\u7535\u8111\u7F3A\u5C11\u8F85\u52A9\u529F\u80FD\u6743\u9650\uFF0C\u89E6\u63A7\u6682\u4E0D\u53EF\u7528", 4000}));
        } else {
            EXPECT_EQ(rig.peer.count(MsgType::toast), 0u);
        }
    }
}

TEST_F(DeviceSessionTest, TouchesBeforeTheDisplayInjectNothing) {
    SessionRig rig(env);
    rig.greet();
    const KVTouchPoint began = KVTouchPoint::make(1, 0, 1, 0.5, 0.5, 8, 2);
    const KVTouchPoint ended = KVTouchPoint::make(1, 3, 1, 0.5, 0.5, 8, 2);
    rig.peer.send(MsgType::touchFrame, writeTouchFrame(1000, std::span(&began, 1)));
    rig.peer.send(MsgType::touchFrame, writeTouchFrame(50'000, std::span(&ended, 1)));
    env.run();
    env.advance(1'000'000);
    EXPECT_TRUE(env.sink->entries.empty());
    // Keys need no display.
    rig.peer.send(MsgType::keyEvent, Wire::pod(KVKeyEvent{2, 1}));
    rig.peer.send(MsgType::keyEvent, Wire::pod(KVKeyEvent{2, 0}));
    env.run();
    EXPECT_EQ(env.sink->entries.size(), 2u);
}

TEST_F(DeviceSessionTest, LockAndDisplaySleepAreToldToTheTablet) {
    env.sessionPower->setLocked(true);  // locked before the session: its sink starts locked
    SessionRig rig(env);
    rig.greet();
    EXPECT_TRUE(env.sink->locked);
    EXPECT_EQ(rig.peer.last<HostStateMsg>(MsgType::hostState), (HostStateMsg{"on", true, std::nullopt}));

    env.power->onEvent = [&](PowerObserver::Event e) { rig.session->hostPowerEvent(e); };
    env.onMain([&] { env.sessionPower->setLocked(false); });
    EXPECT_FALSE(env.sink->locked);
    EXPECT_EQ(rig.peer.last<HostStateMsg>(MsgType::hostState), (HostStateMsg{"on", false, std::nullopt}));
    env.onMain([&] { env.displaySleep->set(true); });
    EXPECT_EQ(rig.peer.last<HostStateMsg>(MsgType::hostState), (HostStateMsg{"asleep", false, std::nullopt}));
    env.onMain([&] { env.sessionPower->setLocked(true); });
    EXPECT_TRUE(env.sink->locked);
    EXPECT_EQ(rig.peer.count(MsgType::hostState), 4u);
    // Not streaming yet: the pause rule leaves the state alone.
    EXPECT_EQ(rig.session->state(), DeviceSession::State::connectingVideo());
    env.onMain([&] { env.sessionPower->wake(); });
    EXPECT_TRUE(rig.ended.empty());
    env.power->onEvent = nullptr;
}

TEST_F(DeviceSessionTest, SystemSleepWaitsForTheBye) {
    SessionRig rig(env);
    rig.greet();
    env.power->onEvent = [&](PowerObserver::Event e) { rig.session->hostPowerEvent(e); };
    env.onMain([&] {
        env.sessionPower->sleep();
        EXPECT_EQ(rig.ended, std::vector<std::string>{"system sleep"});
        EXPECT_EQ(env.sessionPower->allowSleepCalls, 0);  // the bye has not left yet
    });
    EXPECT_EQ(rig.peer.last<ByeMsg>(MsgType::bye), (ByeMsg{"shutdown", "system sleep"}));
    EXPECT_EQ(env.sessionPower->allowSleepCalls, 1);
    env.power->onEvent = nullptr;
}

TEST_F(DeviceSessionTest, ByeFlushIsBounded) {
    // A tablet that reads nothing: the queued frames cannot leave, the channel closes after the
    // flush time and the sleep goes on.
    FakeSessionEnvironment local;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd tablet(fds[1]);
    auto hello = Wire::json(standardHello());
    auto frame = Wire::header(static_cast<uint8_t>(MsgType::hello), static_cast<uint32_t>(hello.size()), 1);
    ASSERT_EQ(::send(tablet.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    ASSERT_EQ(::send(tablet.get(), hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
    auto session = DeviceSession::create(std::make_shared<ScriptedConnector>("udid-1", "USB", true), UniqueFd(fds[0]),
                                         testOptions(), local.stores(), local.environment());
    std::vector<std::string> ended;
    session->onEnded = [&](DeviceSession&, const std::string& r) { ended.push_back(r); };
    local.onMain([&] { session->start(); });
    local.onMain([&] {
        for (int i = 0; i < 8; ++i) session->setIPadLogLevel(std::string(1 << 20, 'x'), false);
    });
    local.power->onEvent = [&](PowerObserver::Event e) { session->hostPowerEvent(e); };
    local.onMain([&] { local.sessionPower->sleep(); });
    EXPECT_EQ(ended, std::vector<std::string>{"system sleep"});
    EXPECT_EQ(local.sessionPower->allowSleepCalls, 0);
    local.advance(249'000);
    EXPECT_EQ(local.sessionPower->allowSleepCalls, 0);
    local.advance(2'000);
    EXPECT_EQ(local.sessionPower->allowSleepCalls, 1);
    local.power->onEvent = nullptr;
}

}  // namespace
}  // namespace kelvo
