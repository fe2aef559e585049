#include "core/util/log.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <atomic>
#include <thread>

#include "support/test_support.hpp"

namespace kelvo {
namespace {

SystemTime localTime(int h, int m, int s, int ms) {
    tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(mktime(&t)) + std::chrono::milliseconds(ms);
}

struct UtcZone {
    std::string saved;
    bool had;
    UtcZone() {
        const char* tz = getenv("TZ");
        had = tz != nullptr;
        if (tz) saved = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (had) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
        tzset();
    }
};

// Points standard error at a file while it lives and hands back what was written there.
class StderrCapture {
public:
    StderrCapture() : file_(dir_.file("stderr")) {
        saved_ = dup(STDERR_FILENO);
        int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string take() {
        restore();
        return test::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    test::TempDir dir_;
    std::string file_;
    int saved_ = -1;
};

TEST(LogStore, IdsStartAtOneAndTheRingKeepsTheNewest4000) {
    LogStore store;
    store.setSystemLogEnabled(false);
    for (int i = 0; i < 4001; ++i) store.append(LogLevel::info, "t", "m", LogOrigin::mac, SystemTime{});
    auto snap = store.snapshot();
    ASSERT_EQ(snap.size(), 4000u);
    EXPECT_EQ(snap.front().id, 2u);
    EXPECT_EQ(snap.back().id, 4001u);
}

TEST(LogStore, CapacityChangeTakesEffectAtTheNextAppend) {
    LogStore store;
    store.setSystemLogEnabled(false);
    for (int i = 0; i < 10; ++i) store.append(LogLevel::info, "t", "m", LogOrigin::mac, SystemTime{});
    store.setCapacity(3);
    EXPECT_EQ(store.snapshot().size(), 10u);
    store.append(LogLevel::info, "t", "m", LogOrigin::mac, SystemTime{});
    auto snap = store.snapshot();
    ASSERT_EQ(snap.size(), 3u);
    EXPECT_EQ(snap.front().id, 9u);
}

TEST(LogEntry, FormattedLinesOfHostAndTabletEntriesUnderUtc) {
    UtcZone utc;
    LogStore store;
    store.setSystemLogEnabled(false);
    auto at = localTime(9, 5, 7, 42);
    store.append(LogLevel::warn, "chan", "x", LogOrigin::mac, at);
    store.append(LogLevel::warn, "chan", "x", LogOrigin::ipad, at);
    auto snap = store.snapshot();
    EXPECT_EQ(snap[0].formatted(), "09:05:07.042 Host W [chan] x");
    EXPECT_EQ(snap[1].formatted(), "09:05:07.042 iPad W [chan] x");
    EXPECT_EQ(store.exportText(), "09:05:07.042 Host W [chan] x\n09:05:07.042 iPad W [chan] x");
    EXPECT_EQ(LogStore().exportText(), "");
}

TEST(LogEntry, SystemLogTextCarriesTagAndMessageButNoTime) {
    LogEntry host{1, SystemTime{}, LogOrigin::mac, LogLevel::warn, "chan", "x"};
    LogEntry tablet{2, SystemTime{}, LogOrigin::ipad, LogLevel::warn, "chan", "x"};
    EXPECT_EQ(host.systemLogText(), "[chan] x");
    EXPECT_EQ(tablet.systemLogText(), "iPad [chan] x");
}

TEST(LogStore, EchoesToStandardErrorFromTheEchoLevelUp) {
    UtcZone utc;
    LogStore store;
    store.setSystemLogEnabled(false);
    auto at = std::chrono::system_clock::from_time_t(0) + std::chrono::milliseconds(1);
    StderrCapture capture;
    store.append(LogLevel::error, "t", "silent", LogOrigin::mac, at);
    store.setEchoLevel(LogLevel::info);
    store.append(LogLevel::debug, "t", "d", LogOrigin::mac, at);
    store.append(LogLevel::info, "t", "i", LogOrigin::mac, at);
    store.append(LogLevel::warn, "t", "w", LogOrigin::ipad, at);
    store.append(LogLevel::error, "t", "e", LogOrigin::mac, at);
    EXPECT_EQ(capture.take(),
              "00:00:00.001 Host I [t] i\n"
              "00:00:00.001 iPad W [t] w\n"
              "00:00:00.001 Host E [t] e\n");
}

// A socket bound at `path` in the manner of a syslog daemon, closed with the object.
struct ListeningSocket {
    ListeningSocket(const std::string& path, int type) : fd(socket(AF_UNIX, type | SOCK_CLOEXEC, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.data(), path.size());
        bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && (type == SOCK_DGRAM || listen(fd, 4) == 0);
    }
    ~ListeningSocket() { close(fd); }
    int fd;
    bool bound = false;
};

// The echo is wanted where a person would otherwise see nothing: at a terminal, or where no
// system log listens (a container without a syslog daemon).
TEST(LogEcho, WantedAtATerminalOrWithoutASystemLog) {
    test::TempDir dir;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const int notTerminal = pipeFds[1];
    {
        ListeningSocket daemon(dir.file("log"), SOCK_DGRAM);
        ASSERT_TRUE(daemon.bound);
        EXPECT_TRUE(systemLogListening(dir.file("log")));
        EXPECT_FALSE(logNeedsEcho(notTerminal, dir.file("log")));
        ListeningSocket streamDaemon(dir.file("stream"), SOCK_STREAM);
        ASSERT_TRUE(streamDaemon.bound);
        EXPECT_TRUE(systemLogListening(dir.file("stream")));

        int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal >= 0) {
            EXPECT_TRUE(logNeedsEcho(terminal, dir.file("log")));
            close(terminal);
        }
    }
    // Gone daemon (its socket file left behind), no socket at all, a plain file, a path too long.
    EXPECT_FALSE(systemLogListening(dir.file("log")));
    EXPECT_FALSE(systemLogListening(dir.file("missing")));
    test::writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(systemLogListening(dir.file("plain")));
    EXPECT_FALSE(systemLogListening(std::string(200, 'x')));
    EXPECT_TRUE(logNeedsEcho(notTerminal, dir.file("missing")));
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(LogStore, RelayedTabletLinesAreBoundedAndStayOneLine) {
    LogStore store;
    store.setSystemLogEnabled(false);
    store.append(LogLevel::info, "ipad", "a\nb\rc\x1b", LogOrigin::ipad, SystemTime{});
    std::string huge(100'000, 'z');
    huge[5000] = '\n';
    store.append(LogLevel::info, "ipad", huge, LogOrigin::ipad, SystemTime{});
    // A multi-byte character straddling the cut is not split.
    std::string chinese;
    for (int i = 0; i < 2000; ++i) chinese += "\xE4\xB8\xAD";
    store.append(LogLevel::info, "ipad", chinese, LogOrigin::ipad, SystemTime{});
    // C1 controls (NEL here) break lines in some viewers too; a line of them is not cut early.
    std::string nels;
    for (size_t i = 0; i < kMaxRelayedLineBytes; ++i) nels += "\xC2\x85";
    store.append(LogLevel::info, "ipad", nels, LogOrigin::ipad, SystemTime{});
    store.append(LogLevel::info, "host", "a\nb", LogOrigin::mac, SystemTime{});
    auto snap = store.snapshot();
    EXPECT_EQ(snap[0].message, "a b c ");
    EXPECT_EQ(snap[3].message, std::string(kMaxRelayedLineBytes, ' '));
    EXPECT_EQ(snap[4].message, "a\nb");  // host text is our own and kept as written
    EXPECT_LE(snap[1].message.size(), kMaxRelayedLineBytes);
    EXPECT_EQ(snap[1].message.substr(snap[1].message.size() - 3), "\xE2\x80\xA6");
    EXPECT_EQ(snap[1].message.find('\n'), std::string::npos);
    EXPECT_LE(snap[2].message.size(), kMaxRelayedLineBytes);
    EXPECT_EQ((snap[2].message.size() - 3) % 3, 0u);
}

TEST(LogLevel, NamesAndRawValues) {
    EXPECT_EQ(logLevelFromName("WARNING"), LogLevel::warn);
    EXPECT_EQ(logLevelFromName("Warn"), LogLevel::warn);
    EXPECT_EQ(logLevelFromName("verbose"), std::nullopt);
    EXPECT_EQ(logLevelFromName(""), std::nullopt);
    EXPECT_EQ(logLevelFromRaw(3), LogLevel::error);
    EXPECT_EQ(logLevelFromRaw(4), std::nullopt);
    EXPECT_EQ(logLevelFromRaw(-1), std::nullopt);
    EXPECT_EQ(logLevelName(LogLevel::warn), "warn");
}

TEST(Log, FilteredLevelsNeitherRecordNorBuildTheMessage) {
    test::LogCapture capture;
    Log::setMinLevel(LogLevel::warn);
    bool built = false;
    Log::i("t", [&] {
        built = true;
        return std::string("no");
    });
    Log::e("t", "yes");
    Log::setMinLevel(LogLevel::debug);
    EXPECT_FALSE(built);
    EXPECT_EQ(capture.messages("t"), std::vector<std::string>{"yes"});
}

TEST(LogStore, ObserverMayLogAndRemoveItselfWithoutDeadlock) {
    LogStore store;
    store.setSystemLogEnabled(false);
    Uuid id;
    int calls = 0;
    id = store.addObserver([&](const LogEntry& e) {
        ++calls;
        if (e.tag == "first") store.append(LogLevel::info, "second", "m", LogOrigin::mac, SystemTime{});
        else store.removeObserver(id);
    });
    store.removeObserver(Uuid::random());
    store.append(LogLevel::info, "first", "m", LogOrigin::mac, SystemTime{});
    store.append(LogLevel::info, "third", "m", LogOrigin::mac, SystemTime{});
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(store.snapshot().size(), 3u);
}

TEST(LogStore, ConcurrentAppendsKeepIdsStrictlyIncreasing) {
    LogStore store;
    store.setSystemLogEnabled(false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 400; ++i) store.append(LogLevel::debug, "t", "m", LogOrigin::mac, SystemTime{});
        });
    for (auto& t : threads) t.join();
    auto snap = store.snapshot();
    ASSERT_EQ(snap.size(), 3200u);
    for (size_t i = 1; i < snap.size(); ++i) ASSERT_LT(snap[i - 1].id, snap[i].id);
}

TEST(LogStore, RemovedObserverIsNeverCalledAfterRemoveReturns) {
    LogStore store;
    store.setSystemLogEnabled(false);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) store.append(LogLevel::debug, "t", "m", LogOrigin::mac, SystemTime{});
    });
    for (int round = 0; round < 200; ++round) {
        auto alive = std::make_shared<std::atomic<bool>>(true);
        auto* flag = alive.get();
        auto id = store.addObserver([flag](const LogEntry&) { EXPECT_TRUE(flag->load()); });
        std::this_thread::yield();
        store.removeObserver(id);
        flag->store(false);  // the owner is gone from here on
    }
    stop = true;
    writer.join();
}

}  // namespace
}  // namespace kelvo
