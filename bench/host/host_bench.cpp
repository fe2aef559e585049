// The whole host on a headless Xorg: the session manager in developer mode reaches the simulated
// tablet on loopback, which asks for a display; the host makes a virtual monitor, captures it,
// encodes and streams; the tablet decodes and acknowledges. Another client draws a picture that
// changes every frame onto that monitor, with the frame's number in it, so that the time from
// drawing to decoding is read from each decoded picture. The host runs on the host CPUs; the X
// server, the drawing client and the tablet on the peer CPUs. In the same run the same picture
// goes the way a user would reach for instead: ffmpeg's x11grab encoding with libx264 at our
// encoder's settings to a TCP receiver that decodes (a second ffmpeg, on the peer CPUs).
//
//   host_bench [--seconds 10] [--fps 60] [--host-cpus 0,1] [--peer-cpus 2,3] [--ffmpeg ffmpeg]
//              [--tablet-points 1024x768] [--display-points 1024x768]
// --display-points picks the display preset of that size in points (the largest, 1366x1024, makes
// a 2732×2048 monitor).
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "animated_window.hpp"
#include "bench_desktop.hpp"
#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "testing/fake_ipad.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/clock.hpp"
#include "core/util/stats_store.hpp"
#include "core/video/h264_encoder.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "host/wiring/app_environment.hpp"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr const char* kUsage =
    "host_bench [--seconds S] [--fps N] [--host-cpus LIST] [--peer-cpus LIST] [--ffmpeg PATH] [--tablet-points WxH] "
    "[--display-points WxH]";

struct Options : CommonOptions, TimedRunOptions {
    FrameSize tabletPoints{1024, 768};
    DisplayPreset preset = DisplayPreset::standard;
};

Options parse(int argc, char** argv) {
    Options o;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        if (name == "--tablet-points") {
            auto size = parseSize(value);
            if (size) o.tabletPoints = *size;
            return size.has_value();
        }
        if (name == "--display-points") {
            auto preset = fromRaw<DisplayPreset>(value);
            if (preset) o.preset = *preset;
            return preset.has_value();
        }
        return o.TimedRunOptions::parse(name, value);
    });
    return o;
}

// Glass to decode: the number in a decoded picture names the drawing it shows, and the drawing
// client noted when that was drawn. Pictures come on the tablet's queue.
class GlassMeter {
public:
    // From now on, pictures of `window`, drawn over a monitor `monitorWidth` pixels wide.
    void measure(const AnimatedWindow* window, int monitorWidth) {
        std::lock_guard lock(m_);
        window_ = window;
        monitorWidth_ = monitorWidth;
        samples_.clear();
        hostSamples_.clear();
        unreadable_ = 0;
    }
    void stop() {
        std::lock_guard lock(m_);
        window_ = nullptr;
    }
    void picture(const PixelBuffer& picture, uint64_t captureUs, uint64_t decodedUs) {
        std::lock_guard lock(m_);
        if (!window_ || monitorWidth_ <= 0) return;
        hostSamples_.push_back(double(int64_t(decodedUs) - int64_t(captureUs)) / 1000.0);
        auto number = AnimatedWindow::readNumber(picture, double(picture.width()) / monitorWidth_);
        auto drawn = number ? window_->drawnUs(*number) : std::nullopt;
        if (!drawn) {
            ++unreadable_;
            return;
        }
        samples_.push_back(double(int64_t(decodedUs) - int64_t(*drawn)) / 1000.0);
    }
    double p(double q) const {
        std::lock_guard lock(m_);
        return percentile(samples_, q);
    }
    // Capture → decoded: the same road without the wait for the next capture.
    double captureP(double q) const {
        std::lock_guard lock(m_);
        return percentile(hostSamples_, q);
    }
    size_t count() const {
        std::lock_guard lock(m_);
        return samples_.size();
    }
    size_t unreadable() const {
        std::lock_guard lock(m_);
        return unreadable_;
    }

private:
    mutable std::mutex m_;
    const AnimatedWindow* window_ = nullptr;
    int monitorWidth_ = 0;
    std::vector<double> samples_;
    std::vector<double> hostSamples_;
    size_t unreadable_ = 0;
};

