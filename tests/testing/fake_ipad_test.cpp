// The simulated tablet driven by a bare host over loopback: real channels on a manual queue, so
// statistics ticks and swipe steps run in virtual time.
#include "testing/fake_ipad.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <thread>

#include "core/protocol/records.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/fake_service_browser.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/tcp.hpp"
#include "core/transport/wireless_connector.hpp"
#include "core/util/base64.hpp"
#include "core/util/clock.hpp"
#include "core/util/ipad_stats.hpp"
#include "core/video/h264_encoder.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// One end of a host stream: everything received, in order.
struct HostEnd {
    std::shared_ptr<Channel> channel;
    std::shared_ptr<std::vector<WireMessage>> received = std::make_shared<std::vector<WireMessage>>();
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);

    static HostEnd open(UniqueFd fd, std::shared_ptr<Executor> queue) {
        HostEnd end;
        end.channel = Channel::create(std::move(fd), "host", std::move(queue), SocketOptions::ctrl);
        end.channel->onMessage = [r = end.received](WireMessage m) { r->push_back(std::move(m)); };
        end.channel->onClose = [c = end.closed](std::optional<ChannelError>) { *c = true; };
        end.channel->start();
        return end;
    }
    std::vector<WireMessage> take(MsgType type) {
        std::vector<WireMessage> out;
        std::erase_if(*received, [&](WireMessage& m) {
            if (m.type() != type) return false;
            out.push_back(std::move(m));
            return true;
        });
        return out;
    }
    template <class T>
    T json(MsgType type) {
        auto all = take(type);
        EXPECT_EQ(all.size(), 1u) << msgTypeName(type);
        if (all.empty()) return T{};
        return Wire::decodeJSON<T>(all.back().payload).value_or(T{});
    }
};

class FakeIPadTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>("kv.fake");
    std::shared_ptr<FakeIPad> fake;
    std::vector<std::string> logLines;

    void SetUp() override { start({}); }
    void start(FakeIPad::Options options) {
        fake.reset();
        auto made = FakeIPad::make(std::move(options), 0, 0, queue);
        ASSERT_TRUE(made.ok()) << made.error().description();
        fake = made.value();
        fake->onLog = [this](const std::string& line) { logLines.push_back(line); };
    }
    HostEnd connect(uint16_t port) {
        std::optional<ConnectResult> fd;
        TCP::connect("127.0.0.1", port, 2'000'000, queue, [&](ConnectResult r) { fd.emplace(std::move(r)); });
        run();
        EXPECT_TRUE(fd && fd->ok());
        auto end = HostEnd::open(std::move(*fd).value(), queue);
        run();
        return end;
    }
    void run() { queue->runUntilIdle(); }
    void advance(uint64_t us) { queue->advance(us); }
};

