#include "bench_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/util/log.hpp"
#include "core/util/timed_samples.hpp"
#include "core/util/unique_fd.hpp"
#include "core/video/test_pattern_renderer.hpp"

extern char** environ;

namespace kelvo::bench {
namespace {

std::string sizeArg(FrameSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

std::vector<std::string> testsrc2Args(FrameSize size, int fps, int count, const std::string& ffmpeg,
                                      const std::string& out) {
    return {ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
            "testsrc2=size=" + sizeArg(size) + ":rate=" + std::to_string(fps), "-frames:v", std::to_string(count),
            "-pix_fmt", "bgra", "-f", "rawvideo", "-y", out};
}

bool spawn(const std::vector<std::string>& args, int stdoutFd, pid_t& pid) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
}

bool waitOk(pid_t pid, rusage* usage = nullptr) {
    int status = 0;
    rusage ignored{};
    if (wait4(pid, &status, 0, usage ? usage : &ignored) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

void fail(const char* usage, const std::string& why) {
    std::fprintf(stderr, "%s\nusage: %s\n", why.c_str(), usage);
    std::exit(2);
}

void parseOptions(int argc, char** argv, const char* usage, CommonOptions& common,
                  const std::function<bool(const std::string& name, const std::string& value)>& own) {
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (i + 1 >= argc) fail(usage, "missing value for " + name);
        const std::string value = argv[i + 1];
        bool ok = true;
        if (name == "--size") {
            auto size = parseSize(value);
            if (size) common.size = *size;
            ok = size.has_value();
        } else if (name == "--content") {
            auto content = parseContent(value);
            if (content) common.content = *content;
            ok = content.has_value();
        } else if (name == "--bitrate") {
            common.bitrate = std::atoi(value.c_str());
            ok = common.bitrate >= 100'000;
        } else if (name == "--ffmpeg") {
            common.ffmpeg = value;
        } else {
            ok = own(name, value);
        }
        if (!ok) fail(usage, "bad or unknown option: " + name + " " + value);
    }
}

std::optional<FrameSize> parseSize(const std::string& text) {
    // "×" is accepted as the logs write sizes; it is two bytes in UTF-8.
    static constexpr std::string_view kTimes = "×";
    const auto at = text.find(kTimes);
    const std::string t = at == std::string::npos ? text : text.substr(0, at) + 'x' + text.substr(at + kTimes.size());
    int w = 0, h = 0;
    char x = 0, extra = 0;
    if (std::sscanf(t.c_str(), "%d%c%d%c", &w, &x, &h, &extra) != 3 || x != 'x') return std::nullopt;
    if (w < 16 || h < 16 || w > 8192 || h > 8192 || w % 2 || h % 2) return std::nullopt;
    return FrameSize{w, h};
}

std::optional<Content> parseContent(const std::string& text) {
    if (text == "pattern") return Content::pattern;
    if (text == "motion") return Content::motion;
    return std::nullopt;
}

const char* contentName(Content content) { return content == Content::motion ? "motion (testsrc2)" : "pattern"; }

std::optional<std::vector<int>> parseCpuList(const std::string& text) {
    std::vector<int> cpus;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        int a = -1, b = -1;
        char dash = 0, extra = 0;
        const int n = std::sscanf(item.c_str(), "%d%c%d%c", &a, &dash, &b, &extra);
        if (n == 1 && a >= 0 && a < CPU_SETSIZE) {
            cpus.push_back(a);
        } else if (n == 3 && dash == '-' && a >= 0 && b >= a && b < CPU_SETSIZE) {
            for (int c = a; c <= b; ++c) cpus.push_back(c);
        } else {
            return std::nullopt;
        }
    }
    if (cpus.empty()) return std::nullopt;
    return cpus;
}

std::string cpuListText(const std::vector<int>& cpus) {
    std::string out;
    for (int c : cpus) {
        if (!out.empty()) out += ',';
        out += std::to_string(c);
    }
    return out;
}

std::vector<int> allowedCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) cpus.push_back(c);
    }
    return cpus;
}

