#include "core/video/video_streamer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "core/util/hex_string.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

constexpr uint64_t kMs = 1000;
constexpr uint64_t kSec = 1'000'000;

using Sent = RecordingVideoOutput::Sent;

VideoStreamer::Config defaultConfig() { return {2048, 1536, 60, 20'000'000, H264Profile::constrainedHigh, 0, 4}; }

struct Harness {
    explicit Harness(VideoStreamer::Config config = defaultConfig()) {
        streamer = std::make_shared<VideoStreamer>(queue, out, clock, config, script->factory());
        streamer->onStats = [this](const LiveStats& st) { stats.push_back(st); };
        streamer->onFrameRateChange = [this](int fps) { rateChanges.push_back(fps); };
    }
    ~Harness() { streamer->stop(std::nullopt); }

    void start() { EXPECT_FALSE(streamer->start().has_value()); }
    void submit(int n = 1) {
        for (int i = 0; i < n; ++i) {
            streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs());
            queue->runUntilIdle();
        }
    }
    void ack(uint32_t stream, uint32_t frame, uint64_t receivedUs = 0, uint64_t decodedUs = 0) {
        KVFrameAck a;
        a.streamId = stream;
        a.frameId = frame;
        a.receivedUs = receivedUs;
        a.decodedUs = decodedUs;
        streamer->handle(WireMessage{rawValue(MsgType::frameAck), 1, Wire::pod(a)});
        queue->runUntilIdle();
    }
    void keyframeRequest(uint8_t reason, uint32_t lastGood) {
        KVKeyframeRequest r;
        r.streamId = streamer->streamId();
        r.lastGoodFrameId = lastGood;
        r.reason = reason;
        streamer->handle(WireMessage{rawValue(MsgType::keyframeRequest), 1, Wire::pod(r)});
        queue->runUntilIdle();
    }
    std::vector<Sent> framesSent() const {
        std::vector<Sent> f;
        for (const auto& s : out->sent) {
            if (s.type == 0x82) f.push_back(s);
        }
        return f;
    }
    size_t encodes() const { return script->calls.size(); }

    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>("kv.s.video");
    std::shared_ptr<RecordingVideoOutput> out = std::make_shared<RecordingVideoOutput>();
    std::shared_ptr<ClockSync> clock = std::make_shared<ClockSync>();
    std::shared_ptr<EncoderScript> script = std::make_shared<EncoderScript>();
    std::shared_ptr<VideoStreamer> streamer;
    std::vector<LiveStats> stats;
    std::vector<int> rateChanges;
};

KVVideoFrameHeader headerOf(const Sent& s) { return *Wire::load<KVVideoFrameHeader>(s.payload, 0); }

TEST(VideoStreamer, FirstFrameOpensTheStreamWithFormatThenKeyFrame) {
    Harness h;
    h.start();
    const uint64_t captureUs = h.queue->nowUs();  // 1 s = 0x0F4240
    h.submit();
    ASSERT_EQ(h.out->types(), (std::vector<uint8_t>{0x81, 0x82}));
    EXPECT_EQ(hexString(h.out->sent[0].payload),
              "01000000"          // stream 1
              "00080006"          // 2048 × 1536
              "01040001" "00000000" "ffffffff" "01010100"
              "05000400"          // SPS and PPS lengths
              "67640028ac" "68ee3c80");
    EXPECT_EQ(hexString(h.out->sent[1].payload),
              "01000000" "01000000"  // stream 1, frame 1
              "40420f0000000000"     // capture time
              "01" "00000000000000"  // key frame
              "000000026588");
    EXPECT_EQ(captureUs, 0x0F4240u);
    EXPECT_EQ(h.script->made.size(), 1u);
    EXPECT_EQ(h.script->made[0], (EncoderConfig{2048, 1536, 60, 20'000'000, H264Profile::constrainedHigh, 34}));
}

