#include "core/transport/usbmux_client.hpp"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_usbmuxd.hpp"
#include "core/transport/channel.hpp"
#include "core/transport/tcp_listener.hpp"
#include "core/transport/usbmux_connector.hpp"
#include "support/test_support.hpp"
#include "transport_test_util.hpp"

namespace kelvo {
namespace {

const UsbmuxDevice kTabletA{1, "udid-a", 0x12ab, "USB"};
const UsbmuxDevice kTabletB{2, "udid-b", 0x12ac, "USB"};
const UsbmuxDevice kTabletC{3, "udid-c", 0x12ad, "USB"};
constexpr uint64_t kRetryPauseUs = 100'000;

class UsbmuxClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("usbmuxd");
        client = UsbmuxClient::create(main.sharedExecutor(), connectQueue, path, kRetryPauseUs,
                                      [this] { return installed.load(); });
        client->onAttached = [this](const UsbmuxDevice& d) { events.push_back("att:" + std::to_string(d.deviceID)); };
        client->onDetached = [this](int64_t id) { events.push_back("det:" + std::to_string(id)); };
        client->onAvailabilityChanged = [this](UsbmuxAvailability a) { events.push_back(name(a)); };
    }

    static const char* name(UsbmuxAvailability a) { return std::array{"up", "rest", "missing", "down"}.at(size_t(a)); }

    bool pumpUntilEvents(size_t n, std::chrono::milliseconds timeout = test::kPatience) {
        return test::pumpUntil(main, [&] { return events.size() >= n; }, timeout);
    }

    test::TempDir dir;
    std::string path;
    MainLoop main;
    std::shared_ptr<Executor> connectQueue = AsioExecutor::makeQueue("kv.usbmux.connect");
    std::atomic<bool> installed{false};  // whether a daemon that is not running would be started
    std::shared_ptr<UsbmuxClient> client;
    std::vector<std::string> events;  // on the main loop
};

using Events = std::vector<std::string>;

TEST_F(UsbmuxClientTest, ReportsAbsenceOnceThenAvailabilityWhenTheDaemonAppears) {
    test::LogCapture log;
    client->start();
    ASSERT_TRUE(pumpUntilEvents(1));
    const std::string lost = "usbmuxd not running (no socket at " + path +
                             ") and not installed (Debian package usbmuxd): no tablet is seen on the cable";
    // The absence is reported and logged once, however often it is retried.
    ASSERT_TRUE(test::pumpUntil(main, [&] { return log.count(lost, "usbmux") >= 1; }));
    EXPECT_EQ(events, Events{"missing"});

    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.start();
    ASSERT_TRUE(pumpUntilEvents(3));
    EXPECT_EQ(events, (Events{"missing", "up", "att:1"}));
    EXPECT_TRUE(log.contains("attached #1 udid-a USB product=0x12ab", "usbmux"));
    EXPECT_EQ(log.count("listening for devices", "usbmux"), 1u);
    EXPECT_EQ(log.count(lost, "usbmux"), 1u);
    EXPECT_TRUE(log.contains(lost + "; checking every 0.1 s", "usbmux"));
}

TEST_F(UsbmuxClientTest, DroppedListenConnectionDetachesEveryDeviceAndListensAgain) {
    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.attach(kTabletB);
    daemon.start();
    test::LogCapture log;
    client->start();
    client->start();
    ASSERT_TRUE(pumpUntilEvents(3));
    EXPECT_EQ(events, (Events{"up", "att:1", "att:2"}));
    EXPECT_EQ(daemon.listenRequests(), 1);

    daemon.dropListeners();
    ASSERT_TRUE(pumpUntilEvents(9));
    EXPECT_EQ(events, (Events{"up", "att:1", "att:2", "det:1", "det:2", "down", "up", "att:1", "att:2"}));
    EXPECT_EQ(log.count("listen connection lost: usbmuxd I/O error: closed", "usbmux"), 1u);
    EXPECT_EQ(daemon.listenRequests(), 2);
}

