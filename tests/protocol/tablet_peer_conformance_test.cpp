// Plays the tablet's side of every message through the same encoders and decoders the host
// uses, over framed byte streams delivered in uneven pieces.
#include <gtest/gtest.h>

#include <random>

#include "core/protocol/control_messages.hpp"
#include "core/protocol/frame_parser.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/protocol/records.hpp"
#include "core/util/base64.hpp"

namespace kelvo {
namespace {

// One direction of one stream: the sender numbers frames from 1, the receiver parses what
// arrives in random-sized reads.
class Direction {
public:
    void send(MsgType type, std::span<const uint8_t> payload) {
        auto frame = Wire::frame(rawValue(type), seq_++, payload);
        ASSERT_TRUE(frame);
        const std::vector<uint8_t>& bytes = frame.value();
        size_t at = 0;
        while (at < bytes.size()) {
            const size_t n = std::min<size_t>(bytes.size() - at, rng_() % 23 + 1);
            rx_.append(std::span<const uint8_t>(bytes.data() + at, n));
            at += n;
        }
    }
    template <class T>
    void sendJson(MsgType type, const T& message) {
        send(type, Wire::json(message));
    }

    WireMessage receive(MsgType expected) {
        auto result = rx_.next();
        EXPECT_TRUE(result && result.value());
        if (!result || !result.value()) return {};
        WireMessage& message = *result.value();
        EXPECT_EQ(message.type(), expected);
        EXPECT_EQ(message.seq, ++received_);
        return std::move(message);
    }
    template <class T>
    T receiveJson(MsgType type) {
        auto body = Wire::decodeJSON<T>(receive(type).payload);
        EXPECT_TRUE(body) << msgTypeName(type);
        return body.value_or(T{});
    }
    template <PackedRecord T>
    T receiveRecord(MsgType type) {
        auto record = receive(type).load<T>();
        EXPECT_TRUE(record) << msgTypeName(type);
        return record.value_or(T{});
    }
    bool idle() {
        auto next = rx_.next();
        return next && !next.value() && rx_.bufferedBytes() == 0;
    }

private:
    uint32_t seq_ = 1;
    uint32_t received_ = 0;
    FrameParser rx_;
    std::mt19937 rng_{7};
};

HelloMsg tabletGreeting(std::optional<HelloMsg::Pairing> pairing) {
    HelloMsg hello;
    hello.proto = HelloMsg::Proto{1, 1};
    hello.app = HelloMsg::App{"0.1.0", 42};
    hello.device = HelloMsg::Device{"iPad4,1", "Test iPad", "17.2", "FAKE"};
    hello.screen = HelloMsg::Screen{std::vector<int64_t>{2732, 2048}, std::vector<double>{1366, 1024}, 2.0,
                                    std::vector<double>{262.9, 197.1}, 60, "landscapeLeft"};
    hello.touch = HelloMsg::Touch{11, true, false, false};
    hello.decode = HelloMsg::Decode{true, std::vector<std::string>{"vt"},
                                    std::vector<HelloMsg::ProbeCacheEntry>{{2048, 1536, std::nullopt, true, 15000, {}}}};
    hello.power = HelloMsg::Power{0.8, true, "nominal"};
    hello.pairing = std::move(pairing);
    return hello;
}

// The tablet's answer to a pairing offer.
PairAckMsg answerPair(const WireMessage& message, bool trustedLink) {
    if (!trustedLink) return {false, std::nullopt, "not usb"};
    const auto pair = Wire::decodeJSON<PairMsg>(message.payload);
    if (!pair) return {false, std::nullopt, "bad PAIR"};
    const auto key = pair->psk ? base64Decode(*pair->psk) : std::nullopt;
    if (key && key->size() == 32) return {true, "fake-47100", std::nullopt};
    return {true, std::nullopt, std::nullopt};  // no usable key: the pairing is cleared
}

TEST(TabletPeer, ControlStreamSessionInOrder) {
    Direction toHost, toTablet;

    // The tablet greets first.
    const auto greeting = tabletGreeting(HelloMsg::Pairing{"host-1", "0123456789abcdef"});
    toHost.sendJson(MsgType::hello, greeting);
    const auto hello = toHost.receiveJson<HelloMsg>(MsgType::hello);
    EXPECT_EQ(hello, greeting);
    EXPECT_TRUE(hello.supportsProtocolV1());
    EXPECT_EQ(hello.screenPoints(), (SizeD{1366, 1024}));
    EXPECT_EQ(hello.screenMillimeters(), (SizeD{262.9, 197.1}));

    // The host answers and configures; the tablet decodes each message.
    const uint64_t token = 0x00C0FFEE12345678;
    toTablet.sendJson(MsgType::helloAck,
                      HelloAckMsg{1, true, HelloAckMsg::hex(token), {"Mac", "0.1.0"}, true, std::nullopt});
    const auto config = ConfigMsg::from(Settings{}, Orientation::landscape);
    toTablet.sendJson(MsgType::config, config);
    toTablet.sendJson(MsgType::uiLayout, UILayoutMsg::from(Settings{}));
    toTablet.sendJson(MsgType::uiState, UIStateMsg::make(InputMode::touch, {}, false));
    toTablet.sendJson(MsgType::hostState, HostStateMsg{"on", false, HostStateMsg::followedBrightness(true, 0.5, 0)});
    toTablet.sendJson(MsgType::toast, ToastMsg{"电脑缺少辅助功能权限，触控暂不可用", 4000});
    toTablet.sendJson(MsgType::logConfig, LogConfigMsg{"debug", true});
    const std::vector<uint8_t> png{0x89, 'P', 'N', 'G'};
    auto shape = Wire::pod(KVCursorShapeHeader{3, 0, 0, 400, 600, static_cast<uint32_t>(png.size())});
    shape.insert(shape.end(), png.begin(), png.end());
    toTablet.send(MsgType::cursorShape, shape);
    toTablet.send(MsgType::cursorState, Wire::pod(KVCursorState{3, Wire::norm(0.5), Wire::norm(0.25), 1}));
    toTablet.send(MsgType::ping, Wire::pod(KVPing{1000}));

    const auto ack = toTablet.receiveJson<HelloAckMsg>(MsgType::helloAck);
    EXPECT_TRUE(ack.accept);
    EXPECT_EQ(HelloAckMsg::token(ack.session), token);
    EXPECT_EQ(toTablet.receiveJson<ConfigMsg>(MsgType::config), config);
    EXPECT_EQ(toTablet.receiveJson<UILayoutMsg>(MsgType::uiLayout).sidebar.items.size(), 13u);
    EXPECT_EQ(toTablet.receiveJson<UIStateMsg>(MsgType::uiState).items.at("31"), "disabled");
    EXPECT_EQ(toTablet.receiveJson<HostStateMsg>(MsgType::hostState).brightness, 0.5);
    EXPECT_EQ(toTablet.receiveJson<ToastMsg>(MsgType::toast).ms, 4000);
    EXPECT_EQ(toTablet.receiveJson<LogConfigMsg>(MsgType::logConfig).dumpRing, true);
    const auto shapeMsg = toTablet.receive(MsgType::cursorShape);
    const auto shapeHeader = shapeMsg.load<KVCursorShapeHeader>();
    ASSERT_TRUE(shapeHeader);
    EXPECT_EQ(shapeMsg.payload.size(), KVCursorShapeHeader::kSize + shapeHeader->pngLength);
    EXPECT_EQ(toTablet.receiveRecord<KVCursorState>(MsgType::cursorState).x, 32768);
    const auto ping = toTablet.receiveRecord<KVPing>(MsgType::ping);

    // The tablet answers the ping and then sends what it may send at any time.
    toHost.send(MsgType::pong, Wire::pod(KVPong{ping.t0, 5000, 5100}));
    toHost.sendJson(MsgType::deviceStatus, DeviceStatusMsg{0.7, false, "fair", std::nullopt, std::nullopt});
    toHost.send(MsgType::appState, Wire::pod(KVAppState{1}));
    toHost.send(MsgType::wakeRequest, {});
    toHost.send(MsgType::log, writeTabletLogLine(LogLevel::warn, "decoder reset"));
    const std::vector<KVTouchPoint> touches{KVTouchPoint::make(1, 0, 1, 0.25, 0.75, 10, 2)};
    toHost.send(MsgType::touchFrame, writeTouchFrame(6000, touches));
    toHost.send(MsgType::uiEvent, Wire::pod(KVUIEvent{6100, 10, 0}));
    const std::string typed = "héllo";
    toHost.send(MsgType::textInput, std::span(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
    toHost.send(MsgType::keyEvent, Wire::pod(KVKeyEvent{2, 1}));
    toHost.sendJson(MsgType::keyboardState, KeyboardStateMsg{true, 0.35});

    EXPECT_EQ(toHost.receiveRecord<KVPong>(MsgType::pong), (KVPong{1000, 5000, 5100}));
    EXPECT_EQ(toHost.receiveJson<DeviceStatusMsg>(MsgType::deviceStatus).thermal, "fair");
    EXPECT_EQ(toHost.receiveRecord<KVAppState>(MsgType::appState).state, 1);
    EXPECT_TRUE(toHost.receive(MsgType::wakeRequest).payload.empty());
    const auto line = readTabletLogLine(toHost.receive(MsgType::log).payload);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, LogLevel::warn);
    EXPECT_EQ(line->text, "decoder reset");
    const auto frame = readTouchFrame(toHost.receive(MsgType::touchFrame).payload);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->points.size(), 1u);
    EXPECT_NEAR(frame->points[0].yFraction(), 0.75, 1e-4);
    EXPECT_EQ(frame->points[0].radiusPoints(), 10.0);
    EXPECT_EQ(toHost.receiveRecord<KVUIEvent>(MsgType::uiEvent).item, 10);
    const auto text = toHost.receive(MsgType::textInput).payload;
    EXPECT_EQ(std::string(text.begin(), text.end()), typed);
    EXPECT_EQ(toHost.receiveRecord<KVKeyEvent>(MsgType::keyEvent), (KVKeyEvent{2, 1}));
    EXPECT_EQ(toHost.receiveJson<KeyboardStateMsg>(MsgType::keyboardState).visible, true);

    // Either side may end the session.
    toHost.sendJson(MsgType::bye, ByeMsg{"user", std::nullopt});
    EXPECT_EQ(toHost.receiveJson<ByeMsg>(MsgType::bye).reason, "user");
    EXPECT_TRUE(toHost.idle());
    EXPECT_TRUE(toTablet.idle());
}

TEST(TabletPeer, PairingAnswers) {
    const std::vector<uint8_t> key(32, 0x5A);
    struct Case {
        std::vector<uint8_t> body;
        bool trusted;
        PairAckMsg expected;
    };
    const std::vector<Case> cases{
        {Wire::json(PairMsg("host-1", "Mac", key)), true, {true, "fake-47100", std::nullopt}},
        {Wire::json(PairMsg("host-1", "Mac", key)), false, {false, std::nullopt, "not usb"}},
        {Wire::json(PairMsg("host-1", "Mac", std::nullopt)), true, {true, std::nullopt, std::nullopt}},
        {Wire::json(PairMsg("host-1", "Mac", std::span(key).first(16))), true, {true, std::nullopt, std::nullopt}},
        {std::vector<uint8_t>{'{', '}'}, true, {false, std::nullopt, "bad PAIR"}},
    };
    for (const auto& c : cases) {
        Direction toTablet, toHost;
        toTablet.send(MsgType::pair, c.body);
        toHost.sendJson(MsgType::pairAck, answerPair(toTablet.receive(MsgType::pair), c.trusted));
        const auto answer = toHost.receiveJson<PairAckMsg>(MsgType::pairAck);
        EXPECT_EQ(answer, c.expected);
        // The host stores a pairing only for ok with a non-empty service.
        const bool stores = answer.ok && answer.service && !answer.service->empty();
        EXPECT_EQ(stores, c.expected.service.has_value());
    }
}

TEST(TabletPeer, VideoStreamFramesAndProbes) {
    Direction toTablet, toHost;
    const uint64_t token = 0x1122334455667788;
    const std::vector<uint8_t> sps{0x67, 0x42, 0xC0, 0x28}, pps{0x68, 0xCE, 0x3C, 0x80}, au(100, 0x65);

    toTablet.send(MsgType::videoHello, Wire::pod(KVVideoHello{token}));
    toTablet.send(MsgType::streamFormat, *writeStreamFormat({1, 2048, 1536, 0, 0}, sps, pps));
    auto frame = Wire::pod(KVVideoFrameHeader{1, 1, 123456, KVVideoFrameHeader::kKeyFrame});
    frame.insert(frame.end(), au.begin(), au.end());
    toTablet.send(MsgType::videoFrame, frame);
    toTablet.send(MsgType::streamStop, Wire::pod(KVStreamStop{1, 2}));
    toTablet.send(MsgType::probeBegin, *writeProbeBegin({9, 640, 480, 2, 0, 0, 42}, sps, pps));
    for (uint16_t i = 0; i < 2; ++i) {
        auto probe = Wire::pod(KVProbeFrame{9, i});
        probe.insert(probe.end(), au.begin(), au.end());
        toTablet.send(MsgType::probeFrame, probe);
    }

    // The tablet's side: the token ties the stream to the session, every frame is acknowledged.
    EXPECT_EQ(toTablet.receiveRecord<KVVideoHello>(MsgType::videoHello).token, token);
    const auto formatMsg = toTablet.receive(MsgType::streamFormat);
    const auto format = formatMsg.load<KVStreamFormat>();
    ASSERT_TRUE(format);
    const auto sets = readParameterSets(formatMsg.payload, KVStreamFormat::kSize, format->spsLength, format->ppsLength);
    ASSERT_TRUE(sets);
    EXPECT_EQ(sets->sps, sps);
    EXPECT_EQ(sets->pps, pps);
    const auto frameMsg = toTablet.receive(MsgType::videoFrame);
    const auto header = frameMsg.load<KVVideoFrameHeader>();
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->isKeyFrame());
    EXPECT_EQ(frameMsg.payload.size() - KVVideoFrameHeader::kSize, au.size());
    toHost.send(MsgType::frameAck, Wire::pod(KVFrameAck{header->streamId, header->frameId, 200, 300, KVFrameAck::kDecoded}));
    toHost.send(MsgType::keyframeRequest, Wire::pod(KVKeyframeRequest{1, header->frameId, 1}));
    EXPECT_EQ(toTablet.receiveRecord<KVStreamStop>(MsgType::streamStop), (KVStreamStop{1, 2}));

