// kelvo-host as a user starts it, on an X server with a tray, in developer mode pointed at the
// simulated tablet command: frames reach the tablet and are decoded, and SIGTERM ends the host
// through its stop path (the tablet hears the bye) with exit status 0.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>

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

TEST(HostEndToEnd, StreamsToTheSimulatedTabletAndSaysByeOnSigterm) {
    std::string whyNot;
    auto* desktop = test::XDesktop::get(&whyNot);
    if (!desktop) GTEST_SKIP() << whyNot;
    test::TempDir dir;

    auto tablet = test::ChildProcess::start(
        {KELVO_FAKE_TABLET, "--ctrl-port", "0", "--video-port", "0", "--name", "End-to-end iPad"},
        dir.file("tablet.log"), true);
    ASSERT_TRUE(tablet);
    auto first = tablet->readLine(10'000);
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
    const bool decoded = readUntil(*tablet, decodedFrames, 60'000, last);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(decoded) << "last tablet line: " << last << "\nhost output:\n" << test::readFile(dir.file("host.log"));
    std::cout << "first decoded frames reported after " << seconds << " s: " << last << "\n";
    EXPECT_LT(seconds, 20) << "slow start";

    auto status = host->stop(SIGTERM, 10'000);
    ASSERT_TRUE(status) << "kelvo-host did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << "wait status " << *status << "\nhost output:\n" << test::readFile(dir.file("host.log"));
    auto byeShutdown = [](const std::string& line) { return line.find("bye shutdown") != std::string::npos; };
    EXPECT_TRUE(readUntil(*tablet, byeShutdown, 5'000, last)) << "last tablet line: " << last;
}

}  // namespace
}  // namespace kelvo
