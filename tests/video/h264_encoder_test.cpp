#include "core/video/h264_encoder.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/h264_decoder.hpp"
#include "core/util/thread_scheduling.hpp"
#include "core/video/access_unit.hpp"
#include "core/video/h264.hpp"
#include "core/video/pixel_convert.hpp"
#include "core/video/test_pattern_renderer.hpp"
#include "support/test_support.hpp"
#include "video_test_support.hpp"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;
using test::encodeSync;

constexpr int kW = 320, kH = 240;

EncoderConfig smallConfig(int bitrate = 2'000'000, H264Profile profile = H264Profile::constrainedHigh) {
    return EncoderConfig{kW, kH, 60, bitrate, profile, 34};
}

std::unique_ptr<H264Encoder> started(const EncoderConfig& config) {
    auto encoder = std::make_unique<H264Encoder>(config);
    auto error = encoder->start();
    EXPECT_FALSE(error) << error->description();
    return encoder;
}

int nalType(std::span<const uint8_t> unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }

// Every preset the encoder may step to decodes at full quality and keeps the parameter sets the
// stream opened with, so a step never needs a new stream format on the tablet.
TEST(H264Encoder, RenderedFramesSurviveEncodeAndDecodeAtEveryPresetWithTheSameParameterSets) {
    TestPatternRenderer renderer(kW, kH, "round trip");
    auto reference = PixelBuffer::make(PixelFormat::nv12, kW, kH);
    std::optional<Bytes> firstSps, firstPps;
    for (auto preset : {EncoderPreset::veryfast, EncoderPreset::superfast, EncoderPreset::ultrafast}) {
        SCOPED_TRACE(std::string(encoderPresetName(preset)));
        H264Encoder encoder(smallConfig(), preset);
        ASSERT_FALSE(encoder.start());
        EXPECT_EQ(encoder.preset(), preset);
        std::unique_ptr<H264Decoder> decoder;
        double worst = 99;
        for (int n = 0; n < 60; ++n) {
            auto frame = renderer.render(n);
            ASSERT_TRUE(frame);
            auto result = encodeSync(encoder, frame, uint64_t(n + 1) * 16'667, n == 0);
            ASSERT_TRUE(result.ok()) << result.error().description();
            ASSERT_TRUE(result.value()) << "frame " << n << " dropped";
            const EncodedFrame& encoded = *result.value();
            for (auto unit : H264::nalUnits(encoded.data)) {
                EXPECT_NE(nalType(unit), 7);
                EXPECT_NE(nalType(unit), 8);
            }
            if (n == 0) {
                ASSERT_TRUE(encoded.isKeyframe && encoded.sps && encoded.pps);
                if (!firstSps) firstSps = encoded.sps, firstPps = encoded.pps;
                EXPECT_EQ(*encoded.sps, *firstSps);
                EXPECT_EQ(*encoded.pps, *firstPps);
                auto made = H264Decoder::create(*encoded.sps, *encoded.pps);
                ASSERT_TRUE(made.ok()) << made.error().description();
                decoder = std::move(made.value());
                EXPECT_EQ(decoder->dimensions(), (H264Decoder::Dimensions{kW, kH}));
            }
            auto decoded = decoder->decode(encoded.data, true);
            ASSERT_TRUE(decoded.ok()) << decoded.error().description();
            EXPECT_EQ(decoded.value().width, kW);
            EXPECT_EQ(decoded.value().height, kH);
            ASSERT_TRUE(PixelConvert::bgraToNv12(*frame, *reference));
            worst = std::min(worst, test::lumaPsnr(*decoded.value().image, *reference));
        }
        EXPECT_GE(worst, 35.0);
    }
}

TEST(H264Encoder, SpsCarriesEachProfileAndAnAutomaticLevelThatCanBeRewritten) {
    struct Case {
        H264Profile profile;
        uint8_t profileIdc;
        uint8_t constraints;
    };
    // Constrained High is High with constraint_set4 and constraint_set5; Main sets constraint_set1.
    const Case cases[] = {{H264Profile::constrainedHigh, 100, 0x0C}, {H264Profile::high, 100, 0x00},
                          {H264Profile::main, 77, 0x40}};
    TestPatternRenderer renderer(kW, kH, "profiles");
    auto frame = renderer.render(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(h264ProfileRaw(c.profile)));
        auto encoder = started(smallConfig(2'000'000, c.profile));
        auto result = encodeSync(*encoder, frame, 1);
        ASSERT_TRUE(result.ok() && result.value());
        const auto& sps = *result.value()->sps;
        EXPECT_EQ(H264::profileIdc(sps), c.profileIdc);
        EXPECT_EQ(sps[2], c.constraints);
        // Chosen by the encoder: at least 1.2 (320×240 at 60 fps), more for the bitrate.
        EXPECT_GE(H264::levelIdc(sps), 12);
        EXPECT_LE(H264::levelIdc(sps), 30);

        // A level announced by rewriting still decodes.
        auto rewritten = H264::rewriteLevel(sps, 42);
        auto decoder = H264Decoder::create(rewritten, *result.value()->pps);
        ASSERT_TRUE(decoder.ok()) << decoder.error().description();
        auto decoded = decoder.value()->decode(result.value()->data);
        ASSERT_TRUE(decoded.ok()) << decoded.error().description();
        EXPECT_EQ(decoded.value().width, kW);
    }
}

