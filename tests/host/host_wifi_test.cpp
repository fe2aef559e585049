// kelvo-host as a user runs it, with a paired tablet that moves between the cable and Wi-Fi: the
// USB multiplexing daemon is a fake at a socket of the test's own (USBMUXD_SOCKET_ADDRESS), the
// Wi-Fi is a network namespace with a real avahi-daemon on a private system bus, and the simulated
// tablet is reached through both. The host's log is read from the /dev/log the namespace script
// gives the test. Outside the namespace each test re-runs itself inside it (skipped, saying why,
// where namespaces cannot be made).
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "child_process.hpp"
#include "testing/fake_ipad.hpp"
#include "testing/fake_usbmuxd.hpp"
#include "testing/x_server.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/util/log.hpp"
#include "platform/avahi/avahi_discovery.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kDeviceID = 7;
const std::string kUdid = "00008101-0000WIFITEST";
const std::string kWaiting = "browser waiting: avahi-daemon is not running";
const std::string kSearching = "status: 未插 USB，正在无线查找已配对的 iPad…";

// What kelvo-host writes to the system log, read from the datagram socket /dev/log leads to.
class HostLog {
public:
    explicit HostLog(const std::string& path) {
        fd_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        // The host blocks on a full socket: read all the time.
        reader_ = std::thread([this] { read(); });
    }
    ~HostLog() {
        done_ = true;
        reader_.join();
    }
    bool bound() const { return bound_; }

    size_t count(const std::string& fragment) const {
        std::lock_guard g(m_);
        size_t n = 0;
        for (auto& line : lines_) n += line.find(fragment) != std::string::npos;
        return n;
    }
    bool waitFor(const std::string& fragment, size_t times = 1, std::chrono::milliseconds timeout = 90s) const {
        return test::waitUntil([&] { return count(fragment) >= times; }, timeout);
    }
    // The lines from the first that holds `fragment` on.
    std::vector<std::string> after(const std::string& fragment) const {
        std::lock_guard g(m_);
        for (size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i].find(fragment) != std::string::npos) return {lines_.begin() + long(i), lines_.end()};
        return {};
    }
    std::string text() const {
        std::lock_guard g(m_);
        std::string out;
        for (auto& line : lines_) out += line + "\n";
        return out;
    }

private:
    void read() {
        char buf[65536];
        while (!done_) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
            if (n <= 0) continue;
            // "<pri>Mmm dd hh:mm:ss com.kelvo.host[pid]: [tag] message"; the host is the only
            // process here that logs under that name (the test's own log stays in memory).
            std::string datagram(buf, size_t(n));
            auto ident = datagram.find("com.kelvo.host[");
            auto colon = datagram.find("]: ", ident);
            if (ident == std::string::npos || colon == std::string::npos) continue;
            std::lock_guard g(m_);
            lines_.push_back(datagram.substr(colon + 3));
        }
    }

    UniqueFd fd_;
    bool bound_ = false;
    std::atomic<bool> done_{false};
    mutable std::mutex m_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

// The test's side of the road: an X server, the fake USB daemon, the simulated tablet (plain
// ports behind the daemon, secure ports on the namespace's links, advertised through Avahi), and
// kelvo-host started with a configuration of the test's own.
class WiFiRoad {
public:
    WiFiRoad() : log_(getenv("KELVO_SYSLOG_SOCKET") ? getenv("KELVO_SYSLOG_SOCKET") : dir_.file("no-syslog")) {
        // This process's own entries stay out of the host's log.
        LogStore::shared().setSystemLogEnabled(false);
    }
    ~WiFiRoad() {
        if (host_) host_->stop(SIGTERM, 10'000);
        if (tablet_) tablet_->close();
        daemon_.stop();
        if (avahi_) avahi_->stop();
    }

    // Empty on success, else why the road cannot be laid here. Without `wireless` the host reaches
    // the tablet through the cable only.
    std::string lay(bool wireless) {
        if (!log_.bound()) return "no syslog socket from the namespace script";
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot);
        if (!server_) return "no X server: " + whyNot;
        daemon_.start();
        avahi_ = std::make_shared<AvahiDiscovery>();
        if (!avahi_->start()) return "no Avahi client";
        FakeIPad::Options options;
        options.name = "Wi-Fi iPad";
        options.serviceName = "kelvo-wifi-" + std::to_string(::getpid());
        options.publisher = avahi_;
        options.secureHost = "0.0.0.0";  // the namespace's links: only its own addresses are there
        auto made = FakeIPad::make(options);
        if (!made.ok()) return made.error().description();
        tablet_ = made.value();
        daemon_.mapPort(kDeviceID, 47100, tablet_->ctrlPort());
        daemon_.mapPort(kDeviceID, 47101, tablet_->videoPort());
        mkdir(dir_.file("config").c_str(), 0700);
        // The display is kept across hand-overs for this long: a loaded machine may be slow.
        test::writeFile(dir_.file("config/kv.settings.json"),
                        std::string(R"({"wireless":)") + (wireless ? "true" : "false") +
                            R"(,"directMode":false,"autoConnect":true,"launchAtLogin":false,)"
                        R"("graceSeconds":60})");
        return {};
    }