    const auto begin = toTablet.receiveRecord<KVProbeBegin>(MsgType::probeBegin);
    EXPECT_EQ(begin.level, 42);
    uint16_t decoded = 0;
    for (uint16_t i = 0; i < begin.frameCount; ++i) {
        const auto probe = toTablet.receiveRecord<KVProbeFrame>(MsgType::probeFrame);
        EXPECT_EQ(probe.probeId, begin.probeId);
        EXPECT_EQ(probe.frameIndex, i);
        ++decoded;
    }
    toHost.send(MsgType::probeResult,
                Wire::pod(KVProbeResult{begin.probeId, 0, decoded, begin.width, begin.height, 0, 9000, 12000}));

    // The host's side reads the answers.
    EXPECT_EQ(toHost.receiveRecord<KVFrameAck>(MsgType::frameAck), (KVFrameAck{1, 1, 200, 300, 0}));
    EXPECT_EQ(toHost.receiveRecord<KVKeyframeRequest>(MsgType::keyframeRequest).lastGoodFrameId, 1u);
    const auto result = toHost.receiveRecord<KVProbeResult>(MsgType::probeResult);
    EXPECT_EQ(result.probeId, 9u);
    EXPECT_EQ(result.decoded, 2);
    EXPECT_TRUE(toHost.idle());
    EXPECT_TRUE(toTablet.idle());
}

}  // namespace
}  // namespace kelvo