// Touches and captures must not queue behind encoding: its threads yield to the rest of the
// process, while the thread that started it keeps its own priority.
TEST(H264Encoder, ItsThreadsYieldToTheRestOfTheProcessAndItsCallerKeepsItsPriority) {
    const int callerNice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    ASSERT_LT(callerNice, 19);
    ASSERT_TRUE(test::noThreadNamed("kv.convert")) << "workers of an earlier test live on";
    const std::set<int> before = test::liveThreads();
    auto encoder = started(smallConfig());
    EXPECT_EQ(::getpriority(PRIO_PROCESS, id_t(::gettid())), callerNice);
    // Read at once: start() returns with the encoder's threads lowered, and the thread that opened
    // the codec for it has been joined (a joined thread is not counted while it leaves).
    const std::set<int> added = test::threadsSince(before);
    for (int tid : added) EXPECT_GT(::getpriority(PRIO_PROCESS, id_t(tid)), callerNice) << "thread " << tid;
    // The codec may use fewer slice threads than cores (on two cores it may run one slice on a
    // thread of its own and the other beside it), but at least one beside the worker when it can.
    // They bear the encoder's name, not that of the thread that started it.
    size_t named = 0;
    for (auto t : test::threadsNamed("kv.encode")) named += added.count(t.tid);
    EXPECT_GE(named, EncoderTuning::threads() > 1 ? 2u : 1u) << "the worker and its slice threads";
    EXPECT_EQ(test::threadsNamed("kv.convert").empty(), EncoderTuning::threads() == 1) << "started with it";

    std::promise<std::pair<int, int>> seen;  // nice and policy of the thread that delivers
    TestPatternRenderer renderer(kW, kH, "nice");
    encoder->encode(renderer.render(0), 0, false, [&](EncodeResult) {
        seen.set_value({::getpriority(PRIO_PROCESS, id_t(::gettid())), ::sched_getscheduler(0)});
    });
    auto [nice, policy] = seen.get_future().get();
    EXPECT_GT(nice, callerNice);
    EXPECT_EQ(policy, SCHED_BATCH);
    // The BGRA frame was converted in bands (as many as the codec's slices), on workers as low
    // as the encoder's thread, which go with the encoder.
    auto workers = test::threadsNamed("kv.convert");
    EXPECT_EQ(workers.empty(), EncoderTuning::threads() == 1);
    for (auto w : workers) {
        EXPECT_EQ(w.nice, nice);
        EXPECT_EQ(w.policy, SCHED_BATCH);
    }
    encoder.reset();
    EXPECT_TRUE(test::noThreadNamed("kv.convert")) << "joined with the encoder";
}

