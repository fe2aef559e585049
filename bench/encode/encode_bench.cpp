// Conversion + encode cost of our encoder against the ffmpeg command line, as whole processes on
// the same raw BGRA frames read from the same file, with the same preset, rate control and slice
// threads; then the luma PSNR of both outputs against the source.
//
//   encode_bench [--size 2048x1536] [--content pattern|motion] [--frames N] [--cpus 0,1]
//                [--preset veryfast|superfast|ultrafast|all] [--bitrate 25000000] [--ffmpeg ffmpeg]
//
// Each side runs twice: reading and converting only, then reading, converting and encoding; the
// difference is the encode. Process start-up is included on both sides.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/video/h264.hpp"
#include "core/video/h264_encoder.hpp"
#include "core/video/pixel_convert.hpp"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr int kFps = 60;

constexpr const char* kUsage =
    "encode_bench [--size WxH] [--content pattern|motion] [--frames N] [--repeat N] [--cpus LIST] "
    "[--preset veryfast|superfast|ultrafast|all] [--bitrate BPS] [--ffmpeg PATH]";

struct Options : CommonOptions {
    int frames = 0;  // 0: as many as fit about 2.7 GB, 120 to 600
    int repeat = 3;  // runs of each kind, alternating sides; the least CPU of each counts
    std::vector<int> cpus;
    std::vector<EncoderPreset> presets{EncoderPreset::veryfast, EncoderPreset::superfast, EncoderPreset::ultrafast};
};

std::optional<EncoderPreset> presetFromName(const std::string& name) {
    for (auto p : {EncoderPreset::veryfast, EncoderPreset::superfast, EncoderPreset::ultrafast}) {
        if (encoderPresetName(p) == name) return p;
    }
    return std::nullopt;
}

void writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t k = write(fd, p, n);
        if (k <= 0) std::exit(3);
        p += k;
        n -= size_t(k);
    }
}

void writeNal(int fd, std::span<const uint8_t> nal) {
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    writeAll(fd, kStart, 4);
    writeAll(fd, nal.data(), nal.size());
}

