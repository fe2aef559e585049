#include "core/video/probe_runner.hpp"

#include <algorithm>
#include <climits>

#include "core/util/log.hpp"
#include "core/video/h264.hpp"
#include "core/video/test_pattern_renderer.hpp"

namespace kelvo {

namespace {

constexpr const char* kTag = "probe";
constexpr int kProbeFps = 60;
constexpr int kProbeMaxQP = 34;
constexpr uint64_t kFrameIntervalUs = 16'667;
// Answer time-out allowance for the bytes sent: 10,000,000 bytes per second is 0.1 µs per byte.
constexpr uint64_t kBytesPerAllowedUs = 10;

std::string probeName(const ProbeRung& rung, H264Profile profile) {
    return rung.description() + " " + std::string(h264ProfileRaw(profile));
}

}  // namespace

// Renders and encodes the frames of one probe on the work queue, at most encodeWindow frames
// inside the encoder at a time, and reports once through `done` (on the work queue). Encoder
// handlers and the time-out hold it, so a handler arriving after the time-out finds it alive
// and finished, never freed.
struct ProbeRunner::Encoding : std::enable_shared_from_this<ProbeRunner::Encoding> {
    using Done = std::function<void(std::optional<Encoded>)>;

    Encoding(std::shared_ptr<Executor> workQueue, ProbeRung rung, H264Profile profile, int bitrate, int count,
             Done done)
        : workQueue(std::move(workQueue)), rung(std::move(rung)), profile(profile), bitrate(bitrate), count(count),
          done(std::move(done)) {}

    void begin(const EncoderFactory& makeEncoder, uint64_t timeoutUs);
    void fill();
    void returned(int index, EncodeResult result);
    void assemble();
    void fail(const std::string& why);
    void finish(std::optional<Encoded> encoded);

    const std::shared_ptr<Executor> workQueue;
    const ProbeRung rung;
    const H264Profile profile;
    const int bitrate;
    const int count;
    Done done;

