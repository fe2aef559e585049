// Screen capture and conversion to NV12 on a real X server: a virtual monitor whose whole picture
// changes every frame (a window of stripes drawn by another client), read by our capture source
// through shared memory, against ffmpeg's x11grab reading the same area into NV12 in the same run.
// Both roads run on the host CPUs; the X server and the drawing client on the peer CPUs. Prints the
// frames each road delivered and its CPU per frame (and the X server's, which does the copies of
// both), as a ratio.
//
//   capture_bench [--seconds 10] [--size 2048x1536] [--fps 60] [--host-cpus 0,1] [--peer-cpus 2,3]
//                 [--ffmpeg ffmpeg]
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "animated_window.hpp"
#include "bench_desktop.hpp"
#include "core/util/log.hpp"
#include "platform/x11/screen_capture_source.hpp"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr const char* kUsage =
    "capture_bench [--seconds S] [--size WxH] [--fps N] [--host-cpus LIST] [--peer-cpus LIST] [--ffmpeg PATH]";

struct Options : CommonOptions, TimedRunOptions {};

Options parse(int argc, char** argv) {
    Options o;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        return o.TimedRunOptions::parse(name, value);
    });
    return o;
}

struct RoadFigures {
    double frames = 0;
    double cpuMs = 0;     // the road's own process or threads
    double serverMs = 0;  // the X server meanwhile
    double seconds = 0;
    double cpuPerFrame() const { return frames > 0 ? cpuMs / frames : 0; }
    double serverPerFrame() const { return frames > 0 ? serverMs / frames : 0; }
};

RoadFigures ourRoad(const Options& o, BenchDesktop& desktop, DisplayId id) {
    std::atomic<int64_t> frames{0};
    ScreenCaptureSource::Environment env;
    env.xDisplay = desktop.server->display();
    env.displayBounds = ScreenCaptureSource::boundsFrom(desktop.displays);
    auto source = ScreenCaptureSource::make({id, o.size.width, o.size.height, o.fps, false, std::nullopt}, env);
    source->setOnFrame([&frames](const PixelBufferRef&, uint64_t) { ++frames; });
    std::promise<std::optional<SourceError>> started;
    source->start([&started](std::optional<SourceError> e) { started.set_value(std::move(e)); });
    if (auto error = started.get_future().get()) {
        std::fprintf(stderr, "capture_bench: capture did not start: %s\n", error->description.c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up: pools, first reads
    const int64_t f0 = frames;
    const double cpu0 = cpuByThread(o.cpus.peer).hostMs, server0 = desktop.serverCpuMs(), t0 = nowMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    RoadFigures r;
    r.frames = double(frames - f0);
    r.cpuMs = cpuByThread(o.cpus.peer).hostMs - cpu0;
    r.serverMs = desktop.serverCpuMs() - server0;
    r.seconds = (nowMs() - t0) / 1000;
    source->stop();
    return r;
}

RoadFigures ffmpegRoad(const Options& o, BenchDesktop& desktop, Rect area) {
    const std::string input = desktop.grabInput(area);
    FfmpegRun ffmpeg;
    if (!ffmpeg.start({o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "fatal", "-f", "x11grab", "-framerate",
                       std::to_string(o.fps), "-video_size",
                       std::to_string(o.size.width) + "x" + std::to_string(o.size.height), "-draw_mouse", "0", "-i",
                       input, "-t", std::to_string(o.seconds + 2), "-fps_mode", "passthrough", "-pix_fmt", "nv12",
                       "-f", "null", "-"})) {
        std::fprintf(stderr, "capture_bench: cannot start %s\n", o.ffmpeg.c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t f0 = ffmpeg.frames();
    const double cpu0 = ffmpeg.cpuMs(), server0 = desktop.serverCpuMs(), t0 = nowMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    RoadFigures r;
    r.cpuMs = ffmpeg.cpuMs() - cpu0;
    r.serverMs = desktop.serverCpuMs() - server0;
    r.seconds = (nowMs() - t0) / 1000;
    r.frames = double(ffmpeg.frames() - f0);
    if (!ffmpeg.wait() || cpu0 < 0) {
        std::fprintf(stderr, "capture_bench: ffmpeg failed\n");
        std::exit(1);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    o.cpus.fillDefaults();
    quietLogs();
    // The X server, its display thread and the drawing client inherit the peer's CPUs.
    auto desktop = BenchDesktop::startOrExit("capture_bench", o.cpus.peer);
    auto monitor = desktop->addMonitor(o.size, o.fps);
    if (!monitor) {
        std::fprintf(stderr, "capture_bench: cannot make a %d×%d virtual monitor\n", o.size.width, o.size.height);
        return 1;
    }
    const DisplayId id = monitor->displayID();
    const Rect area = desktop->displays->bounds(id);
    auto window = AnimatedWindow::start(desktop->server->display(), int(area.x), int(area.y), o.size.width, o.size.height, o.fps);
    if (!window) {
        std::fprintf(stderr, "capture_bench: cannot draw on the X server\n");
        return 1;
    }

    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    const RoadFigures ours = ourRoad(o, *desktop, id);
    const RoadFigures ffmpeg = ffmpegRoad(o, *desktop, area);

    const double ratio = ffmpeg.cpuPerFrame() > 0 ? ours.cpuPerFrame() / ffmpeg.cpuPerFrame() : 0;
    const double withServer = ffmpeg.cpuPerFrame() + ffmpeg.serverPerFrame() > 0
                                  ? (ours.cpuPerFrame() + ours.serverPerFrame()) /
                                        (ffmpeg.cpuPerFrame() + ffmpeg.serverPerFrame())
                                  : 0;
    std::printf("capture %d×%d @ %d fps of a virtual monitor changing every frame, %.1f s per road after 1 s; "
                "host CPUs %s, X server and drawing on %s\n",
                o.size.width, o.size.height, o.fps, o.seconds, cpuListText(o.cpus.host).c_str(),
                cpuListText(o.cpus.peer).c_str());
    std::printf("  (machine shared with other work: figures are noisy)\n");
    std::printf("  ours    %7.1f fps   CPU/frame %6.2f ms   X server/frame %6.2f ms\n", ours.frames / ours.seconds,
                ours.cpuPerFrame(), ours.serverPerFrame());
    std::printf("  ffmpeg  %7.1f fps   CPU/frame %6.2f ms   X server/frame %6.2f ms\n", ffmpeg.frames / ffmpeg.seconds,
                ffmpeg.cpuPerFrame(), ffmpeg.serverPerFrame());
    std::printf("  CPU per frame ours ÷ ffmpeg   %5.2f   (goal ≤ 0.70: %s)\n", ratio, verdict(ratio > 0 && ratio <= 0.7));
    std::printf("  the same with the X server    %5.2f\n", withServer);
    std::printf("  frames drawn                  %u\n", window->framesDrawn());
    window.reset();
    return 0;
}