cpu_set_t cpuSet(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus) CPU_SET(c, &set);
    return set;
}

bool pinThread(const std::vector<int>& cpus) {
    const cpu_set_t set = cpuSet(cpus);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

bool writeFrames(Content content, FrameSize size, int fps, int count, const std::string& path,
                 const std::string& ffmpeg) {
    if (content == Content::motion) {
        pid_t pid = 0;
        return spawn(testsrc2Args(size, fps, count, ffmpeg, path), -1, pid) && waitOk(pid);
    }
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return false;
    for (const auto& frame : makeFrames(content, size, fps, count, ffmpeg)) {
        for (int row = 0; row < size.height; ++row) {
            const uint8_t* p = frame->plane(0) + size_t(row) * frame->stride(0);
            size_t left = size_t(size.width) * 4;
            while (left > 0) {
                const ssize_t k = write(fd.get(), p, left);
                if (k <= 0) return false;
                p += k;
                left -= size_t(k);
            }
        }
    }
    return true;
}

std::vector<PixelBufferRef> makeFrames(Content content, FrameSize size, int fps, int count,
                                       const std::string& ffmpeg) {
    std::vector<PixelBufferRef> frames;
    if (content == Content::pattern) {
        TestPatternRenderer renderer(size.width, size.height, "Kelvo test pattern " + sizeArg(size));
        for (int n = 0; n < count; ++n) frames.push_back(renderer.render(n + 1));
        return frames;
    }
    pid_t pid = 0;
    UniqueFd readEnd = startProcess(testsrc2Args(size, fps, count, ffmpeg, "pipe:1"), pid);
    if (!readEnd) return frames;
    for (int n = 0; n < count; ++n) {
        auto frame = PixelBuffer::make(PixelFormat::bgra, size.width, size.height);
        if (!frame || !readFrame(readEnd.get(), *frame)) break;
        frames.push_back(std::move(frame));
    }
    readEnd.reset();
    if (!waitOk(pid)) frames.clear();
    return frames;
}

bool readFrame(int fd, PixelBuffer& frame) {
    // Rows are padded in memory: gather them in few calls, as a reader of a whole frame would.
    const size_t rowBytes = size_t(frame.width()) * 4;
    std::vector<iovec> rows(size_t(frame.height()));
    for (int row = 0; row < frame.height(); ++row) {
        rows[size_t(row)] = {frame.plane(0) + size_t(row) * frame.stride(0), rowBytes};
    }
    size_t next = 0;
    while (next < rows.size()) {
        const int count = int(std::min<size_t>(rows.size() - next, IOV_MAX));
        ssize_t got = readv(fd, &rows[next], count);
        if (got <= 0) return false;
        // Skip what was filled; a short read leaves the rest of one row for the next call.
        while (got > 0) {
            iovec& v = rows[next];
            const size_t used = std::min(size_t(got), v.iov_len);
            v.iov_base = static_cast<uint8_t*>(v.iov_base) + used;
            v.iov_len -= used;
            got -= ssize_t(used);
            if (v.iov_len == 0) ++next;
        }
    }
    return true;
}

UniqueFd startProcess(const std::vector<std::string>& args, pid_t& pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    if (!spawn(args, writeEnd.get(), pid)) return {};
    return readEnd;
}

bool waitProcess(pid_t pid) { return waitOk(pid); }

ProcessRun runProcess(const std::vector<std::string>& args) {
    ProcessRun run;
    pid_t pid = 0;
    const double start = nowMs();
    UniqueFd readEnd = startProcess(args, pid);
    if (!readEnd) return run;
    char buffer[4096];
    for (ssize_t k; (k = read(readEnd.get(), buffer, sizeof buffer)) > 0;) run.output.append(buffer, size_t(k));
    rusage usage{};
    run.ok = waitOk(pid, &usage);
    run.wallMs = nowMs() - start;
    run.cpuMs = cpuMs(usage);
    return run;
}

bool FfmpegRun::start(std::vector<std::string> args) {
    const std::vector<std::string> progress{"-progress", "pipe:1", "-stats_period", "0.1"};
    args.insert(args.end() - 1, progress.begin(), progress.end());
    out_ = startProcess(args, pid_);
    if (!out_) return false;
    reader_ = std::thread([this] {
        std::string pending;
        char buffer[4096];
        for (ssize_t k; (k = read(out_.get(), buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, size_t(k));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
                if (pending.compare(0, 6, "frame=") == 0) frames_ = std::atoll(pending.c_str() + 6);
            }
        }
    });
    return true;
}

bool FfmpegRun::wait() {
    if (!ended_ && pid_ > 0) {
        ended_ = waitOk(pid_);
        if (reader_.joinable()) reader_.join();
    }
    return ended_.value_or(false);
}

FfmpegRun::~FfmpegRun() { wait(); }

const char* verdict(bool met) { return met ? "met" : "missed"; }

void quietLogs() {
    Log::setMinLevel(LogLevel::warn);
    LogStore::shared().setSystemLogEnabled(false);
}

double cpuMs(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

namespace {

// utime + stime (ms) from a /proc stat file; -1 when unreadable.
double statCpuMs(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    const char* rest = read ? std::strrchr(line, ')') : nullptr;
    unsigned long utime = 0, stime = 0;
    // After the name: state and 10 more fields, then utime and stime.
    if (!rest || std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return -1;
    }
    return double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

double processCpuMs(pid_t pid) { return statCpuMs("/proc/" + std::to_string(pid) + "/stat"); }

CpuSplit cpuByThread(const std::vector<int>& peerCpus) {
    CpuSplit split;
    const cpu_set_t peer = cpuSet(peerCpus);
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return split;
    while (dirent* entry = readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0) continue;
        const double ms = statCpuMs("/proc/self/task/" + std::string(entry->d_name) + "/stat");
        if (ms < 0) continue;
        cpu_set_t mask;
        CPU_ZERO(&mask);
        const bool onPeer = sched_getaffinity(tid, sizeof mask, &mask) == 0 && CPU_EQUAL(&mask, &peer);
        if (onPeer) split.peerMs += ms;
    }
    closedir(dir);
    // Not the sum of the host's threads: that would leave out the time of any that ended.
    split.hostMs = std::max(0.0, processCpuMs(getpid()) - split.peerMs);
    return split;
}

double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

bool SplitCpus::parse(const std::string& name, const std::string& value) {
    if (name != "--host-cpus" && name != "--peer-cpus") return false;
    auto cpus = parseCpuList(value);
    if (cpus) (name == "--host-cpus" ? host : peer) = *cpus;
    return cpus.has_value();
}

bool TimedRunOptions::parse(const std::string& name, const std::string& value) {
    if (name == "--seconds") {
        seconds = std::atof(value.c_str());
        return seconds >= 1;
    }
    if (name == "--fps") {
        fps = std::atoi(value.c_str());
        return fps >= 1 && fps <= 240;
    }
    return cpus.parse(name, value);
}

void SplitCpus::fillDefaults() {
    const std::vector<int> allowed = allowedCpus();
    auto take = [&](size_t from) {
        std::vector<int> cpus;
        for (size_t i = from; i < allowed.size() && cpus.size() < 2; ++i) cpus.push_back(allowed[i]);
        return cpus;
    };
    if (host.empty()) host = take(0);
    if (peer.empty()) peer = allowed.size() >= 4 ? take(2) : host;
}

double percentile(std::vector<double> values, double p) { return TimedSamples::percentile(p, values).value_or(0); }

}  // namespace kelvo::bench
