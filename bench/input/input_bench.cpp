// The road of one touch while video streams: a scripted tablet writes touch-frame messages onto a
// Channel over loopback TCP → the control channel on "kv.s.ctrl" → the input service on
// "kv.input" → the system sink → a test X server. Meanwhile the test pattern streams at 60 fps to
// a simulated tablet in the same process. The host runs on two CPUs (the decoding tablet on two
// others where there are four).
//
// A frame's latency runs from just before its bytes are written to the moment the input queue has
// finished it; the sink's every post ends with a round trip to the X server, so for frames that
// injected something that is when the server has the event. Reports p50/p99 of those frames and of
// all frames, the same against a shorter reference run without video, and how many frames waited
// behind "kv.input" (which must not grow).
//
//   input_bench [--frames 10000] [--rate 120] [--size 2048x1536] [--fps 60] [--host-cpus 0,1]
//               [--peer-cpus 2,3] [--content pattern|motion]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "core/input/input_service.hpp"
#include "testing/loopback_pair.hpp"
#include "testing/loopback_pipeline.hpp"
#include "testing/x_server.hpp"
#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/x11/pen_tablet_event_sink.hpp"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr const char* kUsage =
    "input_bench [--frames N] [--rate HZ] [--size WxH] [--fps N] [--host-cpus LIST] [--peer-cpus LIST] "
    "[--content pattern|motion] [--bitrate BPS]";

struct Options : CommonOptions {
    int frames = 10'000;
    int rate = 120;  // touch frames per second, as the tablet sends them
    int fps = 60;
    SplitCpus cpus;
};

Options parse(int argc, char** argv) {
    Options o;
    o.content = Content::pattern;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        if (name == "--frames") {
            o.frames = std::atoi(value.c_str());
            return o.frames >= 100;
        }
        if (name == "--rate") {
            o.rate = std::atoi(value.c_str());
            return o.rate >= 1 && o.rate <= 1000;
        }
        if (name == "--fps") {
            o.fps = std::atoi(value.c_str());
            return o.fps >= 1 && o.fps <= 240;
        }
        return o.cpus.parse(name, value);
    });
    return o;
}

// Notes whether anything was posted since the last look.
class TimingSink final : public EventSink {
public:
    explicit TimingSink(std::shared_ptr<EventSink> inner) : inner_(std::move(inner)) {}
    void post(const SynthEvent& event, EventFlags flags) override {
        inner_->post(event, flags);
        posted_ = true;
    }
    void declareUserActivity() override { inner_->declareUserActivity(); }
    bool takePosted() { return std::exchange(posted_, false); }

private:
    std::shared_ptr<EventSink> inner_;
    bool posted_ = false;  // input queue only
};

// Swipes across the middle of the glass (down, 40 moves, up) and taps, one finger.
std::vector<TouchFrame> swipeAndTapScript(int count) {
    std::vector<TouchFrame> out;
    auto frame = [&](TouchPhase phase, double x, double y) {
        TouchFrame f;
        f.touches.push_back({1, phase, phase == TouchPhase::began ? 1 : 0, {x, y}, 10, 2});
        out.push_back(std::move(f));
    };
    for (int cycle = 0; int(out.size()) < count; ++cycle) {
        const double y = 0.2 + 0.6 * double(cycle % 7) / 6;
        frame(TouchPhase::began, 0.15, y);
        for (int i = 1; i <= 40; ++i) frame(TouchPhase::moved, 0.15 + 0.7 * i / 40, y);
        frame(TouchPhase::ended, 0.85, y);
        const double tx = 0.3 + 0.4 * double(cycle % 5) / 4;
        frame(TouchPhase::began, tx, 0.5);
        frame(TouchPhase::ended, tx, 0.5);
    }
    out.resize(size_t(count));
    // Never leave a finger down at the end.
    out.back().touches[0].phase = TouchPhase::ended;
    return out;
}

struct Run {
    bool ok = false;
    size_t finished = 0;
    std::vector<double> injectedMs, allMs;
    std::vector<double> receivedMs;  // bytes on the channel → a whole message on "kv.s.ctrl"
    // Frames behind "kv.input" when a frame arrived: the most and the mean, over the first and
    // the last quarter of the script.
    int firstQuarterMax = 0, lastQuarterMax = 0;
    double firstQuarterMean = 0, lastQuarterMean = 0;
};