TEST(VideoStreamer, WindowOfFourHoldsTheNewestFrameUntilAnAck) {
    Harness h;
    h.start();
    h.submit(5);
    EXPECT_EQ(h.encodes(), 4u);
    EXPECT_EQ(h.framesSent().size(), 4u);
    const uint64_t newestUs = h.queue->nowUs() + 5 * kMs;
    h.queue->advance(5 * kMs);
    h.submit();  // replaces the fifth frame in the pending slot
    EXPECT_EQ(h.encodes(), 4u);

    h.ack(2, 1);  // another stream: ignored
    EXPECT_EQ(h.encodes(), 4u);
    h.ack(1, 1);
    ASSERT_EQ(h.encodes(), 5u);
    EXPECT_EQ(h.script->calls.back().ptsUs, newestUs);
    EXPECT_FALSE(h.script->calls.back().key);
    h.ack(1, 1);  // duplicate: no slot released
    EXPECT_EQ(h.encodes(), 5u);

    h.queue->advance(kSec);
    ASSERT_FALSE(h.stats.empty());
    EXPECT_EQ(h.stats.back().droppedBeforeEncode, 1);
    EXPECT_EQ(h.stats.back().inFlight, 4);
    EXPECT_EQ(h.stats.back().fps, 5);
    EXPECT_EQ(h.stats.back().keyframes, 1);
    EXPECT_EQ(h.stats.back().streamSize, "2048×1536");
}

TEST(VideoStreamer, BusyEncoderIsHandedOnlyTheNewestCaptureWhenItIsDone) {
    // Captures every 16 ms, each encode takes 25 ms, the tablet acknowledges at once.
    Harness h;
    h.start();
    h.script->answer = [](const EncoderScript::Call&) { return std::nullopt; };
    const uint64_t t0 = h.queue->nowUs();
    uint64_t heldSince = 0;
    size_t maxHeld = 0;
    for (uint64_t ms = 0; ms <= 150; ++ms) {
        if (!h.script->held.empty() && ms == heldSince + 25) {
            h.script->answerHeld(*EncoderScript::healthy()(h.script->held.front()));
            h.queue->runUntilIdle();
            h.ack(1, static_cast<uint32_t>(h.framesSent().size()));
            heldSince = ms;
        }
        if (ms % 16 == 0) h.submit();
        maxHeld = std::max(maxHeld, h.script->held.size());
        h.queue->advance(kMs);
    }
    EXPECT_EQ(maxHeld, 1u);
    std::vector<uint64_t> encodedAtMs;
    for (const auto& call : h.script->calls) encodedAtMs.push_back((call.ptsUs - t0) / kMs);
    // 32, 80 and 128 were replaced in the pending slot while the encoder worked.
    EXPECT_EQ(encodedAtMs, (std::vector<uint64_t>{0, 16, 48, 64, 96, 112, 144}));
    h.queue->advance(kSec);
    ASSERT_FALSE(h.stats.empty());
    EXPECT_EQ(h.stats.back().droppedBeforeEncode, 3);
    EXPECT_EQ(h.stats.back().inFlight, 1);
}

TEST(VideoStreamer, StalledAcknowledgementsResetTheWindowAndForceAKeyFrame) {
    test::LogCapture log;
    Harness h;
    h.start();
    h.queue->advance(500 * kMs);
    h.submit(4);
    h.queue->advance(3 * kSec);  // ticks at 1, 2, 3 s: oldest frame is 3.0 s old at most
    EXPECT_FALSE(log.contains("unacknowledged"));
    h.queue->advance(500 * kMs);  // tick at 4 s: 3.5 s
    EXPECT_EQ(log.count("4 frames unacknowledged for 3 s, resetting window", "video"), 1u);
    ASSERT_EQ(h.encodes(), 5u);
    EXPECT_TRUE(h.script->calls.back().key);
    EXPECT_EQ(h.script->calls.back().ptsUs, h.queue->nowUs());  // the last frame again, stamped now
    EXPECT_EQ(h.stats.back().inFlight, 1);
}