// After stop() returns nothing is reported: not the events already on their way, nor
// detaches for the devices still attached. From the callback queue or from another thread.
TEST_F(UsbmuxClientTest, NoReportRunsAfterStopReturns) {
    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.attach(kTabletB);
    daemon.start();
    test::LogCapture log;
    client->start();
    ASSERT_TRUE(pumpUntilEvents(3));
    daemon.detach(42);
    daemon.attach(kTabletC);
    // Both events reached the client and their reports wait on the main loop.
    ASSERT_TRUE(test::waitUntil([&] { return log.contains("attached #3", "usbmux"); }));
    EXPECT_TRUE(log.contains("detached #42", "usbmux"));

    client->stop();
    const size_t atStop = events.size();
    client->stop();
    daemon.attach(kTabletB);
    main.poll();
    EXPECT_EQ(events.size() - atStop, 0u);
    EXPECT_EQ(events, (Events{"up", "att:1", "att:2"}));
    EXPECT_FALSE(log.contains("listen connection lost", "usbmux"));

    // Stopped by its own callback: the reports behind it are dropped as well.
    auto other = UsbmuxClient::create(main.sharedExecutor(), connectQueue, path, kRetryPauseUs);
    std::vector<std::string> seen;
    other->onAvailabilityChanged = [&](UsbmuxAvailability a) { seen.push_back(name(a)); };
    other->onAttached = [&](const UsbmuxDevice& d) {
        seen.push_back("att:" + std::to_string(d.deviceID));
        other->stop();
    };
    other->start();
    ASSERT_TRUE(test::pumpUntil(main, [&] { return seen.size() >= 2; }));
    daemon.dropListeners();
    daemon.attach(kTabletC);
    main.poll();
    EXPECT_EQ(seen, (std::vector<std::string>{"up", "att:1"}));
}

TEST_F(UsbmuxClientTest, RefusedListenIsRetriedAsUnavailable) {
    test::FakeUsbmuxd daemon(path);
    daemon.setListenResult(6);
    daemon.start();
    test::LogCapture log;
    client->start();
    ASSERT_TRUE(pumpUntilEvents(1));
    EXPECT_EQ(events, Events{"down"});
    EXPECT_TRUE(log.contains("listen connection lost: usbmuxd result 6 (bad version)", "usbmux"));
    // Refused again and again: said once.
    ASSERT_TRUE(daemon.waitUntil([&] { return daemon.listenRequests() >= 4; }, test::kPatience));
    EXPECT_EQ(log.count("listen connection lost: usbmuxd result 6", "usbmux"), 1u);
}

// A daemon socket that takes the connection and never answers.
struct SilentDaemon {
    explicit SilentDaemon(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(fd.get(), 8);
    }
    UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
};

// Debian starts the daemon when a tablet is plugged in and stops it once the last one is
// unplugged, leaving its socket behind. Not running is its rest, said at info; what lies at the
// path and is no socket is unusable. A tablet plugged in after rest is seen.
TEST_F(UsbmuxClientTest, ADaemonAtRestIsNoFaultAndATabletPluggedInLaterIsSeen) {
    installed = true;
    test::LogCapture log;
    client->start();
    ASSERT_TRUE(pumpUntilEvents(1));
    test::writeFile(path, "not a socket");
    ASSERT_TRUE(pumpUntilEvents(2));
    { SilentDaemon left(path + ".left"); }  // closed, its socket stays
    ::rename((path + ".left").c_str(), path.c_str());
    ASSERT_TRUE(pumpUntilEvents(3));

    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.start();
    ASSERT_TRUE(pumpUntilEvents(5));
    daemon.detach(kTabletA.deviceID);
    daemon.stop();
    ASSERT_TRUE(pumpUntilEvents(7));
    EXPECT_EQ(events, (Events{"rest", "down", "rest", "up", "att:1", "det:1", "rest"}));
    EXPECT_TRUE(log.contains("usbmuxd not running (no socket at " + path +
                             "): at rest until a tablet is plugged in; checking every 0.1 s", "usbmux"));
    EXPECT_TRUE(log.contains("usbmuxd not running (nothing listens on " + path + "): at rest", "usbmux"));
    EXPECT_TRUE(log.contains("usbmuxd not running (it stopped with no tablet attached): at rest", "usbmux"));
    EXPECT_EQ(log.count("listen connection lost: usbmuxd unavailable: Connection refused", "usbmux"), 1u);
}