// The child that stands for our side: reads every frame from the file as ffmpeg does, converts
// (and encodes, writing an Annex B stream). Prints "<p50> <p95>" of the per-frame encode wall time.
int worker(char** argv) {
    const std::string mode = argv[0], file = argv[1], out = argv[5];
    const auto size = parseSize(argv[2]);
    const int frames = std::atoi(argv[3]);
    const auto preset = presetFromName(argv[4]);
    const int bitrate = std::atoi(argv[6]);
    if (!size || !preset) return 2;
    UniqueFd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    auto bgra = PixelBuffer::make(PixelFormat::bgra, size->width, size->height);
    if (!in || !bgra) return 3;
    if (mode == "convert") {
        auto nv12 = PixelBuffer::make(PixelFormat::nv12, size->width, size->height);
        BandWorkers conversion(EncoderTuning::threads());  // split as the encoder splits it
        for (int n = 0; n < frames; ++n) {
            if (!readFrame(in.get(), *bgra) || !PixelConvert::bgraToNv12(*bgra, *nv12, &conversion)) {
                return 3;
            }
        }
        return 0;
    }
    UniqueFd outFd(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    H264Encoder encoder(EncoderConfig{size->width, size->height, kFps, bitrate, H264Profile::constrainedHigh, 34},
                        *preset);
    if (!outFd || encoder.start()) return 3;
    std::vector<double> latencyMs;
    for (int n = 0; n < frames; ++n) {
        if (!readFrame(in.get(), *bgra)) return 3;
        std::promise<EncodeResult> done;
        auto future = done.get_future();
        const double t0 = nowMs();
        // The buffer is read again only after its result is back.
        encoder.encode(bgra, uint64_t(n) * 16'667, n == 0, [&](EncodeResult r) { done.set_value(std::move(r)); });
        EncodeResult r = future.get();
        latencyMs.push_back(nowMs() - t0);
        if (!r.ok() || !r.value()) return 4;
        const EncodedFrame& f = *r.value();
        if (f.sps && f.pps) {
            writeNal(outFd.get(), *f.sps);
            writeNal(outFd.get(), *f.pps);
        }
        for (auto nal : H264::nalUnits(f.data)) writeNal(outFd.get(), nal);
    }
    encoder.invalidate();
    std::printf("%.3f %.3f\n", percentile(latencyMs, 0.5), percentile(latencyMs, 0.95));
    return 0;
}

std::vector<std::string> ffmpegArgs(const Options& o, const std::string& file, int frames, int threads,
                                    std::optional<EncoderPreset> preset, const std::string& out) {
    std::vector<std::string> a = {o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error",
                                  "-filter_threads", std::to_string(threads), "-f", "rawvideo", "-pix_fmt", "bgra",
                                  "-s", std::to_string(o.size.width) + "x" + std::to_string(o.size.height), "-r",
                                  std::to_string(kFps), "-i", file, "-frames:v", std::to_string(frames), "-vf",
                                  "scale=out_color_matrix=bt709:out_range=tv,format=nv12", "-fps_mode", "passthrough"};
    if (!preset) {
        a.insert(a.end(), {"-f", "null", "-"});
        return a;
    }
    const std::string kbps = std::to_string(o.bitrate / 1000) + "k";
    const std::string buffer = std::to_string(int(o.bitrate * EncoderTuning::vbvSeconds / 1000)) + "k";
    // Our stream keeps CABAC whatever the preset, and runs without adaptive quantisation and weighted
    // prediction: so does ffmpeg's here.
    a.insert(a.end(), {"-c:v", "libx264", "-preset", std::string(encoderPresetName(*preset)), "-tune",
                       EncoderTuning::tune, "-profile:v", "high", "-threads", std::to_string(threads), "-thread_type", "slice", "-crf",
                       std::to_string(int(EncoderTuning::rateFactor)), "-maxrate", kbps, "-bufsize", buffer, "-bf",
                       "0", "-x264-params", "keyint=infinite:scenecut=0:qpmax=34:cabac=1:aq-mode=0:weightp=0:sliced-threads=1",
                       "-f", "h264", "-y", out});
    return a;
}

// BT.709 video-range luma of the source, the same reference for both encoders.
void referenceLuma(const PixelBuffer& bgra, std::vector<double>& y) {
    y.resize(size_t(bgra.width()) * bgra.height());
    for (int row = 0; row < bgra.height(); ++row) {
        const uint8_t* p = bgra.plane(0) + size_t(row) * bgra.stride(0);
        for (int x = 0; x < bgra.width(); ++x, p += 4) {
            y[size_t(row) * bgra.width() + x] = 16.0 + 219.0 * (0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0]) / 255.0;
        }
    }
}

// Decodes `stream` with ffmpeg and compares every frame's luma with the source. NaN when the
// stream does not decode to as many frames.
double lumaPsnr(const Options& o, const std::string& source, const std::string& stream, int frames) {
    pid_t pid = 0;
    UniqueFd decoded = startProcess({o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-i", stream, "-f",
                                     "rawvideo", "-pix_fmt", "yuv420p", "pipe:1"},
                                    pid);
    UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!decoded || !in) return NAN;
    auto bgra = PixelBuffer::make(PixelFormat::bgra, o.size.width, o.size.height);
    const size_t lumaBytes = size_t(o.size.width) * o.size.height;
    std::vector<uint8_t> yuv(lumaBytes * 3 / 2);
    std::vector<double> reference;
    double sse = 0;
    int compared = 0;
    for (; compared < frames; ++compared) {
        size_t got = 0;
        while (got < yuv.size()) {
            const ssize_t k = read(decoded.get(), yuv.data() + got, yuv.size() - got);
            if (k <= 0) break;
            got += size_t(k);
        }
        if (got < yuv.size() || !readFrame(in.get(), *bgra)) break;
        referenceLuma(*bgra, reference);
        for (size_t i = 0; i < lumaBytes; ++i) {
            const double d = reference[i] - yuv[i];
            sse += d * d;
        }
    }
    decoded.reset();
    const bool exited = waitProcess(pid);
    if (!exited || compared != frames) return NAN;
    const double mse = sse / (double(lumaBytes) * frames);
    return 10.0 * std::log10(255.0 * 255.0 / std::max(mse, 1e-12));
}

struct Side {
    ProcessRun convert;
    ProcessRun encode;
    double psnr = NAN;
    double bytes = 0;
    double convertMs(int frames) const { return convert.cpuMs / frames; }
    double totalMs(int frames) const { return encode.cpuMs / frames; }
};

double fileBytes(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    return double(lseek(fd.get(), 0, SEEK_END));
}