TEST(VideoStreamer, PauseStopsTheStreamAndResumeOpensTheNext) {
    test::LogCapture log;
    Harness h;
    h.start();
    h.submit();
    h.out->sent.clear();

    h.streamer->pause(StreamStopReason::paused);
    h.streamer->pause(StreamStopReason::paused);
    ASSERT_EQ(h.out->sent.size(), 1u);
    EXPECT_EQ(h.out->sent[0].type, 0x83);
    EXPECT_EQ(hexString(h.out->sent[0].payload), "0100000002000000");
    EXPECT_EQ(log.count("paused", "video"), 1u);

    h.submit(3);  // held by the gate while paused
    EXPECT_EQ(h.out->sent.size(), 1u);
    h.streamer->resume();
    h.queue->runUntilIdle();
    EXPECT_TRUE(log.contains("resumed (stream 2)", "video"));
    ASSERT_EQ(h.out->types(), (std::vector<uint8_t>{0x83, 0x81, 0x82}));
    EXPECT_EQ(hexString(std::vector<uint8_t>(h.out->sent[1].payload.begin(), h.out->sent[1].payload.begin() + 4)), "02000000");
    EXPECT_EQ(headerOf(h.out->sent[2]).streamId, 2u);
    EXPECT_EQ(headerOf(h.out->sent[2]).frameId, 1u);
    EXPECT_EQ(headerOf(h.out->sent[2]).flags, 1);
}

TEST(VideoStreamer, FramesLeavingTheEncoderAfterPauseAreDroppedNotSentAfterTheStop) {
    Harness h;
    h.start();
    h.submit();  // opens the stream
    h.script->answer = [](const EncoderScript::Call&) { return std::nullopt; };
    h.submit(2);
    ASSERT_EQ(h.script->held.size(), 1u);  // the second waits in the gate
    h.streamer->pause(StreamStopReason::inputOnly);
    h.script->answerHeld(std::optional<EncodedFrame>(EncodedFrame{false, std::nullopt, std::nullopt, EncoderScript::kDeltaData, 0}));
    h.queue->runUntilIdle();
    EXPECT_TRUE(h.script->held.empty());
    EXPECT_EQ(h.out->types().back(), 0x83);
    EXPECT_EQ(h.framesSent().size(), 1u);
}

TEST(VideoStreamer, LevelOverrideRewritesTheAnnouncedSpsAndComparesTheRewrittenOne) {
    test::LogCapture log;
    auto config = defaultConfig();
    config.levelOverride = 42;
    Harness h(config);
    h.start();
    h.submit();
    ASSERT_EQ(h.out->sent[0].type, 0x81);
    EXPECT_EQ(h.out->sent[0].payload[28 + 3], 0x2A);
    EXPECT_TRUE(log.contains("stream 1 format 2048×1536 level=42", "video"));

    // The encoder changes its own level only: after the rewrite the SPS is the same, no format.
    h.script->answer = [](const EncoderScript::Call& c) {
        EncodedFrame f{true, std::vector<uint8_t>{0x67, 0x64, 0x00, 0x33, 0xAC}, EncoderScript::kPps, EncoderScript::kKeyData, c.ptsUs};
        return EncodeResult{std::optional<EncodedFrame>(f)};
    };
    h.ack(1, 1);
    h.streamer->forceKeyframe();
    h.queue->runUntilIdle();
    EXPECT_EQ(h.out->types(), (std::vector<uint8_t>{0x81, 0x82, 0x82}));
    h.queue->advance(kSec);
    EXPECT_EQ(h.stats.back().keyframes, 2);
}

