// kelvo-host as a user starts it, on an X server with a tray, in developer mode pointed at the
// simulated tablet command: frames reach the tablet and are decoded, keep flowing while the
// desktop changes, and SIGTERM ends the host through its stop path (the tablet hears the bye), a
// stream of SIGTERMs through it included, with exit status 0.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "host_test_support.hpp"
#include "x_desktop.hpp"

namespace kelvo {
namespace {

// Reads the tablet's lines until `matches` accepts one; false after `timeoutMs`.
bool readUntil(test::ChildProcess& tablet, const std::function<bool(const std::string&)>& matches, int timeoutMs,
               std::string& last) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto line = tablet.readLine(int(std::max<int64_t>(left.count(), 1)));
        if (!line) return false;
        last = *line;
        if (matches(*line)) return true;
    }
    return false;
}

// Another program animating the desktop: one window over the whole screen, whatever size it
// grows to, changes colour about 30 times a second until the painter goes.
class Animation {
public:
    explicit Animation(const std::string& display) : thread_([this, display] { run(display); }) {}
    ~Animation() {
        stop_ = true;
        thread_.join();
    }

private:
    void run(const std::string& display) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return;
        }
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_window_t window = xcb_generate_id(c);
        uint32_t values[] = {0, 1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 16000, 16000, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, window);
        for (uint32_t step = 0; !stop_; ++step) {
            uint32_t colour = (step * 40) % 256 << 16 | (step * 90) % 256 << 8 | (step * 150) % 256;
            xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXEL, &colour);
            xcb_clear_area(c, 0, window, 0, 0, 0, 0);
            xcb_flush(c);
            // Paces the animation; the test waits on what the tablet reports, not on this.
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        xcb_destroy_window(c, window);
        xcb_flush(c);
        xcb_disconnect(c);
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The tablet's "decoded N" counter in one of its once-a-second report lines; -1 in other lines.
long long decodedIn(const std::string& line) {
    auto at = line.find("decoded ");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + 8);
}

// Ten times the two or three frames of a still desktop.
constexpr long long kFramesOfAChangingDesktop = 30;

TEST(HostEndToEnd, StreamsToTheSimulatedTabletAndSaysByeOnSigterm) {
    std::string whyNot;
    auto* desktop = test::XDesktop::get(&whyNot);
    if (!desktop) GTEST_SKIP() << whyNot;
    test::TempDir dir;

    auto tablet = test::ChildProcess::start(
        {KELVO_FAKE_TABLET, "--ctrl-port", "0", "--video-port", "0", "--name", "End-to-end iPad"},
        dir.file("tablet.log"), true);
    ASSERT_TRUE(tablet);
    auto first = tablet->readLine(int(std::chrono::milliseconds(test::kPatience).count()));
    unsigned ctrlPort = 0, videoPort = 0;
    ASSERT_TRUE(first && std::sscanf(first->c_str(), "listening on 127.0.0.1: control %u, video %u", &ctrlPort,
                                     &videoPort) == 2)
        << first.value_or("");

    ASSERT_EQ(mkdir(dir.file("config").c_str(), 0700), 0);
    test::writeFile(dir.file("config/kv.settings.json"),
                    "{\"directMode\":true,\"directHost\":\"127.0.0.1\",\"directCtrlPort\":" + std::to_string(ctrlPort) +
                        ",\"directVideoPort\":" + std::to_string(videoPort) + ",\"launchAtLogin\":false}");
    setenv("KELVO_CONFIG_DIR", dir.file("config").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.file("xdg-config").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.file("xdg-data").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    auto host = test::ChildProcess::start({KELVO_HOST}, dir.file("host.log"));
    ASSERT_TRUE(host);

    const auto started = std::chrono::steady_clock::now();
    std::string last;
    auto decodedFrames = [](const std::string& line) {
        auto at = line.find("decoded ");
        return at != std::string::npos && std::atoll(line.c_str() + at + 8) > 0;
    };
    // The host probes first: on a busy machine each of its steps may use its whole 10 s budget.
    const bool decoded = readUntil(*tablet, decodedFrames, 180'000, last);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(decoded) << "last tablet line: " << last << "\nhost output:\n" << test::readFile(dir.file("host.log"));
    std::cout << "first decoded frames reported after " << seconds << " s: " << last << "\n";
    EXPECT_LT(seconds, 120) << "slow start";

    // A still desktop gives a handful of frames; a changing one a steady flow. Counted in the
    // tablet's reports, not in time: under load each report only comes later.
    {
        Animation animation(desktop->display());
        const long long before = decodedIn(last);
        long long previous = before, now = before;
        int reports = 0, quietReports = 0, longestQuiet = 0;
        while (now < before + kFramesOfAChangingDesktop && reports < 40) {
            ASSERT_TRUE(readUntil(*tablet, [](const std::string& line) { return decodedIn(line) >= 0; }, 30'000, last))
                << "the tablet stopped reporting; last line: " << last;
            ++reports;
            now = decodedIn(last);
            quietReports = now > previous ? 0 : quietReports + 1;
            longestQuiet = std::max(longestQuiet, quietReports);
            previous = now;
        }
        std::cout << now - before << " frames decoded over " << reports << " reports of a changing desktop, "
                  << "longest run of reports without a frame: " << longestQuiet << "\n";
        EXPECT_GE(now - before, kFramesOfAChangingDesktop) << "last tablet line: " << last;
        EXPECT_LE(longestQuiet, 5) << "frames stopped flowing; last tablet line: " << last;
    }

    // SIGTERMs that keep coming while the host is on its way out (a process group's, Ctrl-C
    // pressed again and again) leave the stop path to finish, to its last step: one every 2 ms
    // until the host has exited. The log is echoed to the file where no system log listens.
    const pid_t pid = host->pid();
    int signals = 0;
    for (const auto deadline = std::chrono::steady_clock::now() + test::kPatience;
         std::chrono::steady_clock::now() < deadline; ++signals) {
        siginfo_t exited{};
        // WNOWAIT leaves the exited host unreaped, so its pid cannot pass to another process.
        if (waitid(P_PID, id_t(pid), &exited, WEXITED | WNOHANG | WNOWAIT) == 0 && exited.si_pid == pid) break;
        kill(pid, SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::cout << signals << " SIGTERMs sent while the host stopped\n";
    auto status = host->stop(SIGTERM, 10'000);
    ASSERT_TRUE(status) << "kelvo-host did not end on SIGTERM";
    const std::string output = test::readFile(dir.file("host.log"));
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status << "\nhost output:\n" << output;
    EXPECT_NE(output.find("[manager] stopped"), std::string::npos) << output;
    auto byeShutdown = [](const std::string& line) { return line.find("bye shutdown") != std::string::npos; };
    EXPECT_TRUE(readUntil(*tablet, byeShutdown, 5'000, last)) << "last tablet line: " << last;
}

}  // namespace
}  // namespace kelvo
