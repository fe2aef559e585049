// The whole video road on loopback: replayed frames → streamer → Channel over TCP → the simulated
// tablet, which decodes and acknowledges. The host side (source, streamer, encoder, channel) and the
// decoding peer run on separate CPU sets, as a tablet decodes on its own hardware. Reports
// delivered fps, frames dropped, host latency (capture → last byte written), end-to-end latency
// (capture → decoded), CPU per frame of each side, the preset the encoder settled on, and, in a
// phase of its own, the bare encode time of the same frames at that preset.
//
//   pipeline_bench [--seconds 10] [--size 2048x1536] [--fps 60] [--content pattern|motion]
//                  [--host-cpus 0,1] [--peer-cpus 2,3] [--bitrate 20000000] [--ffmpeg ffmpeg]
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "core/protocol/records.hpp"
#include "testing/loopback_pipeline.hpp"
#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/asio_executor.hpp"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr int kDistinctFrames = 60;

constexpr const char* kUsage =
    "pipeline_bench [--seconds S] [--size WxH] [--fps N] [--content pattern|motion] [--host-cpus LIST] "
    "[--peer-cpus LIST] [--bitrate BPS] [--ffmpeg PATH]";

struct Options : CommonOptions, TimedRunOptions {};

Options parse(int argc, char** argv) {
    Options o;
    o.bitrate = 20'000'000;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        return o.TimedRunOptions::parse(name, value);
    });
    return o;
}

class Samples {
public:
    void add(double v) {
        std::lock_guard lock(m_);
        ms_.push_back(v);
    }
    void clear() {
        std::lock_guard lock(m_);
        ms_.clear();
    }
    double p(double q) {
        std::lock_guard lock(m_);
        return percentile(ms_, q);
    }

private:
    std::mutex m_;
    std::vector<double> ms_;
};

// Frames from memory at a steady rate, forth and back through the set so the motion has no jump.
class ReplaySource final : public FrameSource, public std::enable_shared_from_this<ReplaySource> {
public:
    ReplaySource(std::shared_ptr<Executor> queue, std::vector<PixelBufferRef> frames, int fps)
        : queue_(std::move(queue)), frames_(std::move(frames)), intervalUs_(1'000'000 / uint64_t(fps)) {}

    void setOnFrame(FrameHandler handler) override {
        std::lock_guard g(m_);
        onFrame_ = std::move(handler);
    }
    void setOnError(ErrorHandler) override {}
    void start(StartCompletion completion) override {
        {
            std::lock_guard g(m_);
            running_ = true;
        }
        queue_->post([weak = weak_from_this(), completion = std::move(completion)] {
            if (auto self = weak.lock()) {
                self->timer_ = self->queue_->makeTimer();
                self->timer_->scheduleRepeating(self->intervalUs_, [weak] {
                    if (auto s = weak.lock()) s->tick();
                }, 0, 0);
            }
            if (completion) completion(std::nullopt);
        });
    }
    void stop() override {
        {
            std::lock_guard g(m_);
            running_ = false;
        }
        runSync(*queue_, [this] { timer_.reset(); });
    }
    void setFrameRate(int) override {}
    int64_t delivered() const { return delivered_.load(); }

private:
    void tick() {
        std::lock_guard g(m_);
        if (!running_ || !onFrame_) return;
        const size_t n = frames_.size();
        const size_t step = next_++ % (2 * n - 2 > 0 ? 2 * n - 2 : 1);
        onFrame_(frames_[step < n ? step : 2 * n - 2 - step], Clock::nowUs());
        delivered_ += 1;
    }

    std::shared_ptr<Executor> queue_;
    std::vector<PixelBufferRef> frames_;
    uint64_t intervalUs_;
    std::mutex m_;
    bool running_ = false;   // guarded by m_
    FrameHandler onFrame_;   // guarded by m_
    std::unique_ptr<Timer> timer_;  // queue only
    size_t next_ = 0;
    std::atomic<int64_t> delivered_{0};
};

// The video channel, noting when each frame's last byte has been written to the socket.
// On the channel's queue only.
class TimedOutput final : public VideoOutput {
public:
    TimedOutput(std::shared_ptr<Channel> channel, Samples& hostMs) : channel_(std::move(channel)), hostMs_(hostMs) {
        channel_->onDrain = [this] { written(); };
    }
    bool send(uint8_t rawType, std::vector<std::vector<uint8_t>> parts) override {
        if (rawType == rawValue(MsgType::videoFrame) && !parts.empty()) {
            if (auto header = Wire::load<KVVideoFrameHeader>(parts[0], 0)) unwritten_.push_back(header->captureUs);
        }
        const bool ok = channel_->send(rawType, std::move(parts));
        if (channel_->queuedBytes() == 0) written();
        return ok;
    }

private:
    void written() {
        const uint64_t now = Clock::nowUs();
        for (uint64_t captureUs : unwritten_) hostMs_.add(static_cast<double>(now - captureUs) / 1000.0);
        unwritten_.clear();
    }
    std::shared_ptr<Channel> channel_;
    Samples& hostMs_;
    std::deque<uint64_t> unwritten_;
};