    // A pairing the host already holds (as saved by an earlier cable session), and the tablet too.
    void pairBeforehand() {
        PairingStore store(pairingFile());
        auto key = SecureTransport::newKey();
        store.save(PairingRecord{kUdid, tablet_->options().name, *tablet_->options().serviceName, key, SystemTime{}});
        tablet_->setPairing(store.hostID(), key);
    }

    bool startHost() {
        setenv("DISPLAY", server_->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("KELVO_CONFIG_DIR", dir_.file("config").c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir_.file("xdg-config").c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.file("xdg-data").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir_.file("no-bus")).c_str(), 1);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir_.file("usbmuxd")).c_str(), 1);
        host_ = test::ChildProcess::start({KELVO_HOST}, dir_.file("host.out"));
        return host_.has_value();
    }

    void attach() { daemon_.attach(UsbmuxDevice{kDeviceID, kUdid, 0x12ab, "USB"}); }
    void detach() { daemon_.detach(kDeviceID); }
    // As `kill` or a crash leaves it: no Detached, the socket file stays; the tablet stays attached.
    void killDaemon() { daemon_.stop(/*leaveSocket=*/true); }
    void restartDaemon() { daemon_.start(); }

    // Frames decoded by the tablet grow past `than`.
    bool decodesMore(int64_t than) {
        return test::waitUntil([&] { return tablet_->snapshot().framesDecoded > than; }, 90s);
    }

    std::string pairingFile() const { return dir_.file("xdg-data") + "/Kelvo/pairing.json"; }
    std::string why() const { return "host log:\n" + log_.text() + "host output:\n" + test::readFile(dir_.file("host.out")); }

    FakeIPad& tablet() { return *tablet_; }
    HostLog& log() { return log_; }

private:
    test::TempDir dir_;
    HostLog log_;
    std::unique_ptr<XServer> server_;
    test::FakeUsbmuxd daemon_{dir_.file("usbmuxd")};
    std::shared_ptr<AvahiDiscovery> avahi_;
    std::shared_ptr<FakeIPad> tablet_;
    std::optional<test::ChildProcess> host_;
};

// The display number the host's broker says it reuses in the first such line after `fragment`.
std::string reusedDisplayAfter(const HostLog& log, const std::string& fragment) {
    static const std::regex reuse(R"(\[display\] reusing display (\d+))");
    for (const auto& line : log.after(fragment)) {
        std::smatch m;
        if (std::regex_search(line, m, reuse)) return m[1];
    }
    return {};
}

// Runs the calling test again inside its network namespace and lays the road there: `road` stays
// empty in the process outside (the run inside was the test) and where the test is skipped.
void layRoad(const char* scriptArgs, std::unique_ptr<WiFiRoad>& road, bool wireless = true) {
    std::string skipText;
    auto run = test::rerunInNamespace(KELVO_NETNS_SCRIPT, scriptArgs, skipText);
    if (run == test::NamespaceRun::doneOutside) return;
    if (run == test::NamespaceRun::skipped) GTEST_SKIP() << skipText;
    auto laid = std::make_unique<WiFiRoad>();
    if (auto whyNot = laid->lay(wireless); !whyNot.empty()) GTEST_SKIP() << whyNot;
    road = std::move(laid);
}

TEST(HostOverWiFi, PairsOverTheCableThenFollowsTheTabletToWiFiAndBack) {
    std::unique_ptr<WiFiRoad> laid;
    layRoad("--syslog", laid);
    if (!laid) return;
    WiFiRoad& road = *laid;
    auto& log = road.log();
    road.attach();
    ASSERT_TRUE(road.startHost());

    // Over the cable: connected, paired (the record saved), streaming.
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via USB")) << road.why();
    ASSERT_TRUE(log.waitFor("[pairing] paired ")) << road.why();
    ASSERT_TRUE(road.decodesMore(0)) << road.why();
    EXPECT_NE(test::readFile(road.pairingFile()).find(kUdid), std::string::npos);

    // Cable out: the host hands over and looks for the tablet on Wi-Fi, where it finds it.
    int64_t decoded = road.tablet().snapshot().framesDecoded;
    road.detach();
    ASSERT_TRUE(log.waitFor("[session] ending: handing over: detached")) << road.why();
    ASSERT_TRUE(log.waitFor("[manager] " + kSearching)) << road.why();
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via Wi\u2011Fi")) << road.why();
    EXPECT_EQ(log.count("[wireless] _kelvo._tcp ready via kv"), 1u) << road.why();
    ASSERT_TRUE(road.decodesMore(decoded)) << road.why();
    EXPECT_GE(road.tablet().snapshot().secureSessions, 1);
    const std::string wifiDisplay = reusedDisplayAfter(log, "CTRL connected via Wi\u2011Fi");

    // Cable in again: back to USB on the same display.
    decoded = road.tablet().snapshot().framesDecoded;
    road.attach();
    ASSERT_TRUE(log.waitFor("[session] ending: handing over: usb")) << road.why();
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via USB", 2)) << road.why();
    ASSERT_TRUE(road.decodesMore(decoded)) << road.why();
    const std::string usbDisplay = reusedDisplayAfter(log, "ending: handing over: usb");
    EXPECT_FALSE(usbDisplay.empty()) << road.why();
    EXPECT_EQ(usbDisplay, wifiDisplay) << road.why();
    std::cout << "host log of this run:\n" << log.text();
}