// Two frames of 64 × 64: a key frame with its parameter sets, then a P frame.
std::vector<EncodedFrame> encodeTwo() {
    H264Encoder encoder(EncoderConfig{64, 64, 30, 500'000, H264Profile::constrainedHigh, std::nullopt});
    EXPECT_FALSE(encoder.start());
    std::vector<EncodedFrame> out;
    for (int i = 0; i < 2; ++i) {
        auto buffer = PixelBuffer::make(PixelFormat::nv12, 64, 64);
        for (int p = 0; p < 2; ++p)
            std::fill(buffer->plane(p), buffer->plane(p) + size_t(buffer->stride(p)) * buffer->planeHeight(p), uint8_t(90 + 20 * i));
        std::promise<EncodeResult> done;
        encoder.encode(buffer, uint64_t(i) * 33'000, i == 0, [&](EncodeResult r) { done.set_value(std::move(r)); });
        auto r = done.get_future().get();
        EXPECT_TRUE(r.ok() && r.value());
        if (r.ok() && r.value()) out.push_back(*r.value());
    }
    encoder.invalidate();
    return out;
}

std::vector<uint8_t> join(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<uint8_t> videoFrame(uint32_t streamId, uint32_t frameId, bool key, const std::vector<uint8_t>& au = {}) {
    return join(Wire::pod(KVVideoFrameHeader{streamId, frameId, 0, key ? KVVideoFrameHeader::kKeyFrame : uint8_t(0)}),
                au);
}

std::vector<uint8_t> streamFormat(uint32_t id, uint16_t w, uint16_t h, const EncodedFrame& key) {
    return *writeStreamFormat({id, w, h, 0, 0}, *key.sps, *key.pps);
}

TEST_F(FakeIPadTest, GreetsAnswersPingsAndKeepsWhatTheHostSends) {
    auto host = connect(fake->ctrlPort());
    const auto hello = host.json<HelloMsg>(MsgType::hello);
    EXPECT_EQ(hello.proto, (HelloMsg::Proto{1, 1}));
    EXPECT_EQ(hello.device, (HelloMsg::Device{"iPad4,1", "Fake iPad", "12.5.7", "FAKE"}));
    EXPECT_EQ(hello.screen->nativePx, (std::vector<int64_t>{2048, 1536}));
    EXPECT_EQ(hello.screen->pt, (std::vector<double>{1024, 768}));
    EXPECT_EQ(hello.screen->mm, (std::vector<double>{197, 148}));
    EXPECT_EQ(hello.decode->probeCache, std::nullopt);
    EXPECT_EQ(hello.pairing, std::nullopt);
    EXPECT_EQ(fake->snapshot().sessions, 1);

    const uint64_t before = Clock::nowUs();
    host.channel->send(MsgType::ping, Wire::pod(KVPing{12345}));
    host.channel->send(MsgType::ping, std::vector<uint8_t>{1, 2});  // too short: no answer
    const auto config = ConfigMsg::from(Settings{}, Orientation::landscape);
    host.channel->sendJSON(MsgType::config, config);
    host.channel->sendJSON(MsgType::uiLayout, UILayoutMsg::from(Settings{}));
    host.channel->sendJSON(MsgType::uiState, UIStateMsg::make(InputMode::draw, {}, true));
    host.channel->sendJSON(MsgType::hostState, HostStateMsg{"on", true, std::nullopt});
    host.channel->sendJSON(MsgType::toast, ToastMsg{"已暂停", 1200});
    host.channel->send(MsgType::toast, std::vector<uint8_t>{'{', '}'});
    host.channel->send(MsgType::cursorShape, std::vector<uint8_t>{});
    host.channel->send(MsgType::cursorState, std::vector<uint8_t>{});
    host.channel->sendJSON(MsgType::bye, ByeMsg{"user", "disconnected by user"});
    run();
    const auto pongs = host.take(MsgType::pong);
    ASSERT_EQ(pongs.size(), 1u);
    const auto pong = pongs[0].load<KVPong>();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->t0, 12345u);
    EXPECT_GE(pong->t1, before);  // the host's clock: no offset is set
    EXPECT_GE(pong->t2, pong->t1);
    EXPECT_LE(pong->t2, Clock::nowUs());

    auto seen = fake->snapshot();
    EXPECT_EQ(seen.lastConfig, config);
    EXPECT_EQ(seen.lastLayout, UILayoutMsg::from(Settings{}));
    EXPECT_EQ(seen.lastUIState->mode, "draw");
    EXPECT_EQ(seen.lastHostState, (HostStateMsg{"on", true, std::nullopt}));
    EXPECT_EQ(seen.toasts, std::vector<std::string>{"已暂停"});
    EXPECT_EQ(seen.cursorShapes, 1);
    EXPECT_EQ(seen.cursorStates, 1);
    EXPECT_EQ(seen.lastBye, "user");
    EXPECT_FALSE(*host.closed);  // a bye leaves the channel open

    host.channel->send(MsgType::bye, std::vector<uint8_t>{'x'});
    host.channel->send(MsgType::config, std::vector<uint8_t>{'{', '}'});
    run();
    seen = fake->snapshot();
    EXPECT_EQ(seen.lastBye, std::nullopt);
    EXPECT_EQ(seen.lastConfig, std::nullopt);
    EXPECT_EQ(logLines.back(), "BYE ?");
}

TEST_F(FakeIPadTest, AnswersPairingOffersByKeyLength) {
    auto host = connect(fake->ctrlPort());
    struct Case {
        std::optional<size_t> keyLength;  // absent: no key; 0: not a pairing message
        PairAckMsg expected;
        bool paired;
    };
    const std::string service = "fake-" + std::to_string(fake->ctrlPort());
    const std::vector<Case> cases{
        {32, {true, service, std::nullopt}, true},
        {31, {true, std::nullopt, std::nullopt}, false},
        {32, {true, service, std::nullopt}, true},
        {33, {true, std::nullopt, std::nullopt}, false},
        {std::nullopt, {true, std::nullopt, std::nullopt}, false},
        {0, {false, std::nullopt, "bad PAIR"}, false},
    };
    std::vector<PairAckMsg> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyLength ? int(*c.keyLength) : -1);
        if (c.keyLength == size_t{0}) {
            host.channel->send(MsgType::pair, std::vector<uint8_t>{'[', ']'});
        } else {
            const std::vector<uint8_t> key(c.keyLength.value_or(0), 0x42);
            host.channel->sendJSON(MsgType::pair, c.keyLength ? PairMsg("host-1", "Mac", key)
                                                              : PairMsg("host-1", "Mac", std::nullopt));
        }
        run();
        EXPECT_EQ(host.json<PairAckMsg>(MsgType::pairAck), c.expected);
        expected.push_back(c.expected);
        const auto seen = fake->snapshot();
        if (c.expected.reason) continue;  // a refusal leaves the pairing as it was
        EXPECT_EQ(seen.pairedFingerprint.has_value(), c.paired);
        EXPECT_EQ(fake->secureCtrlPort() != 0, c.paired);
        EXPECT_EQ(fake->secureVideoPort() != 0, c.paired);
    }
    EXPECT_EQ(fake->snapshot().pairAcks, expected);
}

TEST_F(FakeIPadTest, StatisticsTickEverySecondCountingFromTheirStart) {
    FakeIPad::Options options;
    options.decode = false;
    start(options);
    auto host = connect(fake->ctrlPort());
    auto video = connect(fake->videoPort());
    auto sendFrames = [&](uint32_t from, int n) {
        for (int i = 0; i < n; ++i) video.channel->send(MsgType::videoFrame, videoFrame(1, from + i, true));
        run();
    };
    sendFrames(1, 3);  // decoded before any helloAck
    host.channel->send(MsgType::helloAck, std::vector<uint8_t>{});
    run();
    advance(999'999);
    EXPECT_TRUE(host.take(MsgType::stats).empty());
    advance(1);
    EXPECT_EQ(host.json<IPadStats>(MsgType::stats).decoded, 0);
    sendFrames(4, 2);
    advance(1'000'000);
    const auto stats = host.json<IPadStats>(MsgType::stats);
    EXPECT_EQ(stats.decoded, 2);
    EXPECT_EQ(stats.decodeErrors, 0);
    EXPECT_EQ(stats.cpu, 0.05);
    EXPECT_EQ(stats.memMB, 30.0);
    EXPECT_EQ(stats.rxFrames, std::nullopt);

    // A second helloAck restarts the timer: its first tick counts from the restart only.
    sendFrames(6, 4);
    advance(500'000);
    host.channel->send(MsgType::helloAck, std::vector<uint8_t>{});
    run();
    sendFrames(10, 1);
    advance(500'000);
    EXPECT_TRUE(host.take(MsgType::stats).empty());
    advance(500'000);
    EXPECT_EQ(host.json<IPadStats>(MsgType::stats).decoded, 1);
    EXPECT_EQ(fake->snapshot().helloAcks, 2);
}

TEST_F(FakeIPadTest, ASecondControlConnectionEndsTheFirstSession) {
    auto first = connect(fake->ctrlPort());
    auto video = connect(fake->videoPort());
    first.channel->send(MsgType::helloAck, std::vector<uint8_t>{});
    run();
    auto second = connect(fake->ctrlPort());
    run();
    EXPECT_TRUE(*first.closed);
    EXPECT_TRUE(*video.closed);
    EXPECT_FALSE(*second.closed);
    EXPECT_EQ(second.take(MsgType::hello).size(), 1u);
    EXPECT_EQ(std::count(logLines.begin(), logLines.end(), "ctrl closed"), 1);
    EXPECT_EQ(fake->snapshot().sessions, 2);
    advance(2'000'000);
    EXPECT_TRUE(second.take(MsgType::stats).empty());  // the old session's timer is gone

    // A bye from the tablet closes its control channel and, with it, the video channel.
    auto video2 = connect(fake->videoPort());
    fake->sendBye("app closed");
    run();
    EXPECT_EQ(second.json<ByeMsg>(MsgType::bye), (ByeMsg{"app closed", std::nullopt}));
    EXPECT_TRUE(*second.closed);
    EXPECT_TRUE(*video2.closed);
}

TEST_F(FakeIPadTest, DriversSendTouchesSwipesAndSidebarEvents) {
    fake->tap({0.5, 0.5});  // no host yet: nothing is sent, but the ids move on
    run();
    queue->advance(100'000);
    auto host = connect(fake->ctrlPort());
    auto frames = [&] {
        std::vector<TouchFrame> out;
        for (const auto& m : host.take(MsgType::touchFrame)) out.push_back(*TouchFrame::parse(m.payload));
        return out;
    };

    fake->swipe({0.1, 0.2}, {0.5, 0.2}, 0.5, 2, 0.1);
    run();
    EXPECT_EQ(frames().size(), 1u);  // began at once
    advance(499'999);
    EXPECT_EQ(frames().size(), 29u);
    advance(1);
    auto last = frames();
    ASSERT_EQ(last.size(), 1u);
    ASSERT_EQ(last[0].touches.size(), 2u);
    EXPECT_EQ(last[0].touches[0].phase, TouchPhase::ended);
    EXPECT_EQ(last[0].touches[0].id, 20);  // the tap before took 10
    EXPECT_EQ(last[0].touches[1].id, 21);
    EXPECT_NEAR(last[0].touches[0].norm.x, 0.5, 1e-4);
    EXPECT_NEAR(last[0].touches[1].norm.x, 0.6, 1e-4);
    EXPECT_NEAR(last[0].touches[0].radius, 8.0, 1e-9);

    struct Case {
        double seconds;
        int fingers;
        size_t frames;
    };
    for (const Case c : {Case{0.01, 1, 3}, Case{0.0, 0, 3}, Case{1.0, 3, 61}}) {
        fake->swipe({0.3, 0.3}, {0.3, 0.3}, c.seconds, c.fingers, 0.05);
        run();
        advance(1'100'000);
        const auto got = frames();
        EXPECT_EQ(got.size(), c.frames) << c.seconds;
        for (const auto& f : got) EXPECT_EQ(f.touches.size(), size_t(c.fingers));
    }
    // 26 swipes after creation the ids have wrapped: 260 mod 256.
    for (int i = 0; i < 21; ++i) fake->tap({0.5, 0.5});
    run();
    advance(100'000);
    const auto taps = frames();
    ASSERT_EQ(taps.size(), 21u * 4);
    EXPECT_EQ(taps.back().touches[0].id, 4);
    EXPECT_EQ(taps.back().touches[0].phase, TouchPhase::ended);

    fake->send({TouchSample{7, TouchPhase::stationary, 2, {0.25, 0.75}, 10, 1}});
    fake->sendUIEvent(10, 1);
    fake->sendUIEvent(70000, 0);  // out of range: ignored
    fake->sendText("héllo");
    fake->sendAppState(1);
    run();
    const auto single = frames();
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].touches[0].tapCount, 2);
    const auto ui = host.take(MsgType::uiEvent);
    ASSERT_EQ(ui.size(), 1u);
    EXPECT_EQ(ui[0].load<KVUIEvent>()->item, 10);
    EXPECT_EQ(ui[0].load<KVUIEvent>()->phase, 1);
    const auto text = host.take(MsgType::textInput);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(std::string(text[0].payload.begin(), text[0].payload.end()), "héllo");
    EXPECT_EQ(host.take(MsgType::appState).at(0).load<KVAppState>()->state, 1);

    // A swipe cut off by the end of the session sends nothing more.
    fake->swipe({0.1, 0.1}, {0.9, 0.9}, 1.0, 1, 0);
    run();
    advance(200'000);
    fake->sendBye("bye");
    run();
    const size_t before = frames().size();
    advance(1'000'000);
    EXPECT_GT(before, 0u);
    EXPECT_TRUE(frames().empty());
}

// The acknowledgement sequences of the video side, decoding switched off.
TEST_F(FakeIPadTest, AcknowledgesEveryFrameWithItsStatus) {
    FakeIPad::Options options;
    options.decode = false;
    start(options);
    auto video = connect(fake->videoPort());
    auto acks = [&] {
        std::vector<uint8_t> statuses;
        for (const auto& m : video.take(MsgType::frameAck)) statuses.push_back(m.load<KVFrameAck>()->status);
        return statuses;
    };
    video.channel->send(MsgType::videoHello, Wire::pod(KVVideoHello{7}));
    video.channel->send(MsgType::videoFrame, videoFrame(1, 1, false));
    video.channel->send(MsgType::videoFrame, std::vector<uint8_t>(10));  // short: no answer
    video.channel->send(MsgType::videoFrame, videoFrame(1, 2, true));
    video.channel->send(MsgType::videoFrame, videoFrame(1, 3, false));
    run();
    EXPECT_EQ(acks(), (std::vector<uint8_t>{1, 0, 0}));
    auto seen = fake->snapshot();
    EXPECT_EQ(seen.framesReceived, 3);
    EXPECT_EQ(seen.framesDecoded, 2);
    EXPECT_EQ(seen.keyframes, 1);
    EXPECT_EQ(seen.avgDecodeUs, 0);

    // Decoding on, after a stop: non-key frames wait, a key frame without a decoder fails after
    // asking for a key frame.
    start({});
    video = connect(fake->videoPort());
    video.channel->send(MsgType::streamStop, Wire::pod(KVStreamStop{1, 3}));
    video.channel->send(MsgType::videoFrame, videoFrame(1, 4, false));
    video.channel->send(MsgType::videoFrame, videoFrame(1, 5, true));
    run();
    ASSERT_EQ(video.received->size(), 3u);
    EXPECT_EQ((*video.received)[0].load<KVFrameAck>()->status, 1);
    EXPECT_EQ((*video.received)[1].type(), MsgType::keyframeRequest);
    EXPECT_EQ((*video.received)[1].load<KVKeyframeRequest>(), (KVKeyframeRequest{1, 0, 1}));
    EXPECT_EQ((*video.received)[2].load<KVFrameAck>()->status, 2);
    seen = fake->snapshot();
    EXPECT_EQ(seen.streamStops, 1);
    EXPECT_EQ(seen.decodeErrors, 1);
}

TEST_F(FakeIPadTest, DecodesStreamsWithinItsPixelLimit) {
    const auto frames = encodeTwo();
    ASSERT_EQ(frames.size(), 2u);
    struct Case {
        std::optional<int64_t> maxPixels;
        std::vector<uint8_t> statuses;
    };
    for (const auto& c : {Case{std::nullopt, {0, 0}}, Case{4096, {0, 0}}, Case{4095, {2, 1}}}) {
        FakeIPad::Options options;
        options.decodeMaxPixels = c.maxPixels;
        start(options);
        std::vector<int> lumas;  // of the top-left pixel of each picture handed out
        fake->onPictureDecoded = [&](const PixelBuffer& picture, uint64_t, uint64_t) {
            lumas.push_back(picture.plane(0)[0]);
        };
        auto video = connect(fake->videoPort());
        video.channel->send(MsgType::streamFormat, streamFormat(3, 64, 64, frames[0]));
        video.channel->send(MsgType::videoFrame, videoFrame(3, 1, true, frames[0].data));
        video.channel->send(MsgType::videoFrame, videoFrame(3, 2, false, frames[1].data));
        run();
        std::vector<uint8_t> statuses;
        for (const auto& m : video.take(MsgType::frameAck)) statuses.push_back(m.load<KVFrameAck>()->status);
        EXPECT_EQ(statuses, c.statuses);
        if (c.statuses[0] == 0) {
            ASSERT_EQ(lumas.size(), 2u);
            EXPECT_NEAR(lumas[0], 90, 3);
            EXPECT_NEAR(lumas[1], 110, 3);
        } else {
            EXPECT_TRUE(lumas.empty());
        }
        const auto seen = fake->snapshot();
        EXPECT_EQ(seen.streamSize, (SizeD{64, 64}));
        EXPECT_EQ(seen.avgDecodeUs > 0, c.statuses[0] == 0);
    }

    // Parameter sets announced beyond the payload: ignored like a short record.
    auto video = connect(fake->videoPort());
    auto format = streamFormat(4, 64, 64, frames[0]);
    ASSERT_FALSE(format.empty());
    format.pop_back();
    video.channel->send(MsgType::streamFormat, format);
    run();
    EXPECT_EQ(fake->snapshot().streamFormats, 1);
}

TEST_F(FakeIPadTest, AnswersProbesAfterTheirLastFrame) {
    const auto frames = encodeTwo();
    ASSERT_EQ(frames.size(), 2u);
    auto begin = [&](uint32_t id, uint16_t w, uint16_t h, uint16_t count, std::vector<uint8_t> sps) {
        return *writeProbeBegin({id, w, h, count, 0, 0, 0}, sps, *frames[0].pps);
    };
    auto probeFrame = [&](uint32_t id, int i) {
        return join(Wire::pod(KVProbeFrame{id, uint16_t(i)}), frames[size_t(i) % 2].data);
    };
    struct Case {
        const char* name;
        bool decode;
        uint16_t width, height;
        std::vector<uint8_t> sps;
        KVProbeResult expected;  // the times are checked apart
    };
    const std::vector<uint8_t> badSps{0x67, 0xFF, 0xFF};
    const std::vector<Case> cases{
        {"decodes", true, 64, 64, *frames[0].sps, {1, 0, 2, 64, 64, 0, 0, 0}},
        {"beyond the limit", true, 1920, 1080, *frames[0].sps, {1, -12909, 0, 0, 0, 0, 0, 0}},
        {"counted only", false, 64, 64, *frames[0].sps, {1, 0, 2, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeIPad::Options options;
        options.decode = c.decode;
        options.decodeMaxPixels = 1'000'000;
        start(options);
        auto video = connect(fake->videoPort());
        video.channel->send(MsgType::probeBegin, begin(1, c.width, c.height, 2, c.sps));
        video.channel->send(MsgType::probeFrame, probeFrame(1, 0));
        video.channel->send(MsgType::probeFrame, probeFrame(9, 0));  // another probe's: ignored
        run();
        EXPECT_TRUE(video.take(MsgType::probeResult).empty());
        video.channel->send(MsgType::probeFrame, probeFrame(1, 1));
        run();
        const auto results = video.take(MsgType::probeResult);
        ASSERT_EQ(results.size(), 1u);
        auto result = *results[0].load<KVProbeResult>();
        EXPECT_EQ(result.avgDecodeUs > 0, c.expected.decoded > 0 && c.decode);
        EXPECT_GE(result.maxDecodeUs, result.avgDecodeUs);
        result.avgDecodeUs = result.maxDecodeUs = 0;
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(fake->snapshot().probesAnswered, 1);
    }

    // A decoder that cannot start fails the probe; a count of 0 is never answered.
    start({});
    auto video = connect(fake->videoPort());
    video.channel->send(MsgType::probeBegin, begin(2, 64, 64, 1, badSps));
    video.channel->send(MsgType::probeFrame, probeFrame(2, 0));
    video.channel->send(MsgType::probeBegin, begin(3, 64, 64, 0, *frames[0].sps));
    video.channel->send(MsgType::probeFrame, probeFrame(3, 0));
    run();
    const auto results = video.take(MsgType::probeResult);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0].load<KVProbeResult>()->status, 0);
    EXPECT_EQ(results[0].load<KVProbeResult>()->decoded, 0);
}

TEST_F(FakeIPadTest, ReleasingItClosesEverythingAndRunsNothingLater) {
    auto host = connect(fake->ctrlPort());
    host.channel->send(MsgType::helloAck, std::vector<uint8_t>{});
    run();
    fake->swipe({0, 0}, {1, 1}, 1.0, 1, 0);
    std::weak_ptr<FakeIPad> weak = fake;
    fake.reset();
    run();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(*host.closed);
    EXPECT_EQ(queue->armedTimers(), 0u);  // neither the statistics timer nor the swipe's steps
}

TEST_F(FakeIPadTest, APortInUseFailsTheMake) {
    for (bool ctrlTaken : {true, false}) {
        auto other = ctrlTaken ? FakeIPad::make({}, fake->ctrlPort(), 0, queue) : FakeIPad::make({}, 0, fake->videoPort(), queue);
        ASSERT_FALSE(other.ok());
        EXPECT_NE(other.error().description().find("bind 127.0.0.1:"), std::string::npos) << other.error().description();
    }
    EXPECT_EQ(connect(fake->ctrlPort()).take(MsgType::hello).size(), 1u);  // the first one is untouched
}

// The Wi-Fi road: after pairing, a host with the key reaches the secure listeners found by
// discovery; one with another key is rejected.
TEST(FakeIPadSecure, PairedTabletAcceptsTlsSessionsAndCountsRejections) {
    auto discovery = std::make_shared<FakeServiceBrowser>();
    FakeIPad::Options options;
    options.serviceName = "fake-secure-" + std::to_string(::getpid());
    options.publisher = discovery;
    auto made = FakeIPad::make(options, 0, 0);
    ASSERT_TRUE(made.ok());
    auto fake = made.value();
    const auto key = SecureTransport::newKey();
    fake->setPairing("host-1", key);
    ASSERT_NE(fake->secureCtrlPort(), 0);

    auto main = AsioExecutor::makeQueue("kv.test.main");
    auto connectQueue = AsioExecutor::makeQueue("kv.wireless.connect");
    auto connectWith = [&](std::vector<uint8_t> k) {
        PairingRecord record{"udid-1", "iPad", *options.serviceName, std::move(k), SystemTime{}};
        auto connector = std::make_unique<WirelessConnector>(record, "host-1", WirelessLink::any, std::nullopt,
                                                             discovery, connectQueue, main);
        auto done = std::make_shared<std::promise<ConnectResult>>();
        runSync(*main, [&] { connector->connect(Wire::ctrlPort, [done](ConnectResult r) { done->set_value(std::move(r)); }); });
        auto result = done->get_future().get();
        runSync(*main, [&] { connector.reset(); });
        return result;
    };

    auto ok = connectWith(key);
    ASSERT_TRUE(ok.ok()) << ok.error().description();
    auto channelQueue = AsioExecutor::makeQueue("kv.s.ctrl");
    auto host = HostEnd::open(std::move(ok.value()), channelQueue);
    std::optional<HelloMsg> hello;
    ASSERT_TRUE(test::waitUntil([&] {
        runSync(*channelQueue, [&] {
            auto got = host.take(MsgType::hello);
            if (!got.empty()) hello = Wire::decodeJSON<HelloMsg>(got[0].payload);
        });
        return hello.has_value();
    }));
    EXPECT_EQ(hello->pairing, (HelloMsg::Pairing{"host-1", SecureTransport::fingerprint(key)}));
    // A secure link cannot pair again.
    host.channel->sendJSON(MsgType::pair, PairMsg("host-2", "Mac", key));
    test::waitUntil([&] { return !fake->snapshot().pairAcks.empty(); });
    EXPECT_EQ(fake->snapshot().pairAcks, (std::vector<PairAckMsg>{{false, std::nullopt, "not usb"}}));
    EXPECT_EQ(fake->snapshot().secureSessions, 1);

    EXPECT_FALSE(connectWith(SecureTransport::newKey()).ok());
    test::waitUntil([&] { return fake->snapshot().rejected > 0; });
    EXPECT_GE(fake->snapshot().rejected, 1);
    runSync(*channelQueue, [&] { host.channel->close(); });
    fake->close();
}

}  // namespace
}  // namespace kelvo
