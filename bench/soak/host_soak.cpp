// kelvo-host as a user runs it, session after session: the host process on a headless Xorg in
// developer mode, the simulated tablet in this process started anew for every session on the same
// ports (as a tablet that is plugged in and out), moving content drawn on the host's virtual
// monitor while it streams. After every session the host's resident memory (RSS), threads and
// open descriptors are printed; at the end the growth against the first session and over the
// last half of the run, which must stay flat. With --static-seconds, one more session streams a
// desktop where nothing changes, and the host's CPU over that time is printed.
//
//   host_soak [--sessions 100] [--stream-seconds 8] [--static-seconds 0] [--tablet-points 1024x768]
//             [--host-cpus 0,1] [--peer-cpus 2,3] [--host PATH]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "animated_window.hpp"
#include "bench_desktop.hpp"
#include "testing/fake_ipad.hpp"

extern char** environ;

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr const char* kUsage =
    "host_soak [--sessions N] [--stream-seconds S] [--static-seconds S] [--tablet-points WxH] [--host-cpus LIST] "
    "[--peer-cpus LIST] [--host PATH]";

struct Options : CommonOptions {
    int sessions = 100;
    double streamSeconds = 8;
    double staticSeconds = 0;
    FrameSize tabletPoints{1024, 768};
    SplitCpus cpus;
    std::string host = KELVO_HOST;
};

Options parse(int argc, char** argv) {
    Options o;
    parseOptions(argc, argv, kUsage, o, [&](const std::string& name, const std::string& value) {
        if (name == "--sessions") {
            o.sessions = std::atoi(value.c_str());
            return o.sessions >= 2 && o.sessions <= 100'000;
        }
        if (name == "--stream-seconds") {
            o.streamSeconds = std::atof(value.c_str());
            return o.streamSeconds >= 1 && o.streamSeconds <= 3600;
        }
        if (name == "--static-seconds") {
            o.staticSeconds = std::atof(value.c_str());
            return o.staticSeconds >= 1 && o.staticSeconds <= 3600;
        }
        if (name == "--tablet-points") {
            auto size = parseSize(value);
            if (size) o.tabletPoints = *size;
            return size.has_value();
        }
        if (name == "--host") {
            o.host = value;
            return !value.empty();
        }
        return o.cpus.parse(name, value);
    });
    return o;
}

// One field of /proc/PID/status in kB (or a count), -1 when unreadable.
long statusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    }
    return -1;
}