// Started from a thread with a short time slice (the control stream's), the encoder's threads must
// not keep it: that slice is what lets a waking touch preempt them.
TEST(H264Encoder, ItsThreadsTakeTheDefaultSliceWhicheverThreadStartsIt) {
    const auto defaultSlice = test::threadTimeSliceNs();
    if (!defaultSlice) GTEST_SKIP() << "the kernel does not report time slices";
    std::unique_ptr<H264Encoder> encoder;
    std::optional<uint64_t> starterSlice;
    std::thread starter([&] {
        requestShortTimeSlice(std::chrono::microseconds(200));
        starterSlice = test::threadTimeSliceNs();
        encoder = started(smallConfig());
    });
    starter.join();
    ASSERT_TRUE(encoder);
    if (starterSlice == defaultSlice) GTEST_SKIP() << "this kernel keeps one slice for all";

    std::promise<std::optional<uint64_t>> seen;
    TestPatternRenderer renderer(kW, kH, "slice");
    encoder->encode(renderer.render(0), 0, false, [&](EncodeResult) { seen.set_value(test::threadTimeSliceNs()); });
    EXPECT_EQ(seen.get_future().get(), defaultSlice);
}

TEST(H264Encoder, ForcedKeyFrameIsAnIdrWithParameterSetsAndOthersCarryNone) {
    TestPatternRenderer renderer(kW, kH, "keys");
    auto encoder = started(smallConfig());
    constexpr int kForced = 7;
    for (int n = 0; n < 12; ++n) {
        auto result = encodeSync(*encoder, renderer.render(n), uint64_t(n) * 1000, n == kForced);
        ASSERT_TRUE(result.ok() && result.value());
        const EncodedFrame& f = *result.value();
        const bool key = n == 0 || n == kForced;
        EXPECT_EQ(f.isKeyframe, key) << n;
        EXPECT_EQ(f.sps.has_value(), key) << n;
        EXPECT_EQ(f.pps.has_value(), key) << n;
        bool idr = false;
        for (auto unit : H264::nalUnits(f.data)) idr = idr || nalType(unit) == 5;
        EXPECT_EQ(idr, key) << n;
        if (key) {
            EXPECT_EQ(nalType(*f.sps), 7);
            EXPECT_EQ(nalType(*f.pps), 8);
        }
    }
}

TEST(H264Encoder, PresentationTimesStayStrictlyIncreasingAndCompleteFramesWaitsForAll) {
    TestPatternRenderer renderer(kW, kH, "pts");
    auto encoder = started(smallConfig());
    auto frame = renderer.render(0);
    std::mutex m;
    std::vector<uint64_t> got;
    for (uint64_t pts : {0, 100, 100, 50}) {
        encoder->encode(frame, pts, false, [&](EncodeResult r) {
            std::lock_guard g(m);
            got.push_back(r.ok() && r.value() ? r.value()->ptsUs : 0);
        });
    }
    encoder->completeFrames();
    std::lock_guard g(m);
    EXPECT_EQ(got, (std::vector<uint64_t>{1, 100, 101, 102}));
}

