#pragma once

// What the benchmarks share: frames to encode (the test pattern, or moving content from ffmpeg's
// testsrc2), CPU sets, child processes and their CPU time.
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/util/unique_fd.hpp"
#include "core/video/pixel_buffer.hpp"

namespace kelvo::bench {

enum class Content { pattern, motion };

struct FrameSize {
    int width = 0;
    int height = 0;
    double megapixels() const { return double(width) * height / 1e6; }
    size_t bgraBytes() const { return size_t(width) * size_t(height) * 4; }
};

std::optional<FrameSize> parseSize(const std::string& text);        // "2732x2048" or "2732×2048"
std::optional<Content> parseContent(const std::string& text);       // "pattern" | "motion"
const char* contentName(Content content);
// "0,1", "4-7" or "0,2-3"; nullopt for anything else.
std::optional<std::vector<int>> parseCpuList(const std::string& text);
std::string cpuListText(const std::vector<int>& cpus);
// The CPUs this process may run on, in order.
std::vector<int> allowedCpus();
cpu_set_t cpuSet(const std::vector<int>& cpus);
// Restricts the calling thread (and the threads it starts later) to `cpus`.
bool pinThread(const std::vector<int>& cpus);

// The CPUs of a benchmark's host side and of its simulated tablet.
struct SplitCpus {
    std::vector<int> host;
    std::vector<int> peer;
    // Takes "--host-cpus LIST" and "--peer-cpus LIST"; false for another name or a bad list.
    bool parse(const std::string& name, const std::string& value);
    // Fills what was not given: the first two CPUs the process may use for the host, the next two
    // for the tablet (the host's when there are fewer than four).
    void fillDefaults();
};

// The options of a timed run at a frame rate on split CPUs: "--seconds S" (at least 1), "--fps N"
// (1 to 240), "--host-cpus LIST", "--peer-cpus LIST".
struct TimedRunOptions {
    double seconds = 10;
    int fps = 60;
    SplitCpus cpus;
    // False for another name or a bad value.
    bool parse(const std::string& name, const std::string& value);
};

// The options both benchmarks take, and the loop over "--name value" pairs.
struct CommonOptions {
    FrameSize size{2048, 1536};
    Content content = Content::motion;
    int bitrate = 20'000'000;
    std::string ffmpeg = "ffmpeg";
};
// Parses every pair: the common ones into `common`, the rest through `own` (false: unknown or
// bad). On an error prints why and `usage`, and exits with status 2.
void parseOptions(int argc, char** argv, const char* usage, CommonOptions& common,
                  const std::function<bool(const std::string& name, const std::string& value)>& own);
[[noreturn]] void fail(const char* usage, const std::string& why);

// User + system CPU time (ms) of a whole process so far, all its threads; -1 when unreadable.
double processCpuMs(pid_t pid);

// Writes `count` BGRA frames to `path`: testsrc2 through ffmpeg, or our test pattern.
bool writeFrames(Content content, FrameSize size, int fps, int count, const std::string& path,
                 const std::string& ffmpeg);
// The same frames, in memory.
std::vector<PixelBufferRef> makeFrames(Content content, FrameSize size, int fps, int count, const std::string& ffmpeg);
// Reads one BGRA frame from a descriptor into `frame`; false at the end or on an error.
bool readFrame(int fd, PixelBuffer& frame);

// A child process and what it used.
struct ProcessRun {
    bool ok = false;
    double cpuMs = 0;   // user + system of the child
    double wallMs = 0;
    std::string output;  // its standard output
};
// Runs `args` (args[0] looked up on PATH) to its end, standard input from /dev/null.
ProcessRun runProcess(const std::vector<std::string>& args);
// Starts `args` with its standard output on the returned descriptor; waitProcess() reaps it.
UniqueFd startProcess(const std::vector<std::string>& args, pid_t& pid);
bool waitProcess(pid_t pid);

// "met" or "missed", for a goal's line.
const char* verdict(bool met);
// Warnings and errors only, and nothing to the system log: a benchmark's output is its figures.
void quietLogs();

// An ffmpeg run whose progress is followed as it goes: frames written so far and its CPU time.
class FfmpegRun {
public:
    FfmpegRun() = default;
    ~FfmpegRun();  // waits for the process
    FfmpegRun(const FfmpegRun&) = delete;
    FfmpegRun& operator=(const FfmpegRun&) = delete;

    // Starts `args` (ffmpeg and its options, the output last) with its progress on a pipe.
    bool start(std::vector<std::string> args);
    int64_t frames() const { return frames_.load(); }  // at most 0.1 s late
    double cpuMs() const { return processCpuMs(pid_); }
    // Waits for the end; true when it ended well.
    bool wait();

private:
    pid_t pid_ = -1;
    UniqueFd out_;
    std::atomic<int64_t> frames_{0};
    std::thread reader_;
    std::optional<bool> ended_;
};

double cpuMs(const rusage& usage);

// CPU time (ms) of this process, split by whether a thread runs on the peer's CPUs. Threads
// that ended meanwhile count on the host's side (the process keeps their time); the peer's are
// the ones that last the run.
struct CpuSplit {
    double hostMs = 0;
    double peerMs = 0;
};
CpuSplit cpuByThread(const std::vector<int>& peerCpus);
double nowMs();
double percentile(std::vector<double> values, double p);

}  // namespace kelvo::bench