TEST(HostOverWiFi, WithoutTheAvahiDaemonSaysSoOnceAndFindsTheTabletWhenItStartsOrComesBack) {
    std::unique_ptr<WiFiRoad> laid;
    layRoad("--syslog --avahi-later", laid);
    if (!laid) return;
    WiFiRoad& road = *laid;
    auto& log = road.log();
    road.pairBeforehand();
    ASSERT_TRUE(road.startHost());

    ASSERT_TRUE(log.waitFor("[wireless] " + kWaiting)) << road.why();
    // Nothing repeats while the daemon stays away (the USB daemon's retries come every 3 s).
    EXPECT_FALSE(log.waitFor(kWaiting, 2, 4s)) << road.why();
    EXPECT_EQ(log.count(kSearching), 0u) << road.why();

    ASSERT_EQ(std::system(getenv("KELVO_AVAHI_START")), 0);
    ASSERT_TRUE(log.waitFor("[wireless] browser searching again")) << road.why();
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via Wi\u2011Fi")) << road.why();
    ASSERT_TRUE(road.decodesMore(0)) << road.why();
    EXPECT_EQ(log.count(kWaiting), 1u) << road.why();

    // The daemon stops and comes back: said once each way; the running session does not need it.
    const std::string pid = test::readFile(std::string(getenv("KELVO_NETNS_WORK")) + "/avahi.pid");
    ASSERT_EQ(::kill(std::atoi(pid.c_str()), SIGTERM), 0);
    ASSERT_TRUE(log.waitFor("[wireless] browser waiting: avahi-daemon stopped")) << road.why();
    ASSERT_EQ(std::system(getenv("KELVO_AVAHI_START")), 0);
    ASSERT_TRUE(log.waitFor("[wireless] browser searching again", 2)) << road.why();
    EXPECT_EQ(log.count("browser waiting:"), 2u) << road.why();
    EXPECT_EQ(log.count("[session] ending:"), 0u) << road.why();
    std::cout << "host log of this run:\n" << log.text();
}

// The daemon killed under a tablet on the cable: the session ends and the status says the daemon
// is unavailable, through the host's retries, not that no tablet is there; once the daemon is back
// the tablet is reached again without a restart. Wi-Fi off: the cable is the only way to it.
TEST(HostOverCable, ADaemonKilledUnderTheTabletReadsUnavailableUntilItReturns) {
    std::unique_ptr<WiFiRoad> laid;
    layRoad("--syslog", laid, /*wireless=*/false);
    if (!laid) return;
    WiFiRoad& road = *laid;
    auto& log = road.log();
    const std::string unavailable = "[manager] status: usbmuxd 不可用";
    road.attach();
    ASSERT_TRUE(road.startHost());
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via USB")) << road.why();
    ASSERT_TRUE(road.decodesMore(0)) << road.why();

    road.killDaemon();
    ASSERT_TRUE(log.waitFor(unavailable)) << road.why();
    // Past two of the host's 3-s retries, on a refusing socket: the status holds.
    const size_t statusLines = log.count("[manager] status: ");
    EXPECT_FALSE(log.waitFor("[manager] status: ", statusLines + 1, 8s)) << road.why();
    EXPECT_EQ(log.count("[usbmux] listen connection lost: usbmuxd I/O error: closed, with a tablet attached"), 1u)
        << road.why();
    EXPECT_EQ(log.count("[usbmux] usbmuxd not running"), 0u) << road.why();

    int64_t decoded = road.tablet().snapshot().framesDecoded;
    road.restartDaemon();
    ASSERT_TRUE(log.waitFor("[session] CTRL connected via USB", 2)) << road.why();
    ASSERT_TRUE(road.decodesMore(decoded)) << road.why();
    ASSERT_TRUE(test::waitUntil([&] {
        for (const auto& line : log.after(unavailable))
            if (line.starts_with("[manager] status: 已连接：")) return true;
        return false;
    }, 90s)) << road.why();
    std::cout << "host log of this run:\n" << log.text();
}

}  // namespace
}  // namespace kelvo