TEST(VideoStreamer, AcknowledgementsGiveLatencySamplesAndCorruptTabletTimesAreDropped) {
    Harness h;
    h.start();
    // Tablet clock 5 s ahead of the host's, 2 ms round trip.
    const uint64_t t0 = h.queue->nowUs();
    h.clock->add(t0, t0 + 5 * kSec + 1 * kMs, t0 + 5 * kSec + 1 * kMs, t0 + 2 * kMs);
    h.submit(3);
    h.queue->advance(10 * kMs);
    const uint64_t tabletNow = h.queue->nowUs() + 5 * kSec;
    h.ack(1, 1, tabletNow - 4 * kMs, tabletNow - 1 * kMs);  // transfer 6 ms, decode 3 ms, e2e 9 ms
    h.ack(1, 2);                                             // ack time only
    // Mapped to host time these would overflow: transfer and e2e are dropped, decode (1 µs) kept.
    h.ack(1, 3, 0x8000000000000000ull, 0x8000000000000001ull);
    h.queue->advance(kSec - 10 * kMs);
    ASSERT_EQ(h.stats.size(), 1u);
    const LiveStats& s = h.stats.back();
    EXPECT_DOUBLE_EQ(s.transferMs.p50, 6.0);
    EXPECT_DOUBLE_EQ(s.decodeMs.p95, 3.0);
    EXPECT_DOUBLE_EQ(s.e2eMs.p50, 9.0);
    EXPECT_DOUBLE_EQ(s.ackMsP90, 10.0);
    EXPECT_DOUBLE_EQ(s.rttMs, 2.0);
    EXPECT_DOUBLE_EQ(s.offsetMs, 5000.0);
    EXPECT_EQ(s.inFlight, 0);
}

TEST(VideoStreamer, KeyFrameRequestsAreHonouredAtMostTwiceASecond) {
    test::LogCapture log;
    Harness h;
    h.start();
    h.submit();
    h.ack(1, 1);
    h.keyframeRequest(3, 7);
    EXPECT_EQ(h.encodes(), 2u);
    EXPECT_TRUE(h.script->calls.back().key);
    h.queue->advance(300 * kMs);
    h.keyframeRequest(3, 8);
    EXPECT_EQ(h.encodes(), 2u);
    EXPECT_EQ(log.count("keyframe requested", "video"), 1u);
    EXPECT_TRUE(log.contains("keyframe requested (reason 3, last good 7)", "video"));

    h.streamer->pause(StreamStopReason::paused);
    h.queue->advance(300 * kMs);
    h.keyframeRequest(1, 9);  // logged, nothing forced while paused
    EXPECT_EQ(log.count("keyframe requested", "video"), 2u);
    EXPECT_EQ(h.encodes(), 2u);

    // Short and foreign messages are ignored.
    h.streamer->handle(WireMessage{rawValue(MsgType::frameAck), 1, std::vector<uint8_t>(31, 0)});
    h.streamer->handle(WireMessage{0x99, 1, std::vector<uint8_t>(64, 0)});
}

TEST(VideoStreamer, ReconfigureAndStopTellTheTablet) {
    Harness h;
    h.start();
    h.submit();
    auto smaller = defaultConfig();
    smaller.width = 1600;
    smaller.height = 1200;
    EXPECT_FALSE(h.streamer->reconfigure(smaller).has_value());
    h.queue->runUntilIdle();
    EXPECT_EQ(h.out->types(), (std::vector<uint8_t>{0x81, 0x82, 0x83}));  // old frame not re-encoded
    EXPECT_EQ(hexString(h.out->sent[2].payload), "0100000001000000");
    h.submit();
    EXPECT_EQ(h.script->made.back().width, 1600);
    EXPECT_EQ(h.streamer->streamId(), 2u);
    EXPECT_EQ(h.out->types().size(), 5u);

    h.streamer->stop(StreamStopReason::ended);
    h.streamer->stop(StreamStopReason::ended);
    EXPECT_EQ(hexString(h.out->sent.back().payload), "0200000003000000");
    EXPECT_EQ(h.out->sent.size(), 6u);
    h.submit(2);
    h.queue->advance(5 * kSec);
    EXPECT_EQ(h.out->sent.size(), 6u);
    EXPECT_TRUE(h.stats.empty());
}

