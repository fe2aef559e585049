#include <gtest/gtest.h>

#include <future>
#include <map>

#include "core/runtime/manual_executor.hpp"
#include "testing/h264_decoder.hpp"
#include "core/video/h264.hpp"
#include "core/video/probe_runner.hpp"
#include "support/test_support.hpp"
#include "transport/transport_test_util.hpp"

namespace kelvo {
namespace {

using P = H264Profile;

// Small rungs: the walk does not depend on the size, and rendering stays cheap.
const std::vector<ProbeRung> kSmallLadder{
    {"L1", 320, 240, 0}, {"L2", 320, 240, 42}, {"L3", 256, 192, 0}, {"L4", 160, 120, 0}};

const std::vector<uint8_t> kSps{0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9};  // level byte 40
const std::vector<uint8_t> kPps{0x68, 0xEE, 0x3C, 0x80};

// Encodes nothing: hands back frames of scripted sizes, at once or when the test releases them.
struct ScriptedEncoders {
    std::vector<EncoderConfig> made;
    bool hold = false;
    std::vector<std::function<void()>> held;  // handler calls not yet made
    std::function<size_t(int index)> frameBytes = [](int) { return size_t(1000); };
    std::optional<EncoderError> refuse;

    struct Encoder final : StreamEncoder {
        ScriptedEncoders& owner;
        int next = 0;
        explicit Encoder(ScriptedEncoders& o) : owner(o) {}
        void encode(const PixelBufferRef&, uint64_t ptsUs, bool key, Handler handler) override {
            EncodedFrame f{key, {}, {}, std::vector<uint8_t>(owner.frameBytes(next++), 0xAB), ptsUs};
            if (key) f.sps = kSps, f.pps = kPps;
            auto call = [handler = std::move(handler), f]() { handler(std::optional<EncodedFrame>(f)); };
            if (owner.hold) {
                owner.held.push_back(call);
            } else {
                call();
            }
        }
        void setFrameRate(int) override {}
        void setBitrate(int) override {}
        void invalidate() override {}
    };

    EncoderFactory factory() {
        return [this](const EncoderConfig& c) -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
            made.push_back(c);
            if (refuse) return *refuse;
            return std::unique_ptr<StreamEncoder>(std::make_unique<Encoder>(*this));
        };
    }
    void releaseHeld() {
        auto calls = std::move(held);
        held.clear();
        for (auto& c : calls) c();
    }
};

// One probe as the peer received it.
struct ReceivedProbe {
    KVProbeBegin begin;
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint16_t> indices;
};

// The host's video channel and the runner on one manual queue, the encoding on another, and the
// tablet's end of the socket pair on a third; the tablet answers each complete probe through
// `answer` (no answer when it returns none).
struct ProbeBench {
    std::shared_ptr<ManualExecutor> video = std::make_shared<ManualExecutor>("kv.s.video");
    std::shared_ptr<ManualExecutor> work = std::make_shared<ManualExecutor>("kv.probe.encode");
    std::shared_ptr<ManualExecutor> fake = std::make_shared<ManualExecutor>("kv.fake");
    std::shared_ptr<Channel> host;
    std::shared_ptr<Channel> tablet;
    std::shared_ptr<ProbeRunner> runner;

    std::function<std::optional<KVProbeResult>(const ReceivedProbe&)> answer;
    std::vector<ReceivedProbe> probes;
    std::vector<RungResult> progress;
    std::optional<std::pair<std::vector<RungResult>, std::optional<ProbeSelection>>> outcome;

    explicit ProbeBench(EncoderFactory makeEncoder) {
        auto [a, b] = test::socketPair();
        host = Channel::create(std::move(a), "video", video, SocketOptions::video);
        tablet = Channel::create(std::move(b), "fake.video", fake, SocketOptions::video);
        runner = ProbeRunner::create(host, work, std::move(makeEncoder));
        runner->onProgress = [this](const RungResult& r) { progress.push_back(r); };
        host->onMessage = [this](WireMessage m) {
            if (runner) runner->handle(m);
        };
        tablet->onMessage = [this](WireMessage m) { tabletReceived(m); };
        host->start();
        tablet->start();
    }