// Plays the script through a fresh control channel and input service into `system`. The host's
// two queues run on `interactivePool`, as in the program; the tablet writes its touches from a
// thread of their own (`touchPool`), as a tablet's input does not wait for its decoder.
Run runInput(int frames, int rate, const std::shared_ptr<EventSink>& system, IoPool& interactivePool,
             IoPool& touchPool) {
    Run run;
    auto sink = std::make_shared<TimingSink>(system);
    auto ctrlQueue = std::make_shared<AsioExecutor>(interactivePool.context(), "kv.s.ctrl");
    auto inputQueue = std::make_shared<AsioExecutor>(interactivePool.context(), "kv.input");
    auto tabletQueue = std::make_shared<AsioExecutor>(touchPool.context(), "kv.fake.ctrl");
    // The tablet's 1024 × 768 points driving a 4:3 region of the 1920 × 1080 screen.
    CoordinateMapper mapper{{240, 0, 1440, 1080}, {1024, 768}};
    auto input = std::make_shared<InputService>(sink, mapper, InputParams{}, ResolvedProfile{}, InputMode::touch,
                                                inputQueue);
    auto pair = LoopbackPair::connect(ctrlQueue, tabletQueue);
    if (!pair) {
        std::fprintf(stderr, "input_bench: no loopback connection\n");
        return run;
    }
    const size_t total = size_t(frames);
    std::vector<int> waiting;  // control queue only, until drained
    waiting.reserve(total);
    run.injectedMs.reserve(total);
    run.allMs.reserve(total);
    std::atomic<int> outstanding{0};
    std::atomic<size_t> finished{0};

    pair->host->onMessage = [&](WireMessage message) {
        if (message.type() != MsgType::touchFrame) return;
        auto frame = TouchFrame::parse(message.payload);
        if (!frame) return;
        const uint64_t sentUs = frame->timestampUs;
        run.receivedMs.push_back(double(Clock::nowUs() - sentUs) / 1000.0);
        waiting.push_back(outstanding.fetch_add(1));
        input->handle(std::move(message));
        // The input queue is serial: this runs once the frame's events are with the server.
        inputQueue->post([&, sentUs] {
            const double ms = double(Clock::nowUs() - sentUs) / 1000.0;
            run.allMs.push_back(ms);
            if (sink->takePosted()) run.injectedMs.push_back(ms);
            outstanding.fetch_sub(1);
            finished.fetch_add(1);
        });
    };
    pair->host->start();
    pair->peer->start();

    const auto script = swipeAndTapScript(frames);
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / rate);
    auto next = std::chrono::steady_clock::now();
    for (const TouchFrame& frame : script) {
        std::this_thread::sleep_until(next);
        next += interval;
        // Stamped and written on the tablet's queue, so the stamp is taken just before the write.
        tabletQueue->post([&pair, frame = TouchFrame(frame)]() mutable {
            frame.timestampUs = Clock::nowUs();
            pair->peer->send(MsgType::touchFrame, frame.encode());
        });
    }
    for (int i = 0; i < 5000 && finished.load() < total; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    input->stop();
    pair->peer->close();
    pair->host->close();
    ctrlQueue->drain();
    inputQueue->drain();
    tabletQueue->drain();
    // Both queues are drained and deliver nothing more: the samples are ours now.
    auto quarter = [&](size_t q, int& most, double& mean) {
        const size_t from = waiting.size() * q / 4, to = waiting.size() * (q + 1) / 4;
        double sum = 0;
        for (size_t i = from; i < to; ++i) {
            most = std::max(most, waiting[i]);
            sum += waiting[i];
        }
        mean = to > from ? sum / double(to - from) : 0;
    };
    quarter(0, run.firstQuarterMax, run.firstQuarterMean);
    quarter(3, run.lastQuarterMax, run.lastQuarterMean);
    run.finished = finished.load();
    run.ok = true;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    quietLogs();

    // The X server is the desktop's, not ours: it keeps every CPU.
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) {
        std::fprintf(stderr, "input_bench: no X server: %s\n", whyNot.c_str());
        return 1;
    }

    o.cpus.fillDefaults();
    // Threads inherit the mask of the thread that starts them: the tablet's pool first, then the host.
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    IoPool peerPool(2);
    IoPool touchPool(1, IoPool::Urgency::interactive);  // a tablet's touches do not wait for its decoder
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    IoPool hostPool(3);
    IoPool interactivePool(1, IoPool::Urgency::interactive);  // as IoPool::interactive()

    auto system =
        makeX11EventSink(server->display(), std::make_shared<AsioExecutor>(interactivePool.context(), "kv.input"));
    if (!system) {
        std::fprintf(stderr, "input_bench: no XTest on the test server\n");
        return 1;
    }
    std::printf("input %d touch frames at %d Hz (swipes and taps), video %d×%d %s @ %d fps; host CPUs %s, tablet CPUs %s\n",
                o.frames, o.rate, o.size.width, o.size.height, contentName(o.content), o.fps,
                cpuListText(o.cpus.host).c_str(), cpuListText(o.cpus.peer).c_str());
    std::printf("  (machine shared with other work: figures are noisy)\n");

    // Reference: the same road with no video, a shorter script.
    const Run reference = runInput(std::min(o.frames, 2000), o.rate, system, interactivePool, touchPool);
    if (!reference.ok) return 1;

    // Video at the stream's rate, as during a session.
    LoopbackPipeline::Options video;
    video.videoQueue = std::make_shared<AsioExecutor>(hostPool.context(), "kv.s.video");
    video.peerQueue = std::make_shared<AsioExecutor>(peerPool.context(), "kv.fake");
    video.sourceQueue = std::make_shared<AsioExecutor>(hostPool.context(), "kv.testpattern");
    video.width = o.size.width;
    video.height = o.size.height;
    video.fps = o.fps;
    video.bitrate = o.bitrate;
    std::string error;
    auto pipeline = LoopbackPipeline::start(std::move(video), error);
    if (!pipeline) {
        std::fprintf(stderr, "input_bench: video: %s\n", error.c_str());
        return 1;
    }
    // Let the stream reach its rate before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t decoded0 = pipeline->tablet()->snapshot().framesDecoded;
    const double t0 = nowMs();
    const Run run = runInput(o.frames, o.rate, system, interactivePool, touchPool);
    const double elapsed = (nowMs() - t0) / 1000.0;
    const int64_t decoded = pipeline->tablet()->snapshot().framesDecoded - decoded0;
    pipeline->stop();
    if (!run.ok) return 1;

    const double p50 = percentile(run.injectedMs, 0.5), p99 = percentile(run.injectedMs, 0.99);
    const double refP50 = percentile(reference.injectedMs, 0.5), refP99 = percentile(reference.injectedMs, 0.99);
    std::printf("  frames finished          %8zu of %d\n", run.finished, o.frames);
    std::printf("  injected p50/p99         %8.3f / %.3f ms   (%zu frames; bytes on the channel → X server has the event;"
                " goal p99 < 2: %s)\n",
                p50, p99, run.injectedMs.size(), verdict(p99 < 2.0 && run.finished == size_t(o.frames)));
    std::printf("  of which reaching kv.s.ctrl %5.3f / %.3f ms\n", percentile(run.receivedMs, 0.5),
                percentile(run.receivedMs, 0.99));
    std::printf("  all frames p50/p99       %8.3f / %.3f ms\n", percentile(run.allMs, 0.5), percentile(run.allMs, 0.99));
    std::printf("  without video p50/p99    %8.3f / %.3f ms   (%zu frames, reference run)\n", refP50, refP99,
                reference.injectedMs.size());
    std::printf("  with ÷ without video     %8.2f / %.2f   (p50 / p99)\n", refP50 > 0 ? p50 / refP50 : 0,
                refP99 > 0 ? p99 / refP99 : 0);
    // A backlog that grows shows as a last quarter waiting longer on average, not as one stall.
    const bool grew = run.lastQuarterMean > run.firstQuarterMean + 0.05 || run.finished != size_t(o.frames);
    std::printf("  frames behind kv.input   %8.3f / %.3f mean, %d / %d most   (first / last quarter; goal: no growth: %s)\n",
                run.firstQuarterMean, run.lastQuarterMean, run.firstQuarterMax, run.lastQuarterMax, verdict(!grew));
    std::printf("  video delivered fps      %8.1f\n", double(decoded) / elapsed);
    return 0;
}