    // Work queue only.
    std::unique_ptr<StreamEncoder> encoder;
    std::unique_ptr<TestPatternRenderer> renderer;
    std::unique_ptr<Timer> timer;
    std::vector<std::optional<EncodedFrame>> frames;  // by index
    int submitted = 0;
    int returnedCount = 0;
    bool finished = false;
};

void ProbeRunner::Encoding::begin(const EncoderFactory& makeEncoder, uint64_t timeoutUs) {
    // The sides travel as 16-bit fields; the encoder refuses what it cannot take below that.
    if (rung.width < 1 || rung.height < 1 || rung.width > UINT16_MAX || rung.height > UINT16_MAX) {
        return fail("size out of range");
    }
    EncoderConfig config{int(rung.width), int(rung.height), kProbeFps, bitrate, profile, kProbeMaxQP};
    auto made = makeEncoder(config);
    if (!made.ok()) return fail(made.error().description());
    encoder = std::move(made.value());
    renderer = std::make_unique<TestPatternRenderer>(config.width, config.height, "Kelvo probe " + rung.name);
    timer = workQueue->makeTimer();
    timer->scheduleOnce(timeoutUs, [self = shared_from_this(), timeoutUs] {
        self->fail("not encoded within " + std::to_string(timeoutUs / 1000) + " ms");
    });
    frames.resize(size_t(count));
    fill();
}

void ProbeRunner::Encoding::fill() {
    while (!finished && submitted < count && submitted - returnedCount < encodeWindow) {
        const int n = submitted;
        PixelBufferRef picture = renderer->render(n, "probe " + rung.name + " #" + std::to_string(n));
        if (!picture) return fail("frame " + std::to_string(n) + " could not be rendered");
        ++submitted;
        encoder->encode(picture, uint64_t(n + 1) * kFrameIntervalUs, n == 0,
                        [self = shared_from_this(), n](EncodeResult result) {
                            // Any thread: hop to the work queue, which owns the frame table.
                            self->workQueue->post([self, n, result = std::move(result)]() mutable {
                                self->returned(n, std::move(result));
                            });
                        });
    }
}

void ProbeRunner::Encoding::returned(int index, EncodeResult result) {
    if (finished) return;
    ++returnedCount;
    if (result.ok() && result.value() && !result.value()->data.empty()) frames[size_t(index)] = std::move(*result.value());
    if (returnedCount == count) return assemble();
    fill();
}

void ProbeRunner::Encoding::assemble() {
    const auto& first = frames.front();
    if (!first || !first->isKeyframe || !first->sps || !first->pps) {
        return fail("frame 0 is no key frame with parameter sets");
    }
    if (first->sps->size() > UINT16_MAX || first->pps->size() > UINT16_MAX) return fail("parameter sets too large");
    Encoded encoded{*first->sps, *first->pps, {}};
    for (auto& frame : frames) {
        if (frame) encoded.frames.push_back(std::move(frame->data));
    }
    finish(std::move(encoded));
}

void ProbeRunner::Encoding::fail(const std::string& why) {
    if (finished) return;
    Log::w(kTag, [&] { return "cannot encode probe " + probeName(rung, profile) + ": " + why; });
    finish(std::nullopt);
}

void ProbeRunner::Encoding::finish(std::optional<Encoded> encoded) {
    finished = true;
    if (timer) timer->cancel();  // drops the time-out's hold on this
    // Handlers still inside the encoder come back to a finished encoding and are ignored.
    if (encoder) encoder->invalidate();
    encoder.reset();
    renderer.reset();
    frames.clear();
    auto report = std::move(done);
    if (report) report(std::move(encoded));
}

std::shared_ptr<ProbeRunner> ProbeRunner::create(std::shared_ptr<Channel> channel, std::shared_ptr<Executor> workQueue,
                                                 EncoderFactory makeEncoder) {
    return std::make_shared<ProbeRunner>(Private{}, std::move(channel), std::move(workQueue), std::move(makeEncoder));
}

ProbeRunner::ProbeRunner(Private, std::shared_ptr<Channel> channel, std::shared_ptr<Executor> workQueue,
                         EncoderFactory makeEncoder)
    : channel_(std::move(channel)), queue_(channel_->queue()), workQueue_(std::move(workQueue)),
      makeEncoder_(std::move(makeEncoder)) {}

// A waiting probe's timer goes with it; its task holds the runner weakly.
ProbeRunner::~ProbeRunner() = default;

void ProbeRunner::run(std::vector<ProbeRung> ladder, QualityPolicy policy, Completion completion) {
    if (cancelled_) return;
    if (walk_) {
        Log::e(kTag, "probe walk already running; second run ignored");
        return;
    }
    if (ladder.empty()) {
        if (completion) completion({}, ProbeSelector::select({}, policy));
        return;
    }
    walk_ = Walk{std::move(ladder), policy, std::move(completion), {}, 0};
    probe(H264Profile::constrainedHigh);
}

void ProbeRunner::probe(H264Profile profile) {
    const ProbeRung rung = walk_->ladder[walk_->index];
    const int rate = int(std::clamp<int64_t>(bitrate, 0, INT_MAX));
    auto done = [weak = weak_from_this(), queue = queue_, rung, profile](std::optional<Encoded> encoded) {
        auto frames = encoded ? std::make_shared<Encoded>(std::move(*encoded)) : nullptr;
        queue->post([weak, rung, profile, frames] {
            if (auto self = weak.lock()) self->encoded(rung, profile, frames);
        });
    };
    auto encoding = std::make_shared<Encoding>(workQueue_, rung, profile, rate, framesPerRung, std::move(done));
    workQueue_->post([encoding, make = makeEncoder_, timeoutUs = encodeTimeoutUs] { encoding->begin(make, timeoutUs); });
}

void ProbeRunner::encoded(const ProbeRung& rung, H264Profile profile, std::shared_ptr<Encoded> frames) {
    if (cancelled_) {
        Log::d(kTag, [&] { return "probe " + probeName(rung, profile) + " dropped: cancelled"; });
        return;
    }
    if (!frames) {
        return rungDone(RungResult::judged(
            {.rung = rung, .profile = profile, .status = RungResult::kNotEncoded, .frameCount = framesPerRung}));
    }
    send(rung, profile, *frames);
}

void ProbeRunner::send(const ProbeRung& rung, H264Profile profile, Encoded& encoded) {
    const uint32_t id = ++nextProbeID_;
    std::vector<uint8_t> sps =
        rung.levelOverride != 0 ? H264::rewriteLevel(encoded.sps, uint8_t(rung.levelOverride)) : encoded.sps;

    KVProbeBegin begin;
    begin.probeId = id;
    begin.width = uint16_t(rung.width);
    begin.height = uint16_t(rung.height);
    begin.frameCount = uint16_t(encoded.frames.size());
    begin.spsLength = uint16_t(sps.size());
    begin.ppsLength = uint16_t(encoded.pps.size());
    begin.level = uint16_t(rung.levelOverride);
    channel_->send(rawValue(MsgType::probeBegin), {Wire::pod(begin), std::move(sps), encoded.pps});

    uint64_t total = 0;
    for (size_t k = 0; k < encoded.frames.size(); ++k) {
        KVProbeFrame header;
        header.probeId = id;
        header.frameIndex = uint16_t(k);
        total += encoded.frames[k].size();
        channel_->send(rawValue(MsgType::probeFrame), {Wire::pod(header), std::move(encoded.frames[k])});
    }

    const uint64_t timeoutUs = answerTimeoutBaseUs + total / kBytesPerAllowedUs;
    const int64_t sent = int64_t(encoded.frames.size());
    Log::d(kTag, [&] {
        return "probe " + std::to_string(id) + " " + probeName(rung, profile) + ": " + std::to_string(sent) +
               " frames, " + std::to_string(total) + " bytes, answer within " + std::to_string(timeoutUs / 1000) +
               " ms";
    });
    auto timer = queue_->makeTimer();
    timer->scheduleOnce(timeoutUs, [weak = weak_from_this(), id, rung] {
        if (auto self = weak.lock()) self->timedOut(id, rung);
    });
    waiting_ = Waiting{id, std::move(timer), [this, rung, profile, sent](std::optional<KVProbeResult> answer) {
                           if (!answer) {
                               return rungDone(RungResult::judged({.rung = rung,
                                                                   .profile = profile,
                                                                   .status = RungResult::kNoAnswer,
                                                                   .frameCount = sent}));
                           }
                           rungDone(RungResult::judged({.rung = rung,
                                                        .profile = profile,
                                                        .status = answer->status,
                                                        .frameCount = sent,
                                                        .decoded = answer->decoded,
                                                        .outWidth = answer->outWidth,
                                                        .outHeight = answer->outHeight,
                                                        .avgUs = answer->avgDecodeUs,
                                                        .maxUs = answer->maxDecodeUs}));
                       }};
}

void ProbeRunner::handle(const WireMessage& message) {
    if (message.type() != MsgType::probeResult) return;
    auto answer = message.load<KVProbeResult>();
    if (!answer) return;
    if (!waiting_ || waiting_->id != answer->probeId) {
        Log::d(kTag, [&] { return "result for probe " + std::to_string(answer->probeId) + " ignored: not awaited"; });
        return;
    }
    Waiting waiting = std::move(*waiting_);
    waiting_.reset();
    waiting.timer->cancel();
    waiting.completion(*answer);
}

void ProbeRunner::timedOut(uint32_t id, const ProbeRung& rung) {
    if (!waiting_ || waiting_->id != id) return;
    Waiting waiting = std::move(*waiting_);
    waiting_.reset();
    waiting.timer->cancel();
    Log::w(kTag, rung.description() + " timed out");
    waiting.completion(std::nullopt);
}

void ProbeRunner::rungDone(RungResult result) {
    auto self = shared_from_this();  // onProgress or the completion may release the runner
    Walk& walk = *walk_;
    walk.results.push_back(result);
    Log::i(kTag, result.summary());
    if (onProgress) onProgress(result);
    if (cancelled_) {  // by onProgress itself
        walk_.reset();
        return;
    }

    if (result.verdict == ProbeVerdict::unusable && result.profile != H264Profile::main) {
        return probe(H264Profile::main);
    }
    if (!ProbeSelector::isDecisive(result, walk.policy) && walk.index + 1 < walk.ladder.size()) {
        ++walk.index;
        return probe(H264Profile::constrainedHigh);
    }
    Walk finished = std::move(walk);
    walk_.reset();
    auto selection = ProbeSelector::select(finished.results, finished.policy);
    if (finished.completion) finished.completion(std::move(finished.results), selection);
}

void ProbeRunner::cancel() {
    cancelled_ = true;
    if (queue_->isCurrent()) return cancelOnQueue();
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->cancelOnQueue();
    });
    // Progress or a completion running right now has returned once the queue reached this point;
    // everything after it sees the flag.
    queue_->drain();
}

void ProbeRunner::cancelOnQueue() {
    if (!waiting_) return;
    waiting_->timer->cancel();
    waiting_.reset();
}

}  // namespace kelvo
