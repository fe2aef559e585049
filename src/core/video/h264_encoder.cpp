#include "core/video/h264_encoder.hpp"

#include <pthread.h>
#include <sched.h>
#include <stdint.h>
extern "C" {
#include <x264.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "core/util/named_thread.hpp"
#include "core/util/thread_scheduling.hpp"
#include "core/video/access_unit.hpp"
#include "core/video/pixel_convert.hpp"

namespace kelvo {

namespace {

// Status logged for a refused setting that the codec never saw.
constexpr int32_t kRefused = -4;
// constraint_set4 and constraint_set5: progressive only, no B slices — Constrained High.
constexpr uint8_t kConstrainedHighFlags = 0x0C;

std::string dims(const EncoderConfig& c) { return std::to_string(c.width) + "×" + std::to_string(c.height); }

void logRefused(std::string_view key, int32_t status, LogLevel level = LogLevel::warn) {
    Log::write(level, "enc", [&] {
        return "x264 setting " + std::string(key) + " not applied (" + std::to_string(status) + ")";
    });
}

void codecLog(void*, int level, const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    std::string_view line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    Log::write(level <= X264_LOG_ERROR ? LogLevel::error : LogLevel::warn, "enc", "x264: " + std::string(line));
}

int vbvBufferKbits(int bitrate) { return std::max(1, int(std::lround(bitrate * EncoderTuning::vbvSeconds / 1000.0))); }

// The calling thread, and every thread it starts from now on, at the encoder's priority. A batch
// thread never preempts another when it wakes: a slice thread starting its share of a frame does
// not push a running touch off the core.
void lowerThreadPriority() {
    if (!lowerToBatch(EncoderTuning::niceness)) {
        Log::d("enc", "encoder threads keep their priority (" + std::to_string(errno) + ")");
    }
}

// Runs `work` on a thread of the encoder's name and priority and returns what it returns, or
// nullopt where that thread cannot be had. The threads it starts (the codec's slice threads, the
// encoder's own, the conversion's) are born with both, so none ever runs at its starter's priority
// or shows as one of its starter's (`top -H`, diagnostics), and start() returns with all of them
// lowered. It names itself: its threads take the name it has when it starts them.
template <class Work>
auto atEncoderPriority(Work&& work) -> std::optional<decltype(work())> {
    std::optional<decltype(work())> result;
    auto opener = tryStartThread([&] {
        pthread_setname_np(pthread_self(), "kv.encode");
        lowerThreadPriority();
        result = work();
    });
    if (!opener) {
        Log::e("enc", "cannot start a thread to open the encoder: " + opener.error().message());
        return std::nullopt;
    }
    opener.value().join();
    return result;
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

int EncoderTuning::threads() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
    return std::clamp(CPU_COUNT(&allowed), 1, maxThreads);
}

std::string_view h264ProfileRaw(H264Profile profile) noexcept {
    switch (profile) {
        case H264Profile::constrainedHigh: return "constrainedHigh";
        case H264Profile::high: return "high";
        case H264Profile::main: return "main";
    }
    return "constrainedHigh";
}

std::optional<H264Profile> h264ProfileFromRaw(std::string_view raw) noexcept {
    for (auto p : kAllH264Profiles) {
        if (h264ProfileRaw(p) == raw) return p;
    }
    return std::nullopt;
}

std::string EncoderError::description() const {
    switch (kind) {
        case Kind::createFailed: return "x264 encoder could not be opened (" + std::to_string(status) + ")";
        case Kind::encodeFailed: return "encode failed (" + std::to_string(status) + ")";
        case Kind::invalidated: return "encoder invalidated";
    }
    return "encoder invalidated";
}

struct H264Encoder::Core {
    struct Job {
        PixelBufferRef buffer;
        uint64_t ptsUs = 0;
        bool forceKeyframe = false;
        Handler handler;
    };
    enum class State { created, running, invalidated };

    Core(EncoderConfig c, std::optional<EncoderPreset> fixed) : config(c), fixedPreset(fixed) {}

    const EncoderConfig config;
    const std::optional<EncoderPreset> fixedPreset;
    std::atomic<EncoderPreset> preset{EncoderTuning::startPreset};

    // Guarded by m.
    std::mutex m;
    std::condition_variable wake;  // the worker: a job or the end
    std::condition_variable idle;  // completeFrames(): queue drained
    State state = State::created;
    bool lowLatency = false;
    bool busy = false;
    uint64_t lastPtsUs = 0;
    std::deque<Job> jobs;
    std::optional<int> wantFps;
    std::optional<int> wantBitrate;
    std::thread worker;
    std::thread::id workerId;
    // The first invalidate() took the worker and the queue; `closed` once it has called every
    // queued handler, `workerExited` once the worker has left its loop. Later calls wait for both.
    std::thread::id invalidatorId;
    bool closed = false;
    bool workerExited = false;

    // Owned by the worker thread once it runs.
    x264_t* codec = nullptr;
    int codecFps = 0;  // the rate the codec was opened with; it budgets every frame at this rate
    int threads = 1;   // the codec's slice threads; conversion splits across as many
    std::unique_ptr<BandWorkers> conversion;  // started with the codec, ended with the worker
    int fps = 0;
    int bitrate = 0;
    bool rateCapped = false;  // opened with a bitrate cap, which is what makes it changeable
    int64_t pictureNumber = 0;
    PixelBufferRef nv12;
    PixelBufferRef bgra;
    PresetController presets{EncoderTuning::startPreset};

    x264_t* open(bool lowLatency);
    std::optional<EncoderError> begin(const std::shared_ptr<Core>& self);
    bool applyPreset(EncoderPreset to);
    void paceOneFrame(uint64_t startUs, uint64_t endUs);
    void run();
    EncodeResult encodeOne(const Job& job);
    const PixelBuffer* prepare(const PixelBuffer& in);
    void applyRates(std::optional<int> newFps, std::optional<int> newBitrate);
};

x264_t* H264Encoder::Core::open(bool lowLatencyMode) {
    // 4:2:0 needs even sides. Checked here because the codec leaks when it refuses a size.
    if (config.width <= 0 || config.height <= 0 || config.width % 2 || config.height % 2 || config.width > 16384 ||
        config.height > 16384) {
        Log::w("enc", "cannot encode " + dims(config) + ": sides must be even and 2…16384");
        return nullptr;
    }
    x264_param_t p;
    const std::string startPreset(encoderPresetName(EncoderTuning::startPreset));
    if (x264_param_default_preset(&p, startPreset.c_str(), lowLatencyMode ? EncoderTuning::tune : nullptr) < 0) {
        return nullptr;
    }
    p.pf_log = codecLog;
    p.i_log_level = X264_LOG_WARNING;
    // Slices of one frame in parallel: a frame's encode time divides across the cores, and no
    // frame is held back as frame threads would.
    p.i_threads = EncoderTuning::threads();
    p.b_sliced_threads = 1;
    p.i_lookahead_threads = 1;
    p.i_sync_lookahead = 0;
    p.i_width = config.width;
    p.i_height = config.height;
    p.i_csp = X264_CSP_NV12;
    p.b_annexb = 0;
    p.b_repeat_headers = 1;
    p.b_aud = 0;
    p.b_vfr_input = 0;

    p.i_bframe = 0;  // no reordering
    // Adaptive quantisation and weighted prediction analyse the whole picture on one thread before
    // its slices start: at 2048×1536 that is 2–3 ms of every frame's latency. Neither can be turned
    // off on the running codec when it steps to a faster preset, so they are off from the start.
    p.rc.i_aq_mode = X264_AQ_NONE;
    p.analyse.i_weighted_pred = X264_WEIGHTP_NONE;
    if (!lowLatencyMode) {
        // No frame held back: what the low-latency tuning would otherwise guarantee.
        p.rc.i_lookahead = 0;
        p.rc.b_mb_tree = 0;
    }
    // Key frames only when asked for.
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_scenecut_threshold = 0;
    p.b_intra_refresh = 0;

    if (config.fps > 0) {
        p.i_fps_num = uint32_t(config.fps);
        p.i_fps_den = 1;
    } else {
        logRefused("fps", kRefused);
    }
    p.i_timebase_num = p.i_fps_den;
    p.i_timebase_den = p.i_fps_num;

    p.rc.i_rc_method = X264_RC_CRF;
    p.rc.f_rf_constant = EncoderTuning::rateFactor;
    if (config.bitrate > 0) {
        const int kbps = std::max(1, int(std::lround(config.bitrate / 1000.0)));
        p.rc.i_vbv_max_bitrate = kbps;
        p.rc.i_vbv_buffer_size = vbvBufferKbits(config.bitrate);
    } else {
        logRefused("vbv-maxrate", kRefused);
    }
    p.b_cabac = 1;
    p.vui.i_colorprim = 1;  // BT.709
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    p.vui.b_fullrange = 0;
    if (config.maxFrameQP) {
        if (*config.maxFrameQP >= 0 && *config.maxFrameQP <= 51) {
            p.rc.i_qp_max = *config.maxFrameQP;
            p.rc.i_qp_min = std::min(p.rc.i_qp_min, p.rc.i_qp_max);
        } else {
            logRefused("qpmax", kRefused, LogLevel::debug);
        }
    }
    const char* profileName = config.profile == H264Profile::main ? "main" : "high";
    if (int rc = x264_param_apply_profile(&p, profileName); rc < 0) logRefused("profile", rc);

    x264_t* h = x264_encoder_open(&p);
    x264_param_cleanup(&p);  // the codec keeps its own copy
    if (!h) return nullptr;
    x264_param_t used;
    x264_encoder_parameters(h, &used);
    codecFps = int(used.i_fps_num / std::max<uint32_t>(used.i_fps_den, 1));
    threads = std::max(1, used.i_threads);
    fps = config.fps > 0 ? config.fps : codecFps;
    bitrate = config.bitrate;
    rateCapped = config.bitrate > 0;
    return h;
}

H264Encoder::H264Encoder(EncoderConfig config, std::optional<EncoderPreset> fixedPreset)
    : config_(config), core_(std::make_shared<Core>(config, fixedPreset)) {}

H264Encoder::~H264Encoder() { invalidate(); }

std::optional<EncoderError> H264Encoder::start() {
    std::lock_guard once(startMutex_);
    auto& c = *core_;
    {
        std::lock_guard g(c.m);
        if (c.state == Core::State::running) return std::nullopt;
        if (c.state == Core::State::invalidated) return EncoderError::createFailed(EncoderStatus::openFailed);
    }
    auto begun = atEncoderPriority([&] { return c.begin(core_); });
    if (!begun) return EncoderError::createFailed(EncoderStatus::noThread);
    if (*begun) return *begun;
    Log::i("enc", [&] {
        return "H.264 " + dims(config_) + " " + std::string(h264ProfileRaw(config_.profile)) + " " +
               std::to_string(config_.bitrate / 1'000'000) + " Mbps" + (isLowLatency() ? " low-latency" : "");
    });
    return std::nullopt;
}

// On the opener thread. Every step that fails leaves nothing open and no thread running.
std::optional<EncoderError> H264Encoder::Core::begin(const std::shared_ptr<Core>& self) {
    bool opensLowLatency = true;
    x264_t* opened = open(true);
    if (!opened) {
        Log::w("enc", "low-latency encoder unavailable (" + std::to_string(EncoderStatus::openFailed) +
                          "), falling back");
        opensLowLatency = false;
        opened = open(false);
    }
    if (!opened) return EncoderError::createFailed(EncoderStatus::openFailed);
    auto workers = std::make_unique<BandWorkers>(threads);
    if (!workers->start()) {
        Log::e("enc", "cannot start the encoder's conversion workers");
        x264_encoder_close(opened);
        return EncoderError::createFailed(EncoderStatus::noThread);
    }
    std::unique_lock g(m);
    if (state == State::invalidated) {
        // Invalidated while the codec was opening: that call has returned and must stay final.
        g.unlock();
        x264_encoder_close(opened);
        return EncoderError::createFailed(EncoderStatus::openFailed);
    }
    codec = opened;
    lowLatency = opensLowLatency;
    conversion = std::move(workers);
    if (fixedPreset) applyPreset(*fixedPreset);
    auto started = tryStartThread([self] { self->run(); });
    if (!started) {
        Log::e("enc", "cannot start the encoder's thread: " + started.error().message());
        codec = nullptr;
        lowLatency = false;
        workers = std::move(conversion);
        g.unlock();
        workers.reset();
        x264_encoder_close(opened);
        return EncoderError::createFailed(EncoderStatus::noThread);
    }
    // The worker waits for this lock before it looks at the state.
    worker = std::move(started).value();
    workerId = worker.get_id();
    state = State::running;
    return std::nullopt;
}

bool H264Encoder::isLowLatency() const {
    std::lock_guard g(core_->m);
    return core_->lowLatency;
}

EncoderPreset H264Encoder::preset() const { return core_->preset.load(); }

void H264Encoder::encode(PixelBufferRef buffer, uint64_t ptsUs, bool forceKeyframe, Handler handler) {
    if (!handler) handler = [](EncodeResult) {};
    auto& c = *core_;
    {
        std::lock_guard g(c.m);
        if (c.state == Core::State::running) {
            const uint64_t pts = c.lastPtsUs >= ptsUs ? c.lastPtsUs + 1 : ptsUs;
            c.lastPtsUs = pts;
            c.jobs.push_back({std::move(buffer), pts, forceKeyframe, std::move(handler)});
            c.wake.notify_one();
            return;
        }
    }
    handler(EncoderError::invalidated());
}

void H264Encoder::setFrameRate(int fps) {
    if (fps <= 0) return logRefused("fps", kRefused);
    std::lock_guard g(core_->m);
    if (core_->state == Core::State::running) core_->wantFps = fps;
}

void H264Encoder::setBitrate(int bitsPerSecond) {
    if (bitsPerSecond <= 0) return logRefused("vbv-maxrate", kRefused);
    std::lock_guard g(core_->m);
    if (core_->state == Core::State::running) core_->wantBitrate = bitsPerSecond;
}

void H264Encoder::invalidate() {
    auto& c = *core_;
    std::deque<Core::Job> queued;
    std::thread worker;
    {
        std::unique_lock g(c.m);
        if (c.state != Core::State::running) {
            if (c.state == Core::State::created) {
                c.state = Core::State::invalidated;
                c.closed = c.workerExited = true;
                return;
            }
            // Another call is closing the encoder. Wait for it, so that this one too returns only
            // when no handler runs any more; from the worker or that call's own handlers it cannot.
            const auto self = std::this_thread::get_id();
            if (self != c.workerId && self != c.invalidatorId) {
                c.idle.wait(g, [&] { return c.closed && c.workerExited; });
            }
            return;
        }
        c.state = Core::State::invalidated;
        c.invalidatorId = std::this_thread::get_id();
        queued.swap(c.jobs);
        worker = std::move(c.worker);
        c.wake.notify_all();
    }
    // Marks the close done even when a handler below throws, so later calls never wait forever.
    struct Closed {
        Core& c;
        ~Closed() {
            std::lock_guard g(c.m);
            c.closed = true;
            c.invalidatorId = {};
            c.idle.notify_all();
        }
    } closed{c};
    if (std::this_thread::get_id() == worker.get_id()) {
        // Called from a handler on the worker itself, which cannot be joined from here. It holds
        // the shared core, leaves its loop as soon as the handler returns, and closes the codec.
        worker.detach();
    } else if (worker.joinable()) {
        worker.join();
    }
    if (!queued.empty()) {
        Log::d("enc", [&] { return std::to_string(queued.size()) + " queued frames invalidated"; });
    }
    for (auto& job : queued) job.handler(EncoderError::invalidated());
}

void H264Encoder::completeFrames() {
    auto& c = *core_;
    std::unique_lock lk(c.m);
    if (std::this_thread::get_id() == c.workerId) return;
    c.idle.wait(lk, [&] { return c.state != Core::State::running || (c.jobs.empty() && !c.busy); });
}

void H264Encoder::Core::run() {
    // Already at the encoder's priority, as are the conversion's workers.
    std::unique_lock lk(m);
    for (;;) {
        wake.wait(lk, [&] { return state != State::running || !jobs.empty(); });
        if (state != State::running) break;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        busy = true;
        auto newFps = std::exchange(wantFps, std::nullopt);
        auto newBitrate = std::exchange(wantBitrate, std::nullopt);
        lk.unlock();

        applyRates(newFps, newBitrate);
        const uint64_t startUs = Clock::nowUs();
        EncodeResult result = encodeOne(job);
        paceOneFrame(startUs, Clock::nowUs());
        try {
            job.handler(std::move(result));
        } catch (const std::exception& e) {
            Log::e("enc", std::string("frame handler threw: ") + e.what());
        }
        job = {};  // the buffer and the handler's captures go before the next wait

        lk.lock();
        busy = false;
        if (jobs.empty()) idle.notify_all();
    }
    lk.unlock();
    conversion.reset();  // joined here, also when this thread was left to end on its own
    x264_encoder_close(codec);
    codec = nullptr;
    lk.lock();
    workerExited = true;
    idle.notify_all();
}

void H264Encoder::Core::applyRates(std::optional<int> newFps, std::optional<int> newBitrate) {
    if (!newFps && !newBitrate) return;
    const int targetFps = newFps.value_or(fps);
    const int targetBitrate = newBitrate.value_or(bitrate);
    if (!rateCapped) {
        // Without a cap from the start the codec cannot take one later.
        if (newBitrate) logRefused("vbv-maxrate", kRefused);
        fps = targetFps;
        return;
    }
    x264_param_t p;
    x264_encoder_parameters(codec, &p);
    // The codec's frame rate is fixed once open and it budgets each frame as 1/codecFps of the
    // cap: scale the cap so that bits per real second stay at the bitrate.
    const double perSecond = double(targetBitrate) * codecFps / targetFps;
    const int kbps = std::max(1, int(std::lround(perSecond / 1000.0)));
    p.rc.i_vbv_max_bitrate = kbps;
    p.rc.i_bitrate = kbps;
    p.rc.i_vbv_buffer_size = vbvBufferKbits(targetBitrate);
    if (int rc = x264_encoder_reconfig(codec, &p); rc < 0) {
        if (newFps) logRefused("fps", rc);
        if (newBitrate) logRefused("vbv-maxrate", rc);
        return;
    }
    fps = targetFps;
    bitrate = targetBitrate;
}

// Moves to another preset through the running codec, so the stream goes on without a new key
// frame: the analysis settings follow the preset, while what the parameter sets carry (entropy
// coding, 8×8 transform allowed, references, chroma offset) stays as opened, and so do adaptive
// quantisation and weighted prediction, which the running codec does not take.
bool H264Encoder::Core::applyPreset(EncoderPreset to) {
    x264_param_t target;
    const std::string name(encoderPresetName(to));
    if (x264_param_default_preset(&target, name.c_str(), lowLatency ? EncoderTuning::tune : nullptr) < 0) return false;
    x264_param_t p;
    x264_encoder_parameters(codec, &p);
    const auto kept = p.analyse;
    p.analyse = target.analyse;
    p.analyse.i_chroma_qp_offset = kept.i_chroma_qp_offset;
    p.analyse.i_mv_range = kept.i_mv_range;
    p.analyse.i_mv_range_thread = kept.i_mv_range_thread;
    p.analyse.b_psnr = kept.b_psnr;
    p.analyse.b_ssim = kept.b_ssim;
    p.analyse.i_weighted_pred = kept.i_weighted_pred;
    p.b_deblocking_filter = target.b_deblocking_filter;
    p.i_frame_reference = std::min(p.i_frame_reference, target.i_frame_reference);
    x264_param_cleanup(&target);
    if (int rc = x264_encoder_reconfig(codec, &p); rc < 0) {
        Log::w("enc", "preset " + name + " not applied (" + std::to_string(rc) + ")");
        return false;
    }
    preset = to;
    return true;
}

// Worker thread: times every frame (conversion included) and moves to a faster or slower preset
// when the machine's pace asks for it.
void H264Encoder::Core::paceOneFrame(uint64_t startUs, uint64_t endUs) {
    if (fixedPreset || fps <= 0) return;
    const double periodMs = 1000.0 / fps;
    auto step = presets.add(endUs, double(endUs - startUs) / 1000.0, periodMs);
    if (!step || !applyPreset(step->to)) return;
    Log::i("enc", "preset " + std::string(encoderPresetName(step->from)) + " → " +
                      std::string(encoderPresetName(step->to)) + " (encode p95 " + ms(step->p95Ms) + " ms, frame " +
                      ms(step->periodMs) + " ms)");
}

const PixelBuffer* H264Encoder::Core::prepare(const PixelBuffer& in) {
    const int w = config.width, h = config.height;
    const bool sameSize = in.width() == w && in.height() == h;
    if (in.format() == PixelFormat::nv12 && sameSize) return &in;
    if (!nv12) nv12 = PixelBuffer::make(PixelFormat::nv12, w, h);
    if (!nv12) return nullptr;
    if (in.format() == PixelFormat::nv12) return PixelConvert::scale(in, *nv12) ? nv12.get() : nullptr;
    if (sameSize) return PixelConvert::bgraToNv12(in, *nv12, conversion.get()) ? nv12.get() : nullptr;
    if (!bgra) bgra = PixelBuffer::make(PixelFormat::bgra, w, h);
    if (!bgra || !PixelConvert::scaleToNv12(BgraView::of(in), *bgra, *nv12, conversion.get())) return nullptr;
    return nv12.get();
}

EncodeResult H264Encoder::Core::encodeOne(const Job& job) {
    const PixelBuffer* input = job.buffer ? prepare(*job.buffer) : nullptr;
    if (!input) {
        Log::w("enc", [&] {
            if (!job.buffer) return std::string("no pixel buffer to encode");
            return "cannot prepare " + std::string(pixelFormatName(job.buffer->format())) + " " +
                   std::to_string(job.buffer->width()) + "x" + std::to_string(job.buffer->height()) + " frame";
        });
        return EncoderError::encodeFailed(EncoderStatus::badInput);
    }
    x264_picture_t pic;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    for (int i = 0; i < 2; ++i) {
        // The codec copies the picture and never writes through these pointers.
        pic.img.plane[i] = const_cast<uint8_t*>(input->plane(i));
        pic.img.i_stride[i] = int(input->stride(i));
    }
    pic.i_type = job.forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    pic.i_pts = pictureNumber++;

    x264_picture_t out;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(codec, &nals, &count, &pic, &out);
    if (size < 0) return EncoderError::encodeFailed(size);
    if (size == 0 || count <= 0) return std::optional<EncodedFrame>{};

    std::vector<CodedNal> units;
    units.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_payload < 0) return EncoderError::encodeFailed(EncoderStatus::badOutput);
        units.push_back({nals[i].i_type, std::span<const uint8_t>(nals[i].p_payload, size_t(nals[i].i_payload))});
    }
    EncodeResult result = AccessUnit::pack(units, out.b_keyframe != 0, job.ptsUs);
    if (result.ok() && result.value() && config.profile == H264Profile::constrainedHigh) {
        auto& sps = result.value()->sps;
        if (sps && sps->size() > 2) (*sps)[2] |= kConstrainedHighFlags;
    }
    if (!result.ok()) {
        Log::e("enc", [&] { return "frame " + std::to_string(job.ptsUs) + ": " + result.error().description(); });
    }
    return result;
}

}  // namespace kelvo