int openDescriptors(pid_t pid) {
    int n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// kelvo-host with its output in `log`; it inherits the calling thread's CPUs and the environment.
pid_t startHost(const std::string& path, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

bool exited(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

struct Sample {
    long rssKiB = 0;
    long threads = 0;
    int fds = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    o.cpus.fillDefaults();
    quietLogs();
    auto desktop = BenchDesktop::startOrExit("host_soak", o.cpus.peer);
    const std::vector<DisplayId> before = desktop->displays->onlineDisplays();

    char folderTemplate[] = "/tmp/kelvo-soak-XXXXXX";
    const char* folderMade = ::mkdtemp(folderTemplate);
    if (!folderMade) {
        std::perror("host_soak: mkdtemp");
        return 1;
    }
    const std::string folder = folderMade;
    FakeIPad::Options tabletOptions;
    tabletOptions.name = "Soak iPad";
    tabletOptions.screenPoints = {double(o.tabletPoints.width), double(o.tabletPoints.height)};
    auto made = FakeIPad::make(tabletOptions);
    if (!made.ok()) {
        std::fprintf(stderr, "host_soak: simulated tablet: %s\n", made.error().description().c_str());
        return 1;
    }
    std::shared_ptr<FakeIPad> tablet = made.value();
    const uint16_t ctrlPort = tablet->ctrlPort(), videoPort = tablet->videoPort();

    ::mkdir((folder + "/config").c_str(), 0700);
    writeFile(folder + "/config/kv.settings.json",
              "{\"directMode\":true,\"directHost\":\"127.0.0.1\",\"directCtrlPort\":" + std::to_string(ctrlPort) +
                  ",\"directVideoPort\":" + std::to_string(videoPort) + ",\"launchAtLogin\":false}");
    setenv("KELVO_CONFIG_DIR", (folder + "/config").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder + "/xdg-config").c_str(), 1);
    setenv("XDG_DATA_HOME", (folder + "/xdg-data").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder + "/no-bus").c_str(), 1);
    setenv("DISPLAY", desktop->server->display().c_str(), 1);
    if (!pinThread(o.cpus.host)) fail(kUsage, "cannot run on --host-cpus");
    const pid_t host = startHost(o.host, folder + "/host.log");
    if (!pinThread(o.cpus.peer)) fail(kUsage, "cannot run on --peer-cpus");
    if (host <= 0) {
        std::fprintf(stderr, "host_soak: cannot start %s\n", o.host.c_str());
        return 1;
    }

    std::printf("kelvo-host, %d sessions of %.0f s streaming moving content, the simulated tablet started anew for "
                "each; host CPUs %s, X server, drawing and tablet on %s\n",
                o.sessions, o.streamSeconds, cpuListText(o.cpus.host).c_str(), cpuListText(o.cpus.peer).c_str());
    std::printf("session  rss-kib  threads  fds  frames-decoded\n");
    std::fflush(stdout);

    std::unique_ptr<AnimatedWindow> window;
    Rect windowArea;
    std::vector<Sample> samples;
    bool failed = false;
    // One session: the tablet (anew after the first) until frames are decoded, then `work` while
    // it streams; false when it did not stream.
    auto session = [&](int number, bool moving, const std::function<void()>& work) {
        if (!tablet) {
            auto again = FakeIPad::make(tabletOptions, ctrlPort, videoPort);
            if (!again.ok()) {
                std::fprintf(stderr, "host_soak: simulated tablet: %s\n", again.error().description().c_str());
                return false;
            }
            tablet = again.value();
        }
        // Streaming, on a monitor the host made.
        const double deadline = nowMs() + 60'000;
        std::optional<Rect> area;
        while (nowMs() < deadline && !exited(host)) {
            if (!area) {
                for (DisplayId id : desktop->displays->onlineDisplays()) {
                    if (std::find(before.begin(), before.end(), id) == before.end()) area = desktop->displays->bounds(id);
                }
            }
            if (area && tablet->snapshot().framesDecoded > 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!area || tablet->snapshot().framesDecoded == 0) {
            std::fprintf(stderr, "host_soak: session %d did not stream within 60 s (host log: %s/host.log)\n", number,
                         folder.c_str());
            return false;
        }
        if (!moving) {
            window.reset();
        } else if (!window || !(*area == windowArea)) {
            window.reset();
            window = AnimatedWindow::start(desktop->server->display(), int(area->x), int(area->y), int(area->width),
                                           int(area->height), 60);
            windowArea = *area;
        }
        work();
        tablet->close();
        tablet.reset();
        return true;
    };
    for (int number = 1; number <= o.sessions && !failed; ++number) {
        int64_t decoded = 0;
        failed = !session(number, true, [&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(o.streamSeconds));
            decoded = tablet->snapshot().framesDecoded;
        });
        if (failed) break;
        // The host notices the end, tears the session down and waits to retry.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        Sample s{statusField(host, "VmRSS"), statusField(host, "Threads"), openDescriptors(host)};
        samples.push_back(s);
        std::printf("%7d  %7ld  %7ld  %3d  %14lld\n", number, s.rssKiB, s.threads, s.fds,
                    static_cast<long long>(decoded));
        std::fflush(stdout);
    }
    double staticCore = -1;
    if (!failed && o.staticSeconds > 0) {
        failed = !session(o.sessions + 1, false, [&] {
            std::this_thread::sleep_for(std::chrono::seconds(3));  // the last changes go out
            const double cpu0 = processCpuMs(host), t0 = nowMs();
            std::this_thread::sleep_for(std::chrono::duration<double>(o.staticSeconds));
            staticCore = (processCpuMs(host) - cpu0) / (nowMs() - t0);
        });
    }
    window.reset();
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);

    if (samples.size() >= 2) {
        const size_t half = samples.size() / 2;
        long lo = samples[half].rssKiB, hi = lo;
        for (size_t i = half; i < samples.size(); ++i) {
            lo = std::min(lo, samples[i].rssKiB);
            hi = std::max(hi, samples[i].rssKiB);
        }
        const double first = double(samples.front().rssKiB), last = double(samples.back().rssKiB);
        const double ratio = first > 0 ? last / first : 0;
        // Flat: the second half's spread is small beside the first session's memory, and its end
        // is not its top because of a climb.
        const double spread = first > 0 ? double(hi - lo) / first : 0;
        const double secondHalfGrowth = samples[half].rssKiB > 0 ? last / double(samples[half].rssKiB) : 0;
        std::printf("  (machine shared with other work: figures are noisy)\n");
        std::printf("  RSS after session 1 / %zu   %8.1f / %.1f MB\n", samples.size(), first / 1024, last / 1024);
        std::printf("  RSS last ÷ first           %8.2f        (goal ≤ 1.3: %s)\n", ratio,
                    verdict(ratio > 0 && ratio <= 1.3));
        std::printf("  last %zu sessions           %8.1f … %.1f MB, end ÷ start %.2f   (spread %.0f%% of the first; "
                    "goal flat: %s)\n",
                    samples.size() - half, double(lo) / 1024, double(hi) / 1024, secondHalfGrowth, spread * 100,
                    verdict(secondHalfGrowth <= 1.05));
        std::printf("  threads / fds first, last  %ld / %d, %ld / %d\n", samples.front().threads, samples.front().fds,
                    samples.back().threads, samples.back().fds);
    }
    if (staticCore >= 0) {
        std::printf("  static desktop, streaming  %8.2f%% of one core over %.0f s   (goal < 0.5%%: %s)\n",
                    staticCore * 100, o.staticSeconds, verdict(staticCore < 0.005));
    }
    if (failed) return 1;
    std::string cleanup = "rm -rf '" + folder + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "host_soak: cannot remove %s\n", folder.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