    void tabletReceived(const WireMessage& m) {
        if (auto begin = m.type() == MsgType::probeBegin ? m.load<KVProbeBegin>() : std::nullopt) {
            auto sets = readParameterSets(m.payload, KVProbeBegin::kSize, begin->spsLength, begin->ppsLength);
            ASSERT_TRUE(sets);
            probes.push_back({*begin, sets->sps, sets->pps, {}, {}});
        } else if (auto frame = m.type() == MsgType::probeFrame ? m.load<KVProbeFrame>() : std::nullopt) {
            ASSERT_FALSE(probes.empty());
            auto& p = probes.back();
            ASSERT_EQ(frame->probeId, p.begin.probeId);
            p.indices.push_back(frame->frameIndex);
            p.frames.emplace_back(m.payload.begin() + KVProbeFrame::kSize, m.payload.end());
            if (p.frames.size() == p.begin.frameCount && answer) {
                if (auto result = answer(p)) sendResult(*result);
            }
        }
    }
    void sendResult(const KVProbeResult& r) { tablet->send(rawValue(MsgType::probeResult), {Wire::pod(r)}); }

    void start(std::vector<ProbeRung> ladder, QualityPolicy policy) {
        runner->run(std::move(ladder), policy, [this](std::vector<RungResult> results, std::optional<ProbeSelection> s) {
            outcome.emplace(std::move(results), std::move(s));
        });
        pump();
    }
    // Runs every queue until none has anything left to do (virtual time stands still).
    void pump() {
        while (video->runUntilIdle() + work->runUntilIdle() + fake->runUntilIdle() > 0) {
        }
    }
};

// What a tablet reports for a probe that decoded at `avgUs` (status 0, every frame, full size).
KVProbeResult decodedAt(const ReceivedProbe& p, uint32_t avgUs, uint32_t maxUs) {
    return KVProbeResult{p.begin.probeId, 0, p.begin.frameCount, p.begin.width, p.begin.height, 0, avgUs, maxUs};
}
KVProbeResult failed(const ReceivedProbe& p) { return KVProbeResult{p.begin.probeId, -12909, 0, 0, 0, 0, 0, 0}; }

std::string walkText(const std::vector<RungResult>& results) {
    std::string text;
    for (const auto& r : results) {
        text += (text.empty() ? "" : ", ") + r.rung.name + " " + std::string(h264ProfileRaw(r.profile)) + " " +
                std::string(rawValue(r.verdict));
    }
    return text;
}

TEST(ProbeRunner, WalksTheLadderRetryingWithMainAndStopsWhenDecisive) {
    enum class Outcome { smooth, usable, fails };
    struct Case {
        const char* what;
        QualityPolicy policy;
        std::map<std::string, Outcome> script;  // by rung and profile; anything else fails
        std::string walk;
        std::optional<ProbeSelection> selection;
    };
    const Case cases[] = {
        {"smoothness passes over a 30 fps rung", QualityPolicy::smoothness,
         {{"L1 constrainedHigh", Outcome::usable}, {"L2 constrainedHigh", Outcome::smooth}},
         "L1 constrainedHigh fps30, L2 constrainedHigh fps60", ProbeSelection{"L2", 320, 240, 42, P::constrainedHigh, 60}},
        {"clarity stops at a 30 fps rung", QualityPolicy::clarity, {{"L1 constrainedHigh", Outcome::usable}},
         "L1 constrainedHigh fps30", ProbeSelection{"L1", 320, 240, 0, P::constrainedHigh, 30}},
        {"a failed rung is retried with main", QualityPolicy::smoothness,
         {{"L2 constrainedHigh", Outcome::smooth}},
         "L1 constrainedHigh unusable, L1 main unusable, L2 constrainedHigh fps60",
         ProbeSelection{"L2", 320, 240, 42, P::constrainedHigh, 60}},
        {"nothing decodes", QualityPolicy::clarity, {},
         "L1 constrainedHigh unusable, L1 main unusable, L2 constrainedHigh unusable, L2 main unusable, "
         "L3 constrainedHigh unusable, L3 main unusable, L4 constrainedHigh unusable, L4 main unusable",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedEncoders encoders;
        ProbeBench bench(encoders.factory());
        bench.runner->bitrate = 12'000'000;
        bench.answer = [&](const ReceivedProbe& p) {
            const auto rung = std::find_if(kSmallLadder.begin(), kSmallLadder.end(), [&](const ProbeRung& r) {
                return r.width == p.begin.width && r.height == p.begin.height && r.levelOverride == p.begin.level;
            });
            const bool main = encoders.made[p.begin.probeId - 1].profile == P::main;
            auto it = c.script.find(rung->name + (main ? " main" : " constrainedHigh"));
            if (it == c.script.end() || it->second == Outcome::fails) return failed(p);
            return it->second == Outcome::smooth ? decodedAt(p, 12'000, 20'000) : decodedAt(p, 25'000, 50'000);
        };
        bench.start(kSmallLadder, c.policy);

        ASSERT_TRUE(bench.outcome);
        EXPECT_EQ(walkText(bench.outcome->first), c.walk);
        EXPECT_EQ(bench.outcome->second, c.selection);
        EXPECT_EQ(bench.progress, bench.outcome->first);
        ASSERT_EQ(bench.probes.size(), bench.outcome->first.size());
        for (size_t i = 0; i < bench.probes.size(); ++i) {
            const auto& p = bench.probes[i];
            const auto& rung = bench.outcome->first[i].rung;
            EXPECT_EQ(p.begin.probeId, i + 1);
            EXPECT_EQ(p.begin.frameCount, ProbeRunner::framesPerRung);
            EXPECT_EQ(p.indices.front(), 0);
            EXPECT_EQ(p.indices.back(), ProbeRunner::framesPerRung - 1);
            // The level override travels in the record and in the SPS itself.
            EXPECT_EQ(p.begin.level, rung.levelOverride);
            EXPECT_EQ(p.sps[3], rung.levelOverride ? 42 : 40);
            EXPECT_EQ(p.pps, kPps);
            const auto& config = encoders.made[i];
            EXPECT_EQ(config, (EncoderConfig{int(rung.width), int(rung.height), 60, 12'000'000,
                                             bench.outcome->first[i].profile, 34}));
        }
    }
}

TEST(ProbeRunner, SilentTabletTimesOutAfterBasePlusBytesAndItsLateAnswerIsIgnored) {
    test::LogCapture log;
    ScriptedEncoders encoders;
    // 30 frames totalling 5,000,000 bytes: 3.5 s plus 0.5 s.
    encoders.frameBytes = [](int n) { return size_t(n == 0 ? 166'686 : 166'666); };
    ProbeBench bench(encoders.factory());
    bench.answer = [&](const ReceivedProbe& p) -> std::optional<KVProbeResult> {
        if (p.begin.probeId == 1) return std::nullopt;
        // Probe 1's answer comes at last, just before probe 2's: it must not count for probe 2.
        bench.sendResult(decodedAt(bench.probes[0], 1'000, 1'000));
        return decodedAt(p, 25'000, 30'000);
    };
    bench.start({kSmallLadder[0]}, QualityPolicy::clarity);
    ASSERT_EQ(bench.probes.size(), 1u);

    bench.video->advance(3'999'999);
    bench.pump();
    EXPECT_TRUE(bench.progress.empty());
    bench.video->advance(1);
    bench.pump();
    EXPECT_TRUE(log.contains("L1 320×240 timed out", "probe"));
    ASSERT_TRUE(bench.outcome);
    EXPECT_EQ(walkText(bench.outcome->first), "L1 constrainedHigh unusable, L1 main fps30");
    EXPECT_EQ(bench.outcome->first[0].summary(), "L1 320×240 constrainedHigh: 失败（-1），解码 0/30，平均 0 µs，最大 0 µs");
    EXPECT_EQ(bench.video->armedTimers(), 0u);
}

TEST(ProbeRunner, CancelWhileEncodingSendsNothingAndNeverCompletes) {
    ScriptedEncoders encoders;
    encoders.hold = true;
    ProbeBench bench(encoders.factory());
    bench.start(kSmallLadder, QualityPolicy::smoothness);
    // Frames wait for a free encoder slot instead of piling up rendered.
    EXPECT_EQ(encoders.held.size(), size_t(ProbeRunner::encodeWindow));

    bench.runner->cancel();
    while (!encoders.held.empty()) {
        encoders.releaseHeld();
        bench.pump();
        EXPECT_LE(encoders.held.size(), size_t(ProbeRunner::encodeWindow));
    }
    EXPECT_TRUE(bench.probes.empty());
    EXPECT_TRUE(bench.progress.empty());
    EXPECT_FALSE(bench.outcome);
    EXPECT_EQ(encoders.made.size(), 1u);

    bench.runner->run(kSmallLadder, QualityPolicy::clarity, [](auto, auto) { ADD_FAILURE() << "completed"; });
    bench.pump();
    EXPECT_EQ(encoders.made.size(), 1u);
}

// Cancelled from the progress of a decisive rung: the walk ends there, with no completion and no
// further probe, though its last result was already in.
TEST(ProbeRunner, CancelFromProgressEndsTheWalkWithoutCompleting) {
    ScriptedEncoders encoders;
    ProbeBench bench(encoders.factory());
    bench.answer = [](const ReceivedProbe& p) { return decodedAt(p, 12'000, 20'000); };
    bench.runner->onProgress = [&](const RungResult& r) {
        bench.progress.push_back(r);
        bench.runner->cancel();
    };
    bench.start(kSmallLadder, QualityPolicy::clarity);
    EXPECT_EQ(walkText(bench.progress), "L1 constrainedHigh fps60");
    EXPECT_FALSE(bench.outcome);
    EXPECT_EQ(bench.probes.size(), 1u);
    EXPECT_EQ(bench.video->armedTimers(), 0u);
}

TEST(ProbeRunner, EncodingThatCannotFinishCountsAsNotEncodedAndLateFramesFindNothingFreed) {
    test::LogCapture log;
    ScriptedEncoders encoders;
    encoders.hold = true;
    ProbeBench bench(encoders.factory());
    bench.start({kSmallLadder[3]}, QualityPolicy::clarity);
    auto stuck = std::move(encoders.held);
    encoders.held.clear();

    bench.work->advance(9'999'999);
    bench.pump();
    EXPECT_TRUE(bench.progress.empty());
    encoders.refuse = EncoderError::createFailed(-1);  // and the main retry cannot even make its encoder
    bench.work->advance(1);
    bench.pump();
    ASSERT_TRUE(bench.outcome);
    EXPECT_EQ(walkText(bench.outcome->first), "L4 constrainedHigh unusable, L4 main unusable");
    EXPECT_EQ(bench.outcome->first[0].summary(), "L4 160×120 constrainedHigh: 失败（-2），解码 0/30，平均 0 µs，最大 0 µs");
    EXPECT_EQ(bench.outcome->first[1].status, RungResult::kNotEncoded);
    EXPECT_TRUE(log.contains("cannot encode probe L4 160×120 constrainedHigh: not encoded within 10000 ms", "probe"));
    EXPECT_TRUE(log.contains("cannot encode probe L4 160×120 main: x264 encoder could not be opened (-1)", "probe"));
    EXPECT_TRUE(bench.probes.empty());

    // The encoder of the timed-out probe hands its frames back after everything else is gone.
    bench.runner.reset();
    for (auto& call : stuck) call();
    bench.pump();
}

// Encodes with x264 and hands the frame back on the calling thread, so a real encoder fits the
// single-threaded manual queues.
class BlockingEncoder final : public StreamEncoder {
public:
    explicit BlockingEncoder(std::unique_ptr<StreamEncoder> inner) : inner_(std::move(inner)) {}
    void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool key, Handler handler) override {
        std::promise<EncodeResult> done;
        inner_->encode(frame, ptsUs, key, [&done](EncodeResult r) { done.set_value(std::move(r)); });
        handler(done.get_future().get());
    }
    void setFrameRate(int fps) override { inner_->setFrameRate(fps); }
    void setBitrate(int bps) override { inner_->setBitrate(bps); }
    void invalidate() override { inner_->invalidate(); }

private:
    std::unique_ptr<StreamEncoder> inner_;
};

TEST(ProbeRunner, TabletThatReallyDecodesPassesTheRungWithTheAnnouncedLevel) {
    auto x264 = H264StreamEncoder::factory();
    ProbeBench bench([x264](const EncoderConfig& c) -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
        auto made = x264(c);
        if (!made.ok()) return made.error();
        return std::unique_ptr<StreamEncoder>(std::make_unique<BlockingEncoder>(std::move(made.value())));
    });
    bench.answer = [](const ReceivedProbe& p) {
        KVProbeResult r{p.begin.probeId, 0, 0, 0, 0, 0, 0, 0};
        auto decoder = H264Decoder::create(p.sps, p.pps);
        if (!decoder.ok()) {
            r.status = decoder.error().status();
            return r;
        }
        uint64_t total = 0;
        for (const auto& frame : p.frames) {
            auto out = decoder.value()->decode(frame);
            if (!out.ok()) {
                r.status = out.error().status();
                return r;
            }
            ++r.decoded;
            r.outWidth = uint16_t(out.value().width);
            r.outHeight = uint16_t(out.value().height);
            total += out.value().decodeUs;
            r.maxDecodeUs = std::max(r.maxDecodeUs, uint32_t(out.value().decodeUs));
        }
        r.avgDecodeUs = uint32_t(total / r.decoded);
        return r;
    };
    bench.start({kSmallLadder[1]}, QualityPolicy::clarity);

    ASSERT_TRUE(bench.outcome);
    ASSERT_EQ(bench.outcome->first.size(), 1u);
    const RungResult& r = bench.outcome->first[0];
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.decoded, ProbeRunner::framesPerRung);
    EXPECT_EQ(r.outWidth, 320);
    EXPECT_EQ(r.outHeight, 240);
    ASSERT_EQ(bench.probes.size(), 1u);
    EXPECT_EQ(H264::levelIdc(bench.probes[0].sps), 42);
    // Decode times depend on the machine; a usable verdict is enough here.
    EXPECT_NE(r.verdict, ProbeVerdict::unusable) << r.summary();
    EXPECT_EQ(bench.outcome->second->rungName, "L2");
}

}  // namespace
}  // namespace kelvo
