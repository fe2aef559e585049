// kelvo-fake-tablet: the simulated tablet on 127.0.0.1, for driving the host by hand in
// developer mode. Prints its counters once a second until interrupted.
//
//   kelvo-fake-tablet [--ctrl-port 47100] [--video-port 47101] [--name NAME] [--screen 1024x768]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/protocol/wire.hpp"
#include "testing/fake_ipad.hpp"
#include "core/util/log.hpp"

using namespace kelvo;

namespace {

constexpr const char* kUsage =
    "usage: kelvo-fake-tablet [--ctrl-port N] [--video-port N] [--name NAME] [--screen WxH]\n"
    "  ports default to 47100 and 47101 (0: any free port); the screen size is in points\n";

volatile std::sig_atomic_t stopRequested = 0;

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr, "kelvo-fake-tablet: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

uint16_t parsePort(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 65535) usage("not a port: " + text);
    return static_cast<uint16_t>(value);
}

SizeD parseScreen(const std::string& text) {
    double w = 0, h = 0;
    char x = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%lf%c%lf%c", &w, &x, &h, &extra) != 3 || (x != 'x' && x != 'X') || !(w >= 1) ||
        !(h >= 1) || w > HelloMsg::kMaxScreenPoints || h > HelloMsg::kMaxScreenPoints)
        usage("not a screen size: " + text);
    return {w, h};
}

}  // namespace

int main(int argc, char** argv) {
    FakeIPad::Options options;
    uint16_t ctrlPort = Wire::ctrlPort, videoPort = Wire::videoPort;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) usage("missing value after " + name);
        const std::string value = argv[++i];
        if (name == "--ctrl-port") {
            ctrlPort = parsePort(value);
        } else if (name == "--video-port") {
            videoPort = parsePort(value);
        } else if (name == "--name") {
            options.name = value;
        } else if (name == "--screen") {
            options.screenPoints = parseScreen(value);
        } else {
            usage("unknown option " + name);
        }
    }
    Log::setMinLevel(LogLevel::warn);
    LogStore::shared().setEchoLevel(LogLevel::warn);
    auto made = FakeIPad::make(options, ctrlPort, videoPort);
    if (!made.ok()) {
        std::fprintf(stderr, "kelvo-fake-tablet: %s\n", made.error().description().c_str());
        return 1;
    }
    auto fake = made.value();
    fake->onLog = [](const std::string& line) { std::printf("fake: %s\n", line.c_str()); };
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::printf("listening on 127.0.0.1: control %u, video %u\n", fake->ctrlPort(), fake->videoPort());
    std::fflush(stdout);
    while (!stopRequested) {
        // Short naps so an interrupt ends the run promptly.
        for (int i = 0; i < 10 && !stopRequested; ++i) {
            struct timespec nap{0, 100'000'000};
            nanosleep(&nap, nullptr);
        }
        const auto c = fake->snapshot();
        std::printf("sessions %lld (secure %lld)  helloAcks %lld  formats %lld  %.0fx%.0f  frames %lld  decoded %lld  "
                    "keyframes %lld  errors %lld  stops %lld  probes %lld  avg decode %.0f us  toasts %zu  cursor %lld/%lld"
                    "%s%s\n",
                    (long long)c.sessions, (long long)c.secureSessions, (long long)c.helloAcks,
                    (long long)c.streamFormats, c.streamSize.width, c.streamSize.height, (long long)c.framesReceived,
                    (long long)c.framesDecoded, (long long)c.keyframes, (long long)c.decodeErrors,
                    (long long)c.streamStops, (long long)c.probesAnswered, c.avgDecodeUs, c.toasts.size(),
                    (long long)c.cursorShapes, (long long)c.cursorStates, c.lastBye ? "  bye " : "",
                    c.lastBye ? c.lastBye->c_str() : "");
        std::fflush(stdout);
    }
    fake->close();
    return 0;
}
