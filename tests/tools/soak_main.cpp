// kelvo-soak: connect, stream and disconnect over and over against the simulated tablet on
// loopback (developer mode, test pattern), printing the process's memory and open descriptors
// after every session, so that a leak shows as growth over a long run, and at the end the memory
// against the first session's and over the last half of the run.
//
//   kelvo-soak [--minutes 30] [--stream-seconds 5]
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/session/session_manager.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/fake_session_environment.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/process_memory.hpp"

using namespace kelvo;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr, "kelvo-soak: %s\nusage: kelvo-soak [--minutes M] [--stream-seconds S]\n", problem.c_str());
    std::exit(2);
}

double parsePositive(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value > 0) || value > 24 * 60) usage("not a positive number: " + text);
    return value;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        ::closedir(d);
    }
    return n - 1;  // the directory being read
}

// Polls `pred` on the main queue until it holds or `limit` passes.
bool waitFor(FakeSessionEnvironment& fake, const std::function<bool()>& pred, std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        bool holds = false;
        fake.onMain([&] { holds = pred(); });
        if (holds) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    keepLargeAllocationsReturnable();  // as kelvo-host does
    double minutes = 30;
    double streamSeconds = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage("missing value after " + arg);
        if (arg == "--minutes") {
            minutes = parsePositive(argv[++i]);
        } else if (arg == "--stream-seconds") {
            streamSeconds = parsePositive(argv[++i]);
        } else {
            usage("unknown argument " + arg);
        }
    }
    Log::setMinLevel(LogLevel::warn);

    FakeIPad::Options tabletOptions;
    tabletOptions.name = "Soak iPad";
    auto made = FakeIPad::make(tabletOptions);
    if (!made.ok()) {
        std::fprintf(stderr, "kelvo-soak: simulated tablet: %s\n", made.error().description().c_str());
        return 1;
    }
    auto tablet = made.value();

    FakeSessionEnvironment fake(FakeSessionEnvironment::Queues::threads);
    fake.settings.update([&](Settings& s) {
        s.directMode = true;
        s.directHost = "127.0.0.1";
        s.directCtrlPort = tablet->ctrlPort();
        s.directVideoPort = tablet->videoPort();
        s.graceSeconds = 0;  // every cycle makes its display anew
    });
    HostOptions options = HostOptions::standard(std::nullopt);
    options.frameSource = HostOptions::FrameSourceKind::testPattern;
    std::shared_ptr<SessionManager> manager;
    fake.onMain([&] {
        manager = SessionManager::create({fake.settings, fake.profiles, fake.appProfiles, fake.pairing, fake.stats},
                                         options, fake.environment());
        manager->start();
    });

    const auto started = Clock::now();
    const auto end = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    int cycles = 0;
    int failures = 0;
    std::vector<long> rss;  // after each session
    std::printf("session  minute  failed  frames-decoded  rss-kib  open-fds\n");
    auto report = [&] {
        const auto counters = tablet->snapshot();
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count() / 60;
        std::printf("%7d  %6.1f  %6d  %14lld  %7ld  %8d\n", cycles, elapsed, failures,
                    static_cast<long long>(counters.framesDecoded), rss.back(), openDescriptors());
        std::fflush(stdout);
    };
    while (Clock::now() < end) {
        bool streamed = waitFor(fake, [&] { return manager->status().is<HostStatus::Connected>(); },
                                std::chrono::seconds(30));
        if (streamed) std::this_thread::sleep_for(std::chrono::duration<double>(streamSeconds));
        fake.onMain([&] { manager->disconnect(); });
        waitFor(fake, [&] { return manager->session() == nullptr; }, std::chrono::seconds(10));
        ++cycles;
        if (!streamed) ++failures;
        rss.push_back(residentKiB());
        report();
        fake.onMain([&] { manager->reconnect(); });
    }
    fake.onMain([&] {
        manager->stop();
        manager.reset();
    });
    tablet->close();
    if (rss.size() >= 2) {
        const size_t half = rss.size() / 2;
        std::printf("RSS after session 1: %.1f MB, after session %zu: %.1f MB, last ÷ first %.2f, last half end ÷ start "
                    "%.2f\n",
                    double(rss.front()) / 1024, rss.size(), double(rss.back()) / 1024,
                    double(rss.back()) / double(std::max(rss.front(), 1L)),
                    double(rss.back()) / double(std::max(rss[half], 1L)));
    }
    return failures == 0 ? 0 : 1;
}