// Killed, crashed or stopped by hand while a tablet was attached (no Detached came): a fault, held
// on every retry whether its socket refuses or is gone, until it listens again. Debian's own
// leaving (Detached first, then the daemon exits and leaves its socket behind) stays rest.
TEST_F(UsbmuxClientTest, ADaemonLostUnderATabletStaysUnusableUntilItListensAgain) {
    installed = true;
    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.start();
    test::LogCapture log;
    client->start();
    ASSERT_TRUE(pumpUntilEvents(2));

    daemon.stop(/*leaveSocket=*/true);
    ASSERT_TRUE(pumpUntilEvents(4));
    // About fifteen retries of 100 ms: refused for half of them, no socket for the rest.
    test::pumpUntil(main, [] { return false; }, std::chrono::milliseconds(750));
    ::unlink(path.c_str());
    test::pumpUntil(main, [] { return false; }, std::chrono::milliseconds(750));
    EXPECT_EQ(events, (Events{"up", "att:1", "det:1", "down"}));

    daemon.start();
    ASSERT_TRUE(pumpUntilEvents(6));
    EXPECT_EQ(events, (Events{"up", "att:1", "det:1", "down", "up", "att:1"}));
    EXPECT_EQ(log.count("listen connection lost: usbmuxd I/O error: closed, with a tablet attached: usbmuxd "
                        "unusable until it listens again; retrying every 0.1 s", "usbmux"), 1u);
    EXPECT_EQ(log.count("listen connection lost", "usbmux"), 1u);
    EXPECT_FALSE(log.contains("not running", "usbmux"));

    daemon.detach(kTabletA.deviceID);
    ASSERT_TRUE(pumpUntilEvents(7));
    daemon.stop(/*leaveSocket=*/true);
    ASSERT_TRUE(pumpUntilEvents(8));
    EXPECT_EQ(events.back(), "rest");
    EXPECT_TRUE(log.contains("usbmuxd not running (it stopped with no tablet attached): at rest", "usbmux"));
}

// Refused, then nothing at the path by the time it is looked at: the daemon unlinking its old
// socket as it starts, no fault. Something at the path that is no socket is not the daemon's.
TEST(UsbmuxDaemonAbsence, ARefusedSocketThatIsGoneOrLeftBehindIsRest) {
    test::TempDir dir;
    const std::string path = dir.file("usbmuxd");
    const UsbmuxError refused = UsbmuxError::unavailable(ECONNREFUSED);
    EXPECT_EQ(UsbmuxClient::whyNotRunning(refused, path, false), "no socket at " + path);
    { SilentDaemon left(path); }
    EXPECT_EQ(UsbmuxClient::whyNotRunning(refused, path, false), "nothing listens on " + path);
    ::unlink(path.c_str());
    test::writeFile(path, "not a socket");
    EXPECT_EQ(UsbmuxClient::whyNotRunning(refused, path, false), std::nullopt);
    EXPECT_EQ(UsbmuxClient::whyNotRunning(UsbmuxError::unavailable(EACCES), path, false), std::nullopt);
}

// Makes every thread the calling thread starts from now on fail with EAGAIN, as where the process
// or the machine has run out of them; for the calling thread only. False where no filter can be set.
bool refuseNewThreadsOnThisThread() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(UsbmuxClientTest, AListenThreadThatCannotStartIsAFaultNotRest) {
    installed = true;
    test::LogCapture log;
    int whyNot = 0;
    std::thread([&] {
        if (refuseNewThreadsOnThisThread()) {
            client->start();
        } else {
            whyNot = errno;
        }
    }).join();
    if (whyNot != 0) GTEST_SKIP() << "no seccomp filter can be set here: " << std::strerror(whyNot);
    ASSERT_TRUE(pumpUntilEvents(1));
    EXPECT_EQ(events, Events{"down"});
    std::vector<LogEntry> said;
    for (auto& entry : log.entries())
        if (entry.tag == "usbmux") said.push_back(entry);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].level, LogLevel::error);
    EXPECT_TRUE(said[0].message.starts_with("cannot start the listen thread: ")) << said[0].message;
    client->stop();
    client.reset();
}