TEST(VideoStreamer, FailingEncoderIsRebuiltWithBackoffNotInATightLoop) {
    test::LogCapture log;
    Harness h;
    h.start();
    h.submit();
    h.script->answer = [](const EncoderScript::Call&) {
        return EncodeResult{EncoderError::encodeFailed(-12903)};
    };
    h.submit();
    // First failure: one rebuild at once, then the last frame once more as a key frame.
    EXPECT_EQ(h.script->made.size(), 2u);
    EXPECT_EQ(log.count("rebuilding encoder: encode failed (-12903)", "video"), 1u);
    const size_t encodesAfterFirst = h.encodes();
    EXPECT_EQ(encodesAfterFirst, 3u);
    // That failed too: the next rebuild waits, frames meanwhile are not encoded.
    h.submit(5);
    EXPECT_EQ(h.encodes(), encodesAfterFirst);
    EXPECT_EQ(h.script->made.size(), 2u);
    h.queue->advance(kSec);
    EXPECT_EQ(h.script->made.size(), 3u);
    // Encoder still failing: the pauses double.
    h.queue->advance(kSec);
    EXPECT_EQ(h.script->made.size(), 3u);
    h.queue->advance(kSec);
    EXPECT_EQ(h.script->made.size(), 4u);

    // Healthy again: the next rebuild reopens the stream with a format and a key frame.
    h.script->answer = EncoderScript::healthy();
    h.queue->advance(4 * kSec);
    EXPECT_EQ(h.script->made.size(), 5u);
    ASSERT_GE(h.out->sent.size(), 2u);
    EXPECT_EQ(h.out->sent[h.out->sent.size() - 2].type, 0x81);
    EXPECT_EQ(headerOf(h.out->sent.back()).flags, 1);
    h.submit();
    EXPECT_EQ(headerOf(h.out->sent.back()).flags, 0);
    size_t stops = 0;
    for (uint8_t t : h.out->types()) stops += t == 0x83;
    EXPECT_EQ(stops, h.script->made.size() - 1);
}

TEST(VideoStreamer, FailedRebuildIsRetriedLaterAndKeyFramesWithoutParameterSetsCountAsFailure) {
    test::LogCapture log;
    Harness h;
    h.start();
    h.submit();
    h.ack(1, 1);
    h.script->createFailures = 1;
    auto error = h.streamer->reconfigure(defaultConfig());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, EncoderError::Kind::createFailed);
    EXPECT_EQ(h.out->types(), (std::vector<uint8_t>{0x81, 0x82, 0x83}));

    // An encoder that answers key frames without SPS/PPS cannot open a stream.
    h.script->answer = [](const EncoderScript::Call& c) {
        return EncodeResult{
            std::optional<EncodedFrame>(EncodedFrame{true, std::nullopt, std::nullopt, EncoderScript::kKeyData, c.ptsUs})};
    };
    h.submit();  // the invalidated encoder fails: rebuilt at once, last frame re-encoded as a key frame
    EXPECT_TRUE(log.contains("rebuilding encoder: encoder invalidated", "video"));
    EXPECT_EQ(h.script->made.size(), 2u);
    EXPECT_EQ(h.encodes(), 2u);
    h.submit();  // second key frame without parameter sets: an encoder error, rebuilt after a pause
    EXPECT_EQ(h.encodes(), 3u);
    EXPECT_TRUE(log.contains("encoder failed again (key frames without parameter sets), rebuilding in 1000 ms", "video"));
    h.submit(3);
    EXPECT_EQ(h.encodes(), 3u);
    EXPECT_EQ(h.framesSent().size(), 1u);
    h.queue->advance(kSec);
    EXPECT_EQ(h.script->made.size(), 3u);
    EXPECT_EQ(h.encodes(), 4u);
    EXPECT_EQ(h.framesSent().size(), 1u);
}