// Bytes of `frames` noise frames, after `warmup` frames that let the rate control settle.
size_t noiseBytes(H264Encoder& encoder, std::mt19937& rng, int warmup, int frames, uint64_t& pts) {
    size_t total = 0;
    for (int i = 0; i < warmup + frames; ++i) {
        auto result = encodeSync(encoder, test::noiseNv12(kW, kH, rng), pts += 16'667);
        EXPECT_TRUE(result.ok());
        if (i >= warmup && result.ok() && result.value()) total += result.value()->data.size();
    }
    return total;
}

TEST(H264Encoder, BitrateAndFrameRateChangesKeepBitsPerSecondAtTheBitrate) {
    std::mt19937 rng(7);
    EncoderConfig config{kW, kH, 60, 1'200'000, H264Profile::constrainedHigh, std::nullopt};
    auto encoder = started(config);
    uint64_t pts = 0;
    const double full = double(noiseBytes(*encoder, rng, 30, 30, pts)) / 30;
    EXPECT_NEAR(full, 1'200'000 / 8.0 / 60, 0.35 * 1'200'000 / 8.0 / 60);

    encoder->setBitrate(400'000);
    const double lowered = double(noiseBytes(*encoder, rng, 30, 30, pts)) / 30;
    EXPECT_LT(lowered, 0.5 * full);

    // Half the frames per second: twice the bytes per frame for the same bits per second.
    encoder->setFrameRate(30);
    const double slower = double(noiseBytes(*encoder, rng, 30, 30, pts)) / 30;
    EXPECT_NEAR(slower / lowered, 2.0, 0.5);
    EXPECT_EQ(encoder->config(), config);  // the configuration keeps what it was made with

    test::LogCapture log;
    encoder->setBitrate(0);
    EXPECT_TRUE(log.contains("x264 setting vbv-maxrate not applied (", "enc"));
}

// Waits until `encoder` answers an encode at once with invalidated, i.e. an invalidate() has
// taken its queue; false if it never does. Probes that are queued instead are answered later,
// elsewhere, and ignored.
bool awaitInvalidated(H264Encoder& encoder, const PixelBufferRef& frame) {
    return test::waitUntil([&] {
        auto atOnce = std::make_shared<std::atomic<bool>>(false);
        encoder.encode(frame, 0, false, [atOnce, caller = std::this_thread::get_id()](EncodeResult r) {
            if (std::this_thread::get_id() == caller && !r.ok()) *atOnce = true;
        });
        return atOnce->load();
    });
}

TEST(H264Encoder, InvalidateFailsQueuedFramesOnceAndLaterCallsAtOnce) {
    TestPatternRenderer renderer(kW, kH, "invalidate");
    auto encoder = started(smallConfig());
    std::mutex m;
    std::vector<int> calls(40, 0);
    std::vector<bool> invalidated(40, false);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    auto frame = renderer.render(0);
    for (int i = 0; i < 40; ++i) {
        encoder->encode(frame, uint64_t(i), false, [&, i](EncodeResult r) {
            {
                std::lock_guard g(m);
                ++calls[i];
                invalidated[i] = !r.ok() && r.error() == EncoderError::invalidated();
            }
            if (i == 0) {
                entered.set_value();
                released.wait();
            }
        });
    }
    // The worker is held in the first frame's handler, so the other 39 are still queued when
    // invalidate() takes them; it is let go once they are taken, so that the join can end.
    entered.get_future().wait();
    std::thread releaser([&] {
        EXPECT_TRUE(awaitInvalidated(*encoder, frame)) << "invalidate() never took the queue";
        release.set_value();
    });
    encoder->invalidate();
    releaser.join();
    {
        std::lock_guard g(m);
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(calls[i], 1) << i;
            EXPECT_EQ(invalidated[i], i > 0) << i;
        }
    }

    // Invalidated: an encode fails before it returns, on the calling thread.
    std::thread::id caller;
    std::optional<EncoderError> error;
    encoder->encode(frame, 1000, false, [&](EncodeResult r) {
        caller = std::this_thread::get_id();
        error = r.ok() ? std::nullopt : std::optional(r.error());
    });
    EXPECT_EQ(caller, std::this_thread::get_id());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "encoder invalidated");
    encoder->invalidate();  // idempotent
    EXPECT_TRUE(encoder->start().has_value());  // no way back

    // Never started: the same answer.
    H264Encoder idle(smallConfig());
    auto r = encodeSync(idle, frame, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), EncoderError::invalidated());
}

TEST(H264Encoder, HandlersMayInvalidateOrReleaseTheirEncoder) {
    TestPatternRenderer renderer(kW, kH, "reentry");
    auto frame = renderer.render(0);
    {
        auto encoder = started(smallConfig());
        std::promise<void> done;
        encoder->encode(frame, 1, false, [&](EncodeResult) {
            encoder->invalidate();  // from the encoder's own thread
            done.set_value();
        });
        done.get_future().wait();
        EXPECT_FALSE(encodeSync(*encoder, frame, 2).ok());
    }
    {
        // The handler holds the last reference and lets it go on the encoder's thread.
        auto encoder = std::shared_ptr<H264Encoder>(started(smallConfig()).release());
        std::promise<void> done;
        auto* raw = encoder.get();
        raw->encode(frame, 1, false, [keep = encoder, &done](EncodeResult) mutable {
            keep.reset();
            done.set_value();
        });
        encoder.reset();
        done.get_future().wait();
    }
}

TEST(H264Encoder, EveryInvalidateReturnsOnlyOnceNoHandlerRuns) {
    TestPatternRenderer renderer(kW, kH, "concurrent invalidate");
    auto frame = renderer.render(0);
    auto encoder = started(smallConfig());
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> handlerDone{false};
    encoder->encode(frame, 1, false, [&](EncodeResult) {
        entered.set_value();
        released.wait();
        handlerDone = true;
    });
    entered.get_future().wait();
    std::thread first([&] { encoder->invalidate(); });
    // The first call is then waiting for the handler.
    EXPECT_TRUE(awaitInvalidated(*encoder, frame)) << "invalidate() never took the queue";

    std::atomic<bool> handlerDoneAtReturn{false};
    auto second = std::async(std::launch::async, [&] {
        encoder->invalidate();
        handlerDoneAtReturn = handlerDone.load();
    });
    // A second call that did not wait would return within this time, before the handler ends.
    second.wait_for(std::chrono::milliseconds(200));
    release.set_value();
    second.get();
    first.join();
    EXPECT_TRUE(handlerDoneAtReturn);
}