TEST(UsbmuxDaemonProgram, IsAnExecutableFileOnTheSearchPath) {
    test::TempDir dir;
    const std::string bin = dir.file("usbmuxd"), parent = bin.substr(0, bin.rfind('/'));
    ::mkdir(bin.c_str(), 0755);  // a directory of the program's name is no program
    test::writeFile(bin + "/usbmuxd", "#!/bin/sh\n");
    EXPECT_FALSE(UsbmuxClient::isDaemonInstalled(parent + ":" + bin));
    ::chmod((bin + "/usbmuxd").c_str(), 0755);
    EXPECT_TRUE(UsbmuxClient::isDaemonInstalled("::" + parent + ":" + bin));
}

TEST_F(UsbmuxClientTest, ListsDevicesOrFailsWithinItsTimeOut) {
    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    daemon.attach(kTabletB);
    daemon.start();
    SilentDaemon silent(dir.file("silent"));
    auto list = [&](const std::string& socket) {
        std::optional<UsbmuxClient::ListResult> result;
        UsbmuxClient::listDevices(socket, 200'000, connectQueue, [&](UsbmuxClient::ListResult r) {
            main.executor().post([&, r = std::move(r)] { result.emplace(r); });
        });
        EXPECT_TRUE(test::pumpUntil(main, [&] { return result.has_value(); }));
        return result.value_or(UsbmuxError::badReply());
    };
    auto listed = list(path);
    ASSERT_TRUE(listed) << listed.error().description();
    EXPECT_EQ(listed.value(), (std::vector<UsbmuxDevice>{kTabletA, kTabletB}));
    EXPECT_EQ(list(dir.file("absent")).error(), UsbmuxError::unavailable(ENOENT));
    EXPECT_EQ(list(dir.file("silent")).error(), UsbmuxError::io(std::strerror(EAGAIN)));
}

// The tablet side: a loopback listener whose accepted connections become channels.
struct FakeTablet {
    FakeTablet() {
        auto made = TCPListener::listen(0, "127.0.0.1", queue, [this](UniqueFd fd) {
            auto ch = Channel::create(std::move(fd), "tablet", queue, SocketOptions::ctrl);
            ch->onMessage = [this, raw = ch.get()](WireMessage m) {
                std::lock_guard g(lock);
                received.push_back(m);
                // Echo with the type byte plus one.
                raw->send(static_cast<uint8_t>(m.rawType + 1), Channel::Parts{m.payload});
            };
            ch->start();
            channels.push_back(ch);
        });
        EXPECT_TRUE(made);
        listener = std::move(made).value();
    }
    ~FakeTablet() {
        listener->stop();
        runSync(*queue, [&] {
            for (auto& c : channels) c->close();
        });
    }
    std::shared_ptr<Executor> queue = AsioExecutor::makeQueue("kv.fake");
    std::unique_ptr<TCPListener> listener;
    std::vector<std::shared_ptr<Channel>> channels;  // on queue
    std::mutex lock;
    std::vector<WireMessage> received;
};