TEST(VideoStreamer, TickAppliesThePolicyToEncoderAndCaptureRate) {
    test::LogCapture log;
    Harness h;
    h.start();
    DeviceStatusMsg status;
    status.thermal = "serious";
    status.battery = 0.5;
    status.charging = true;
    h.streamer->updateDeviceStatus(status);
    h.queue->advance(kSec);
    EXPECT_EQ(h.rateChanges, (std::vector<int>{30}));
    EXPECT_EQ(h.script->frameRates, (std::vector<int>{30}));
    EXPECT_EQ(h.script->bitrates, (std::vector<int>{14'000'000}));
    EXPECT_TRUE(log.contains("fps cap → 30（iPad 热状态 serious）", "video"));
    EXPECT_EQ(h.stats.back().fpsCap, 30);
    EXPECT_EQ(h.stats.back().thermal, "serious");
    h.queue->advance(kSec);  // same decision: nothing touched
    EXPECT_EQ(h.script->frameRates.size(), 1u);
    EXPECT_EQ(h.streamer->fps(), 30);

    // The tablet's own decode p95 drives the policy.
    IPadStats ipad;
    ipad.decodeUsP95 = 30'000;
    h.streamer->updateIPadStats(ipad);
    DeviceStatusMsg cool;
    cool.thermal = "nominal";
    h.streamer->updateDeviceStatus(cool);
    h.queue->advance(4 * kSec);
    EXPECT_TRUE(log.contains("iPad 解码慢：帧率上限降到 45", "adapt"));
}

TEST(VideoStreamerConfig, StoredSelectionsOutOfRangeFallBack) {
    test::LogCapture log;
    ProbeSelection ok{"L2", 2048, 1536, 42, H264Profile::high, 30};
    EXPECT_EQ(VideoStreamer::Config::from(ok, 60, 1000),
              (VideoStreamer::Config{2048, 1536, 30, 1000, H264Profile::high, 42, 4}));

    ProbeSelection badLevel = ok;
    badLevel.levelOverride = 300;
    EXPECT_EQ(VideoStreamer::Config::from(badLevel, 60, 1000).levelOverride, 0);

    ProbeSelection tooWide{"L1", 70000, 90000, 42, H264Profile::main, 60};
    auto c = VideoStreamer::Config::from(tooWide, 60, 1000);
    EXPECT_EQ(c.width, 1200);
    EXPECT_EQ(c.height, 1600);
    EXPECT_EQ(c.levelOverride, 0);
    EXPECT_EQ(c.profile, H264Profile::main);

    ProbeSelection noCeiling = ok;
    noCeiling.maxFps = 0;
    EXPECT_EQ(VideoStreamer::Config::from(noCeiling, 60, 1000).fps, 60);
    EXPECT_EQ(log.count("falling back", "video") + log.count("out of range", "video"), 2u);
}

TEST(ProbeSelection, StoredFormRoundTripsAndKeepsOutOfRangeValuesForTheStreamerToCheck) {
    ProbeSelection sel{"L2", 2048, 1536, 42, H264Profile::constrainedHigh, 60};
    EXPECT_EQ(sel.description(), "L2 2048×1536 constrainedHigh level=42 ≤60 fps");
    EXPECT_EQ(ProbeSelection::fallback(Orientation::portrait).description(), "L4 1200×1600 constrainedHigh ≤60 fps");
    const std::string stored = encodeWire(toJson(sel));
    EXPECT_EQ(stored, R"({"height":1536,"levelOverride":42,"maxFps":60,"profile":"constrainedHigh","rungName":"L2","width":2048})");
    EXPECT_EQ(decodeJson<ProbeSelection>(stored), sel);

    auto odd = decodeJson<ProbeSelection>(
        std::string_view(R"({"height":1536,"levelOverride":300,"maxFps":60,"profile":"main","rungName":"L2","width":2048})"));
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(VideoStreamer::Config::from(*odd, 60, 1000).levelOverride, 0);
    EXPECT_FALSE(decodeJson<ProbeSelection>(std::string_view(R"({"height":1536,"levelOverride":0,"maxFps":60,"profile":"baseline","rungName":"L2","width":2048})")));
    EXPECT_FALSE(decodeJson<ProbeSelection>(std::string_view(R"({"height":1536,"maxFps":60,"profile":"main","rungName":"L2","width":2048})")));
}

}  // namespace
}  // namespace kelvo