struct HostFigures {
    double fps = 0;
    double seconds = 0;
    int64_t frames = 0;
    double cpuMs = 0;
    double serverMs = 0;
    double glassP50 = 0, glassP95 = 0;
    double captureP50 = 0, captureP95 = 0;
    size_t glassSamples = 0;
    size_t unreadable = 0;
    FakeIPad::Counters counters;
    int monitorWidth = 0, monitorHeight = 0;
    Rect area;
};

struct RoadFigures {
    double fps = 0;
    int64_t frames = 0;
    double cpuMs = 0;
    double serverMs = 0;
};

// A port on 127.0.0.1 the kernel had free a moment ago, for a child that listens on it.
uint16_t freePort() {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

// ffmpeg grabbing `area`, encoding as our encoder does, sending to a decoding ffmpeg over TCP.
RoadFigures ffmpegRoad(const Options& o, BenchDesktop& desktop, const Rect& area, int bitrate) {
    const uint16_t port = freePort();
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    FfmpegRun receiver;
    const bool received = receiver.start({o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "fatal", "-f", "h264", "-i",
                                          url + "?listen=1", "-f", "null", "-"});
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // listening
    const std::string kbps = std::to_string(bitrate / 1000) + "k";
    const std::string bufferKbits = std::to_string(int(bitrate / 1000 * EncoderTuning::vbvSeconds)) + "k";
    const std::string threads = std::to_string(EncoderTuning::threads());
    FfmpegRun sender;
    const bool sent = received && sender.start(
        {o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "fatal", "-f", "x11grab", "-framerate", std::to_string(o.fps),
         "-video_size", std::to_string(int(area.width)) + "x" + std::to_string(int(area.height)), "-draw_mouse", "0",
         "-i", desktop.grabInput(area), "-t", std::to_string(o.seconds + 2), "-fps_mode", "passthrough", "-pix_fmt",
         "nv12", "-c:v", "libx264", "-preset", std::string(encoderPresetName(EncoderTuning::startPreset)), "-tune",
         EncoderTuning::tune, "-profile:v", "high", "-bf", "0", "-crf", std::to_string(EncoderTuning::rateFactor),
         "-maxrate", kbps, "-bufsize", bufferKbits, "-g", "1000000", "-sc_threshold", "0", "-threads", threads,
         "-x264-params", "sliced-threads=1:sync-lookahead=0:aq-mode=0:weightp=0:colorprim=bt709:transfer=bt709:colormatrix=bt709",
         "-f", "h264", url});
    if (!sent) {
        std::fprintf(stderr, "host_bench: cannot start %s\n", o.ffmpeg.c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t f0 = sender.frames();
    const double cpu0 = sender.cpuMs(), server0 = desktop.serverCpuMs(), t0 = nowMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    RoadFigures r;
    r.cpuMs = sender.cpuMs() - cpu0;
    r.serverMs = desktop.serverCpuMs() - server0;
    r.frames = sender.frames() - f0;
    r.fps = double(r.frames) / ((nowMs() - t0) / 1000);
    const bool ok = sender.wait() && receiver.wait();
    if (!ok || cpu0 < 0) {
        std::fprintf(stderr, "host_bench: the ffmpeg road failed\n");
        std::exit(1);
    }
    return r;
}

// The virtual monitor the session made: a display that was not there before.
std::optional<DisplayId> newMonitor(BenchDesktop& desktop, const std::vector<DisplayId>& before) {
    for (DisplayId id : desktop.displays->onlineDisplays()) {
        if (std::find(before.begin(), before.end(), id) == before.end()) return id;
    }
    return std::nullopt;
}

HostFigures hostRoad(const Options& o, BenchDesktop& desktop, MainLoop& loop, SessionManager& manager,
                     FakeIPad& tablet, const std::vector<DisplayId>& before, GlassMeter& glass) {
    HostFigures f;
    // Streaming, on a monitor of its own.
    const double deadline = nowMs() + 30'000;
    std::optional<DisplayId> monitor;
    while (nowMs() < deadline && (!monitor || tablet.snapshot().framesDecoded == 0)) {
        loop.runFor(100'000);
        if (!monitor) monitor = newMonitor(desktop, before);
    }
    if (!monitor || tablet.snapshot().framesDecoded == 0) {
        std::fprintf(stderr, "host_bench: the host did not stream within 30 s (status: %s)\n",
                     manager.status().description().c_str());
        std::exit(1);
    }
    const Rect area = desktop.displays->bounds(*monitor);
    f.monitorWidth = int(area.width);
    f.monitorHeight = int(area.height);
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    auto window = AnimatedWindow::start(desktop.server->display(), int(area.x), int(area.y), f.monitorWidth,
                                   f.monitorHeight, o.fps);
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    if (!window) {
        std::fprintf(stderr, "host_bench: cannot draw on the X server\n");
        std::exit(1);
    }
    loop.runFor(2'000'000);  // warm-up: the encoder settles on its preset

    const int64_t d0 = tablet.snapshot().framesDecoded;
    const double cpu0 = cpuByThread(o.cpus.peer).hostMs, server0 = desktop.serverCpuMs(), t0 = nowMs();
    glass.measure(window.get(), f.monitorWidth);
    loop.runFor(uint64_t(o.seconds * 1e6));
    glass.stop();
    f.seconds = (nowMs() - t0) / 1000;
    f.counters = tablet.snapshot();
    f.frames = f.counters.framesDecoded - d0;
    f.cpuMs = cpuByThread(o.cpus.peer).hostMs - cpu0;
    f.serverMs = desktop.serverCpuMs() - server0;
    f.fps = double(f.frames) / f.seconds;
    f.glassP50 = glass.p(0.5);
    f.glassP95 = glass.p(0.95);
    f.captureP50 = glass.captureP(0.5);
    f.captureP95 = glass.captureP(0.95);
    f.glassSamples = glass.count();
    f.unreadable = glass.unreadable();
    f.area = area;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    o.cpus.fillDefaults();
    quietLogs();
    // The X server, the displays' thread, the tablet's pool and the drawing client on the peer CPUs.
    auto desktop = BenchDesktop::startOrExit("host_bench", o.cpus.peer);
    const std::vector<DisplayId> before = desktop->displays->onlineDisplays();
    IoPool peerPool(2);
    FakeIPad::Options tabletOptions;
    tabletOptions.screenPoints = {double(o.tabletPoints.width), double(o.tabletPoints.height)};
    tabletOptions.sendStats = true;
    auto made = FakeIPad::make(tabletOptions, 0, 0, std::make_shared<AsioExecutor>(peerPool.context(), "kv.fake"));
    if (!made.ok()) {
        std::fprintf(stderr, "host_bench: simulated tablet: %s\n", made.error().description().c_str());
        return 1;
    }
    std::shared_ptr<FakeIPad> tablet = made.value();

    GlassMeter glass;
    tablet->onPictureDecoded = [&glass](const PixelBuffer& picture, uint64_t captureUs, uint64_t decodedUs) {
        glass.picture(picture, captureUs, decodedUs);
    };

    // The host: everything it starts from here on runs on the host CPUs.
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    MainLoop loop;
    auto environment = makeX11SessionEnvironment(loop.sharedExecutor(), desktop->server->display());
    if (!environment.ok()) {
        std::fprintf(stderr, "host_bench: %s\n", environment.error().c_str());
        return 1;
    }
    Settings settings;
    settings.directMode = true;
    settings.directHost = "127.0.0.1";
    settings.directCtrlPort = tablet->ctrlPort();
    settings.directVideoPort = tablet->videoPort();
    settings.preset = o.preset;
    SettingsStore settingsStore(nullptr, settings);
    DeviceProfileStore profiles(nullptr);
    AppProfileStore appProfiles(nullptr);
    PairingStore pairing(std::nullopt);
    StatsStore stats;
    HostOptions hostOptions;
    hostOptions.inject = false;
    auto manager = SessionManager::create({settingsStore, profiles, appProfiles, pairing, stats}, hostOptions,
                                          std::move(environment).value());
    loop.executor().post([&] { manager->start(); });

    const HostFigures host = hostRoad(o, *desktop, loop, *manager, *tablet, before, glass);
    const int bitrate = int(settings.bitrateMbps * 1e6);
    loop.executor().post([&] { manager->stop(); });
    loop.runFor(500'000);

    // The same picture on a monitor of the bench's own, the same size, for ffmpeg.
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    auto monitor = desktop->addMonitor({host.monitorWidth, host.monitorHeight}, o.fps);
    std::unique_ptr<AnimatedWindow> window;
    Rect area;
    if (monitor) {
        area = desktop->displays->bounds(monitor->displayID());
        window = AnimatedWindow::start(desktop->server->display(), int(area.x), int(area.y), host.monitorWidth,
                                       host.monitorHeight, o.fps);
    }
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    if (!window) {
        std::fprintf(stderr, "host_bench: cannot make the ffmpeg road's monitor\n");
        return 1;
    }
    const RoadFigures ffmpeg = ffmpegRoad(o, *desktop, area, bitrate);

    const double ours = host.frames > 0 ? host.cpuMs / double(host.frames) : 0;
    const double theirs = ffmpeg.frames > 0 ? ffmpeg.cpuMs / double(ffmpeg.frames) : 0;
    const double ratio = theirs > 0 ? ours / theirs : 0;
    std::printf("host %d×%d monitor → %g×%g stream @ %d fps, picture changing every frame, %.1f s per road; host CPUs "
                "%s, X server, drawing and tablet on %s\n",
                host.monitorWidth, host.monitorHeight, host.counters.streamSize.width, host.counters.streamSize.height,
                o.fps, o.seconds, cpuListText(o.cpus.host).c_str(), cpuListText(o.cpus.peer).c_str());
    std::printf("  (machine shared with other work: figures are noisy)\n");
    std::printf("  delivered fps            %8.1f        (goal %d: %s)\n", host.fps, o.fps,
                verdict(host.fps >= o.fps - 0.5));
    std::printf("  glass to decode p50/p95  %8.2f / %.2f ms   (drawn → decoded, %zu pictures, %zu unread; goal p95 ≤ 20: "
                "%s)\n",
                host.glassP50, host.glassP95, host.glassSamples, host.unreadable,
                verdict(host.glassSamples > 0 && host.glassP95 <= 20));
    std::printf("  capture to decode        %8.2f / %.2f ms   (p50/p95; the rest is the wait for the next capture)\n",
                host.captureP50, host.captureP95);
    std::printf("  CPU per frame ours       %8.2f ms     (X server %.2f ms)\n", ours,
                host.frames > 0 ? host.serverMs / double(host.frames) : 0);
    std::printf("  CPU per frame ffmpeg     %8.2f ms     (X server %.2f ms; %.1f fps)\n", theirs,
                ffmpeg.frames > 0 ? ffmpeg.serverMs / double(ffmpeg.frames) : 0, ffmpeg.fps);
    std::printf("  ours ÷ ffmpeg            %8.2f        (goal ≤ 0.70: %s)\n", ratio, verdict(ratio > 0 && ratio <= 0.7));
    std::printf("  tablet's decode          %8.2f ms     (mean, on the peer CPUs)\n", host.counters.avgDecodeUs / 1000);
    std::printf("  decode errors            %8lld, key frames %lld, cursor shapes %lld\n",
                static_cast<long long>(host.counters.decodeErrors), static_cast<long long>(host.counters.keyframes),
                static_cast<long long>(host.counters.cursorShapes));
    window.reset();
    tablet->close();
    return 0;
}