TEST_F(UsbmuxClientTest, ConnectorOutcomesAndATunnelThatCarriesFrames) {
    test::FakeUsbmuxd daemon(path);
    daemon.attach(kTabletA);
    FakeTablet tablet;
    daemon.mapPort(kTabletA.deviceID, 47100, tablet.listener->port());
    daemon.start();
    const int fdsBefore = test::openFdCount();

    UsbmuxConnector connector(kTabletA, client);
    EXPECT_EQ(connector.deviceKey(), "udid-a");
    EXPECT_EQ(connector.transportLabel(), "USB");
    EXPECT_TRUE(connector.isTrustedForPairing());

    std::optional<ConnectResult> video, ctrl;
    connector.connect(47101, [&](ConnectResult r) {
        EXPECT_TRUE(main.executor().isCurrent());
        video.emplace(std::move(r));
    });
    connector.connect(47100, [&](ConnectResult r) { ctrl.emplace(std::move(r)); });
    ASSERT_TRUE(test::pumpUntil(main, [&] { return video && ctrl; }));
    ASSERT_FALSE(*video);
    EXPECT_TRUE(video->error().isRefused());
    EXPECT_EQ(video->error().description(), "connection refused");
    ASSERT_TRUE(*ctrl) << ctrl->error().description();

    timeval tv{};
    socklen_t len = sizeof(tv);
    ::getsockopt(ctrl->value().get(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec + tv.tv_usec, 0);

    auto hostQueue = AsioExecutor::makeQueue("kv.s.ctrl");
    auto host = Channel::create(std::move(*ctrl).value(), "ctrl", hostQueue, SocketOptions::ctrl);
    std::mutex lock;
    std::vector<WireMessage> echoes;
    host->onMessage = [&](WireMessage m) {
        std::lock_guard g(lock);
        echoes.push_back(std::move(m));
    };
    host->start();
    host->send(MsgType::ping, std::vector<uint8_t>{1, 2, 3});
    host->send(MsgType::hostState, std::vector<uint8_t>(70000, 7));
    auto echoed = [&] {
        std::lock_guard g(lock);
        return echoes.size() == 2;
    };
    ASSERT_TRUE(test::pumpUntil(main, echoed));
    {
        std::lock_guard g(lock);
        EXPECT_EQ(echoes[0], (WireMessage{rawValue(MsgType::pong), 1, {1, 2, 3}}));
        EXPECT_EQ(echoes[1].rawType, rawValue(MsgType::hostState) + 1);
        EXPECT_EQ(echoes[1].seq, 2u);
        EXPECT_EQ(echoes[1].payload, std::vector<uint8_t>(70000, 7));
    }
    runSync(*hostQueue, [&] { host->close(); });

    // A daemon that is not there.
    UsbmuxConnector absent(kTabletA, UsbmuxClient::create(main.sharedExecutor(), connectQueue, dir.file("none")));
    std::optional<ConnectResult> failed;
    absent.connect(47100, [&](ConnectResult r) { failed.emplace(std::move(r)); });
    ASSERT_TRUE(test::pumpUntil(main, [&] { return failed.has_value(); }));
    ASSERT_FALSE(*failed);
    EXPECT_EQ(failed->error().description(), "usbmuxd unavailable: No such file or directory");

    // Results that nobody claims are closed with the task that carried them.
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i) client->connect(kTabletA.deviceID, 47100, 1'000'000, [&](UsbmuxClient::ConnectResult) { ++done; });
    ASSERT_TRUE(test::pumpUntil(main, [&] { return done == 4; }));
    video.reset();
    ctrl.reset();
    host.reset();
    EXPECT_TRUE(test::pumpUntil(main, [&] { return test::openFdCount() <= fdsBefore; }));
}

TEST(UsbmuxSocketAddress, OnlyAbsoluteUnixPathsAreTaken) {
    EXPECT_EQ(UsbmuxClient::socketPathFromAddress("UNIX:/var/run/usbmuxd"), "/var/run/usbmuxd");
    EXPECT_EQ(UsbmuxClient::socketPathFromAddress("UNIX:/tmp/a b/usbmuxd"), "/tmp/a b/usbmuxd");
    for (std::string_view bad : {"", "UNIX:", "UNIX:relative/path", "unix:/lower/case", "/plain/path",
                                 "127.0.0.1:27015"}) {
        std::string why;
        EXPECT_FALSE(UsbmuxClient::socketPathFromAddress(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    // sun_path holds 108 bytes with the NUL: a longer path would name another socket.
    EXPECT_FALSE(UsbmuxClient::socketPathFromAddress("UNIX:/" + std::string(107, 'a')));
    EXPECT_TRUE(UsbmuxClient::socketPathFromAddress("UNIX:/" + std::string(106, 'a')));
    EXPECT_FALSE(UsbmuxClient::socketPathFromAddress(std::string("UNIX:/a\0b", 9)));
}

}  // namespace
}  // namespace kelvo