Options parse(int argc, char** argv) {
    Options o;
    o.bitrate = 25'000'000;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        if (name == "--frames") {
            o.frames = std::atoi(value.c_str());
            return o.frames >= 10;
        }
        if (name == "--repeat") {
            o.repeat = std::atoi(value.c_str());
            return o.repeat >= 1 && o.repeat <= 20;
        }
        if (name == "--cpus") {
            auto cpus = parseCpuList(value);
            if (cpus) o.cpus = *cpus;
            return cpus.has_value();
        }
        if (name == "--preset") {
            if (value == "all") return true;
            auto preset = presetFromName(value);
            if (preset) o.presets = {*preset};
            return preset.has_value();
        }
        return false;
    });
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 9 && std::strcmp(argv[1], "--worker") == 0) return worker(argv + 2);
    Options o = parse(argc, argv);
    if (o.cpus.empty()) {
        auto allowed = allowedCpus();
        o.cpus.assign(allowed.begin(), allowed.begin() + std::min<size_t>(2, allowed.size()));
    }
    if (!pinThread(o.cpus)) fail(kUsage, "cannot run on the CPUs given");
    if (o.frames == 0) o.frames = std::clamp(int(2.7e9 / double(o.size.bgraBytes())), 120, 600);
    const int threads = EncoderTuning::threads();

    char dirTemplate[] = "/tmp/kelvo-encode-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) fail(kUsage, "no temporary folder");
    const std::string dir = dirTemplate;
    const std::string source = dir + "/source.bgra";
    std::printf("encode bench: %d×%d %s, %d frames, CPUs %s (%d slice threads), crf %d capped at %d Mbps\n",
                o.size.width, o.size.height, contentName(o.content), o.frames, cpuListText(o.cpus).c_str(), threads,
                int(EncoderTuning::rateFactor), o.bitrate / 1'000'000);
    std::printf("(CPU ms per frame of whole processes reading the same raw file, the least of %d alternating runs; "
                "the machine is shared, so figures are noisy)\n",
                o.repeat);
    std::fflush(stdout);
    if (!writeFrames(o.content, o.size, kFps, o.frames, source, o.ffmpeg)) {
        std::fprintf(stderr, "encode_bench: cannot make the source frames (is %s there?)\n", o.ffmpeg.c_str());
        return 1;
    }

    const std::string self = "/proc/self/exe";
    int status = 0;
    for (auto preset : o.presets) {
        const std::string name(encoderPresetName(preset));
        const std::string oursOut = dir + "/ours-" + name + ".h264", refOut = dir + "/ffmpeg-" + name + ".h264";
        auto oursArgs = [&](const char* mode, const std::string& out) {
            return std::vector<std::string>{self, "--worker", mode, source,
                                            std::to_string(o.size.width) + "x" + std::to_string(o.size.height),
                                            std::to_string(o.frames), name, out, std::to_string(o.bitrate)};
        };
        Side ours, ref;
        // Other work on the machine only ever adds CPU time: alternate the sides and keep the least.
        auto keepLeast = [](ProcessRun& best, ProcessRun run) {
            if (!best.ok || (run.ok && run.cpuMs < best.cpuMs)) best = std::move(run);
        };
        for (int r = 0; r < o.repeat; ++r) {
            keepLeast(ours.convert, runProcess(oursArgs("convert", "-")));
            keepLeast(ref.convert, runProcess(ffmpegArgs(o, source, o.frames, threads, std::nullopt, "-")));
            keepLeast(ours.encode, runProcess(oursArgs("encode", oursOut)));
            keepLeast(ref.encode, runProcess(ffmpegArgs(o, source, o.frames, threads, preset, refOut)));
        }
        if (!ours.convert.ok || !ours.encode.ok || !ref.convert.ok || !ref.encode.ok) {
            std::printf("%s: a run failed (ours %d/%d, ffmpeg %d/%d)\n", name.c_str(), ours.convert.ok,
                        ours.encode.ok, ref.convert.ok, ref.encode.ok);
            status = 1;
            continue;
        }
        ours.psnr = lumaPsnr(o, source, oursOut, o.frames);
        ref.psnr = lumaPsnr(o, source, refOut, o.frames);
        ours.bytes = fileBytes(oursOut) / o.frames;
        ref.bytes = fileBytes(refOut) / o.frames;
        double p50 = 0, p95 = 0;
        std::sscanf(ours.encode.output.c_str(), "%lf %lf", &p50, &p95);

        const int n = o.frames;
        std::printf("\npreset %s\n", name.c_str());
        std::printf("           read+convert   encode    total   per MP   PSNR-Y    kB/frame\n");
        for (auto* side : {&ours, &ref}) {
            std::printf("  %-7s %10.2f %10.2f %8.2f %8.2f %8.2f dB %9.1f\n", side == &ours ? "ours" : "ffmpeg",
                        side->convertMs(n), side->totalMs(n) - side->convertMs(n), side->totalMs(n),
                        side->totalMs(n) / o.size.megapixels(), side->psnr, side->bytes / 1000);
        }
        const double ratio = ours.totalMs(n) / ref.totalMs(n);
        const double psnrGap = ours.psnr - ref.psnr;
        std::printf("  CPU per frame ours/ffmpeg %.3f (goal ≤ 0.800: %s); PSNR ours − ffmpeg %+.2f dB (goal ≥ −0.30: %s)\n",
                    ratio, ratio <= 0.8 ? "met" : "missed", psnrGap, psnrGap >= -0.3 ? "met" : "missed");
        std::printf("  ours per frame encode wall p50/p95 %.2f / %.2f ms (60 Hz frame 16.7 ms)\n", p50, p95);
        std::fflush(stdout);
        unlink(oursOut.c_str());
        unlink(refOut.c_str());
    }
    unlink(source.c_str());
    rmdir(dir.c_str());
    return status;
}