TEST(H264Encoder, ScalesOtherSizesAndRejectsMissingInput) {
    auto encoder = started(smallConfig());
    auto big = test::solidBgra(2 * kW, 2 * kH, 0, 0, 255);
    auto r = encodeSync(*encoder, big, 1);
    ASSERT_TRUE(r.ok() && r.value());
    auto decoder = H264Decoder::create(*r.value()->sps, *r.value()->pps);
    ASSERT_TRUE(decoder.ok());
    auto decoded = decoder.value()->decode(r.value()->data, true);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().width, kW);
    EXPECT_NEAR(decoded.value().image->plane(0)[0], 32, 2);  // blue's luma

    auto missing = encodeSync(*encoder, nullptr, 2);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), EncoderError::encodeFailed(EncoderStatus::badInput));
}

TEST(H264Encoder, CreationLogsItsSettingsOrFailsWithCreateFailed) {
    test::LogCapture log;
    auto encoder = started(EncoderConfig{kW, kH, 60, 1'500'000, H264Profile::constrainedHigh, std::nullopt});
    EXPECT_TRUE(log.contains("H.264 320×240 constrainedHigh 1 Mbps low-latency", "enc"));
    EXPECT_TRUE(encoder->isLowLatency());

    H264Encoder odd(EncoderConfig{0, 240, 60, 1'000'000, H264Profile::main, 34});
    auto error = odd.start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, EncoderError::Kind::createFailed);
    EXPECT_TRUE(log.contains("low-latency encoder unavailable (", "enc"));

    H264Encoder badQp(EncoderConfig{kW, kH, 60, 1'000'000, H264Profile::high, 99});
    EXPECT_FALSE(badQp.start());
    EXPECT_TRUE(log.contains("x264 setting qpmax not applied (", "enc"));
}

TEST(AccessUnit, ParameterSetsLeaveTheDataAndMalformedOutputIsAnError) {
    const Bytes sps = {0, 0, 0, 3, 0x67, 0x64, 0x00};
    const Bytes pps = {0, 0, 0, 2, 0x68, 0xEE};
    const Bytes sei = {0, 0, 0, 2, 0x06, 0x05};
    const Bytes idr = {0, 0, 0, 3, 0x65, 0x88, 0x84};
    std::vector<CodedNal> nals = {{7, sps}, {8, pps}, {6, sei}, {5, idr}};

    auto key = AccessUnit::pack(nals, true, 42);
    ASSERT_TRUE(key.ok() && key.value());
    EXPECT_EQ(key.value()->sps, (Bytes{0x67, 0x64, 0x00}));
    EXPECT_EQ(key.value()->pps, (Bytes{0x68, 0xEE}));
    EXPECT_EQ(key.value()->data, (Bytes{0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 3, 0x65, 0x88, 0x84}));
    EXPECT_EQ(key.value()->ptsUs, 42u);

    auto other = AccessUnit::pack(nals, false, 43);
    ASSERT_TRUE(other.ok() && other.value());
    EXPECT_FALSE(other.value()->sps || other.value()->pps);
    EXPECT_EQ(other.value()->data.size(), 13u);

    // Bytes that would be lost or misread are a failure, never a shortened frame.
    const Bytes lying = {0, 0, 0, 9, 0x65, 0x88};
    std::vector<CodedNal> bad = {{5, lying}};
    auto r = AccessUnit::pack(bad, false, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), EncoderError::encodeFailed(EncoderStatus::badOutput));
    std::vector<CodedNal> onlyHeaders = {{7, sps}, {8, pps}};
    EXPECT_FALSE(AccessUnit::pack(onlyHeaders, true, 1).ok());
    EXPECT_FALSE(AccessUnit::pack({}, true, 1).ok());
}

}  // namespace
}  // namespace kelvo
