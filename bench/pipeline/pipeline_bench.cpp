// The whole video road on loopback, pinned to 2 cores: test pattern → streamer → Channel over TCP
// → a receiver that decodes and acknowledges. Reports delivered fps, host processing latency
// (capture → last byte written), end-to-end latency (capture → decoded) and CPU per frame, and,
// measured in the same run, the bare encode time the pipeline's latency is compared with.
//
//   pipeline_bench [seconds=10] [width=2048] [height=1536] [fps=60]
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/protocol/records.hpp"
#include "core/testing/loopback_pipeline.hpp"
#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "core/util/timed_samples.hpp"
#include "core/video/h264_encoder.hpp"
#include "core/video/test_pattern_renderer.hpp"
#include "platform/runtime/asio_executor.hpp"

using namespace kelvo;

namespace {

constexpr int kBitrate = 20'000'000;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Samples {
    std::mutex m;
    std::vector<double> ms;
    void add(double v) {
        std::lock_guard<std::mutex> lock(m);
        ms.push_back(v);
    }
    double p(double q) {
        std::lock_guard<std::mutex> lock(m);
        return TimedSamples::percentile(q, ms).value_or(0);
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m);
        return ms.size();
    }
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

// The session's encoder, timing each encode from the call to its result inside the pipeline run.
class TimedEncoder final : public StreamEncoder {
public:
    TimedEncoder(std::unique_ptr<StreamEncoder> inner, std::shared_ptr<Samples> encodeMs)
        : inner_(std::move(inner)), encodeMs_(std::move(encodeMs)) {}
    void encode(const PixelBufferRef& frame, uint64_t ptsUs, bool key, Handler handler) override {
        const uint64_t startUs = Clock::nowUs();
        inner_->encode(frame, ptsUs, key, [samples = encodeMs_, startUs, handler = std::move(handler)](EncodeResult r) {
            samples->add(static_cast<double>(Clock::nowUs() - startUs) / 1000.0);
            handler(std::move(r));
        });
    }
    void setFrameRate(int fps) override { inner_->setFrameRate(fps); }
    void setBitrate(int bps) override { inner_->setBitrate(bps); }
    void invalidate() override { inner_->invalidate(); }

private:
    std::unique_ptr<StreamEncoder> inner_;
    std::shared_ptr<Samples> encodeMs_;
};

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// Bare encoding of the same kind of frames, one at a time (no queueing): the time from handing a
// rendered frame to the encoder until its result is back, conversion included.
void measureBareEncode(int width, int height, int fps, int frames, Samples& encodeMs, double& cpuPerFrameMs) {
    H264Encoder encoder(EncoderConfig{width, height, fps, kBitrate, H264Profile::constrainedHigh, 34});
    if (auto error = encoder.start()) {
        std::fprintf(stderr, "encoder: %s\n", error->description().c_str());
        std::exit(1);
    }
    TestPatternRenderer renderer(width, height, "bench");
    constexpr int kWarmUp = 10;
    double cpu = 0;
    for (int i = 0; i < frames + kWarmUp; ++i) {
        PixelBufferRef buffer = renderer.render(i);
        std::promise<void> done;
        const double cpu0 = cpuSeconds();
        const uint64_t startUs = Clock::nowUs();
        encoder.encode(buffer, startUs, i == 0, [&](EncodeResult) {
            if (i >= kWarmUp) encodeMs.add(static_cast<double>(Clock::nowUs() - startUs) / 1000.0);
            done.set_value();
        });
        done.get_future().wait();
        if (i >= kWarmUp) cpu += cpuSeconds() - cpu0;
    }
    cpuPerFrameMs = cpu * 1000.0 / frames;
    encoder.invalidate();
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int width = argc > 2 ? std::atoi(argv[2]) : 2048;
    const int height = argc > 3 ? std::atoi(argv[3]) : 1536;
    const int fps = argc > 4 ? std::atoi(argv[4]) : 60;

    // Two cores for every thread of the run (threads inherit the mask).
    cpu_set_t cores;
    CPU_ZERO(&cores);
    CPU_SET(0, &cores);
    CPU_SET(1, &cores);
    if (sched_setaffinity(0, sizeof cores, &cores) != 0) std::perror("sched_setaffinity");
    Log::setMinLevel(LogLevel::warn);
    LogStore::shared().setSystemLogEnabled(false);

    Samples bareMs;
    double bareCpuMs = 0;
    measureBareEncode(width, height, fps, 120, bareMs, bareCpuMs);

    Samples hostMs;
    Samples e2eMs;
    auto runEncodeMs = std::make_shared<Samples>();
    std::atomic<int64_t> droppedBeforeEncode{0};
    LoopbackPipeline::Options options;
    options.videoQueue = AsioExecutor::makeQueue("kv.s.video");
    options.peerQueue = AsioExecutor::makeQueue("kv.fake");
    options.sourceQueue = AsioExecutor::makeQueue("kv.testpattern");
    options.width = width;
    options.height = height;
    options.fps = fps;
    options.bitrate = kBitrate;
    options.encoderFactory = [real = H264StreamEncoder::factory(), runEncodeMs](const EncoderConfig& config)
        -> Expected<std::unique_ptr<StreamEncoder>, EncoderError> {
        auto made = real(config);
        if (!made) return made.error();
        return std::unique_ptr<StreamEncoder>(std::make_unique<TimedEncoder>(std::move(made.value()), runEncodeMs));
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
    const auto& receiver = pipeline->receiver();

    // The first second warms up (first key frame, caches); only the rest is measured.
    sleepSeconds(1.0);
    const int64_t decoded0 = receiver->counters().decoded;
    const double cpu0 = cpuSeconds();
    const uint64_t t0 = Clock::nowUs();
    {
        std::scoped_lock lock(hostMs.m, e2eMs.m, runEncodeMs->m);
        hostMs.ms.clear();
        e2eMs.ms.clear();
        runEncodeMs->ms.clear();
    }
    sleepSeconds(seconds);
    const double elapsed = static_cast<double>(Clock::nowUs() - t0) / 1e6;
    const int64_t delivered = receiver->counters().decoded - decoded0;
    const double cpu = cpuSeconds() - cpu0;
    pipeline->stop();
    const auto counters = receiver->counters();

    const double deliveredFps = static_cast<double>(delivered) / elapsed;
    const double hostP50 = hostMs.p(0.5), hostP95 = hostMs.p(0.95);
    const double bareP50 = bareMs.p(0.5), bareP95 = bareMs.p(0.95);
    const double runP50 = runEncodeMs->p(0.5), runP95 = runEncodeMs->p(0.95);
    const double ratio = runP50 > 0 ? hostP50 / runP50 : 0;
    std::printf("pipeline %d×%d @ %d fps, %.1f s measured, 2 cores\n", width, height, fps, elapsed);
    std::printf("  delivered fps          %8.1f   (goal %d)\n", deliveredFps, fps);
    std::printf("  host latency p50/p95   %8.2f / %.2f ms   (capture → last byte written)\n", hostP50, hostP95);
    std::printf("  end-to-end p50/p95     %8.2f / %.2f ms   (capture → decoded; goal p95 < 33)\n", e2eMs.p(0.5),
                e2eMs.p(0.95));
    std::printf("  CPU per frame          %8.2f ms   (host and receiver; bare encode alone %.2f ms)\n",
                delivered > 0 ? cpu * 1000.0 / static_cast<double>(delivered) : 0.0, bareCpuMs);
    std::printf("  encode in the run      %8.2f / %.2f ms   (encoder call → result, p50/p95)\n", runP50, runP95);
    std::printf("  encode alone p50/p95   %8.2f / %.2f ms   (one frame at a time, idle cores)\n", bareP50, bareP95);
    std::printf("  host latency / encode  %8.2f   (p50 over p50 in the run; goal < 1.20; over idle encode %.2f)\n",
                ratio, bareP50 > 0 ? hostP50 / bareP50 : 0);
    std::printf("  dropped before encode  %8lld; decode errors %lld\n", static_cast<long long>(droppedBeforeEncode.load()),
                static_cast<long long>(counters.decodeErrors));
    return 0;
}