// Encoding the same frames one at a time at the frame rate, with nothing else running.
void bareEncode(const Options& o, const std::vector<PixelBufferRef>& frames, EncoderPreset preset, Samples& ms) {
    H264Encoder encoder(EncoderConfig{o.size.width, o.size.height, o.fps, o.bitrate, H264Profile::constrainedHigh, 34},
                        preset);
    if (encoder.start()) return;
    const auto interval = std::chrono::microseconds(1'000'000 / o.fps);
    auto next = std::chrono::steady_clock::now();
    const int count = 3 * o.fps;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += interval;
        const size_t n = frames.size(), step = size_t(i) % (2 * n - 2 > 0 ? 2 * n - 2 : 1);
        std::promise<void> done;
        const double t0 = nowMs();
        encoder.encode(frames[step < n ? step : 2 * n - 2 - step], uint64_t(i + 1) * 16'667, i == 0, [&](EncodeResult) {
            if (i >= o.fps / 2) ms.add(nowMs() - t0);  // after half a second of warm-up
            done.set_value();
        });
        done.get_future().wait();
    }
    encoder.invalidate();
}

struct Goals {
    double hostP95;
    std::optional<double> e2eP50;
    double e2eP95;
};

Goals goalsFor(const Options& o) {
    const double period = 1000.0 / o.fps;
    if (o.size.width == 2732 && o.size.height == 2048 && o.content == Content::motion) return {period, 12, 20};
    if (o.size.width == 2048 && o.size.height == 1536 && o.content == Content::motion) return {12, 12, period};
    if (o.size.width == 1024 && o.size.height == 768 && o.content == Content::pattern) return {period, std::nullopt, 8};
    return {period, std::nullopt, 2 * period};
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    o.cpus.fillDefaults();
    quietLogs();

    // Threads inherit the mask of the thread that starts them: the peer's pool first, then all else.
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    IoPool peerPool(2);
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    IoPool hostPool(3);

    std::vector<PixelBufferRef> frames = makeFrames(o.content, o.size, o.fps, kDistinctFrames, o.ffmpeg);
    if (frames.size() != size_t(kDistinctFrames)) {
        std::fprintf(stderr, "pipeline_bench: cannot make the frames (is %s there?)\n", o.ffmpeg.c_str());
        return 1;
    }

    Samples hostMs, e2eMs;
    auto runEncodeMs = std::make_shared<Samples>();
    std::atomic<int64_t> droppedBeforeEncode{0};
    std::atomic<H264Encoder*> liveEncoder{nullptr};
    auto sourceQueue = std::make_shared<AsioExecutor>(hostPool.context(), "kv.testpattern");
    auto source = std::make_shared<ReplaySource>(sourceQueue, frames, o.fps);

    LoopbackPipeline::Options options;
    options.videoQueue = std::make_shared<AsioExecutor>(hostPool.context(), "kv.s.video");
    options.peerQueue = std::make_shared<AsioExecutor>(peerPool.context(), "kv.fake");
    options.sourceQueue = sourceQueue;
    options.source = source;
    options.width = o.size.width;
    options.height = o.size.height;
    options.fps = o.fps;
    options.bitrate = o.bitrate;
    // The session's encoder, timing each encode from the call to its result.
    class TimedEncoder final : public StreamEncoder {
    public:
        TimedEncoder(std::unique_ptr<H264Encoder> inner, std::shared_ptr<Samples> ms)
            : inner_(std::move(inner)), ms_(std::move(ms)) {}
        void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool key, Handler handler) override {
            const double t0 = nowMs();
            inner_->encode(frame, ptsUs, key, [ms = ms_, t0, handler = std::move(handler)](EncodeResult r) {
                ms->add(nowMs() - t0);
                handler(std::move(r));
            });
        }
        void setFrameRate(int fps) override { inner_->setFrameRate(fps); }
        void setBitrate(int bps) override { inner_->setBitrate(bps); }
        void invalidate() override { inner_->invalidate(); }

    private:
        std::unique_ptr<H264Encoder> inner_;
        std::shared_ptr<Samples> ms_;
    };
    options.encoderFactory = [&liveEncoder, runEncodeMs](const EncoderConfig& config)
        -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
        auto encoder = std::make_unique<H264Encoder>(config);
        if (auto error = encoder->start()) return *error;
        liveEncoder = encoder.get();
        return std::unique_ptr<StreamEncoder>(std::make_unique<TimedEncoder>(std::move(encoder), runEncodeMs));
    };
    options.output = [&hostMs](std::shared_ptr<Channel> channel) {
        return std::make_shared<TimedOutput>(std::move(channel), hostMs);
    };
    options.onStats = [&](const LiveStats& s) { droppedBeforeEncode += s.droppedBeforeEncode; };
    options.onDecoded = [&](uint64_t captureUs, uint64_t decodedUs) {
        e2eMs.add(static_cast<double>(decodedUs - captureUs) / 1000.0);
    };
    std::string error;
    auto pipeline = LoopbackPipeline::start(std::move(options), error);
    if (!pipeline) {
        std::fprintf(stderr, "pipeline: %s\n", error.c_str());
        return 1;
    }
    const auto& tablet = pipeline->tablet();

    // The first second warms up (first key frame, preset steps); only the rest is measured.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t decoded0 = tablet->snapshot().framesDecoded;
    const int64_t captured0 = source->delivered();
    const int64_t dropped0 = droppedBeforeEncode.load();
    const CpuSplit cpu0 = cpuByThread(o.cpus.peer);
    const uint64_t t0 = Clock::nowUs();
    hostMs.clear();
    e2eMs.clear();
    runEncodeMs->clear();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const double elapsed = static_cast<double>(Clock::nowUs() - t0) / 1e6;
    const int64_t delivered = tablet->snapshot().framesDecoded - decoded0;
    const int64_t captured = source->delivered() - captured0;
    const CpuSplit cpu1 = cpuByThread(o.cpus.peer);
    const EncoderPreset settled = liveEncoder.load() ? liveEncoder.load()->preset() : EncoderTuning::startPreset;
    const int64_t dropped = droppedBeforeEncode.load() - dropped0;
    pipeline->stop();
    const auto counters = tablet->snapshot();

    Samples bareMs;
    bareEncode(o, frames, settled, bareMs);

    const Goals goals = goalsFor(o);
    const double fps = static_cast<double>(delivered) / elapsed;
    const double hostP50 = hostMs.p(0.5), hostP95 = hostMs.p(0.95);
    const double e2eP50 = e2eMs.p(0.5), e2eP95 = e2eMs.p(0.95);
    const double bareP50 = bareMs.p(0.5), bareP95 = bareMs.p(0.95);
    const double perFrame = delivered > 0 ? 1.0 / double(delivered) : 0;
    std::printf("pipeline %d×%d %s @ %d fps, %.1f s measured after 1 s; host CPUs %s, peer CPUs %s\n", o.size.width,
                o.size.height, contentName(o.content), o.fps, elapsed, cpuListText(o.cpus.host).c_str(),
                cpuListText(o.cpus.peer).c_str());
    std::printf("  (machine shared with other work: figures are noisy)\n");
    std::printf("  delivered fps            %8.1f        (goal %d.0: %s)\n", fps, o.fps,
                verdict(fps >= o.fps - 0.05));
    std::printf("  dropped                  %8lld        (captured − decoded %lld; goal 0: %s)\n",
                static_cast<long long>(dropped), static_cast<long long>(captured - delivered),
                verdict(dropped == 0 && captured - delivered <= 2));
    std::printf("  host latency p50/p95     %8.2f / %.2f ms   (capture → last byte written; goal p95 ≤ %.1f: %s)\n",
                hostP50, hostP95, goals.hostP95, verdict(hostP95 <= goals.hostP95));
    if (goals.e2eP50) {
        std::printf("  end-to-end p50/p95       %8.2f / %.2f ms   (capture → decoded; goal p50 ≤ %.1f, p95 ≤ %.1f: %s)\n",
                    e2eP50, e2eP95, *goals.e2eP50, goals.e2eP95,
                    verdict(e2eP50 <= *goals.e2eP50 && e2eP95 <= goals.e2eP95));
    } else {
        std::printf("  end-to-end p50/p95       %8.2f / %.2f ms   (capture → decoded; goal p95 ≤ %.1f: %s)\n", e2eP50,
                    e2eP95, goals.e2eP95, verdict(e2eP95 <= goals.e2eP95));
    }
    std::printf("  encode in the run        %8.2f / %.2f ms   (encoder call → result, p50/p95)\n", runEncodeMs->p(0.5),
                runEncodeMs->p(0.95));
    std::printf("  bare encode p50/p95      %8.2f / %.2f ms   (own phase, same frames, preset %s)\n", bareP50, bareP95,
                std::string(encoderPresetName(settled)).c_str());
    std::printf("  host latency ÷ bare      %8.2f        (p50 over p50)\n", bareP50 > 0 ? hostP50 / bareP50 : 0);
    std::printf("  CPU per frame            %8.2f ms host, %.2f ms peer\n", (cpu1.hostMs - cpu0.hostMs) * perFrame,
                (cpu1.peerMs - cpu0.peerMs) * perFrame);
    std::printf("  preset settled on        %8s\n", std::string(encoderPresetName(settled)).c_str());
    std::printf("  decode errors            %8lld\n", static_cast<long long>(counters.decodeErrors));
    return 0;
}
