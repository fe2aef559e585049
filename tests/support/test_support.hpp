#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/util/log.hpp"
#include "platform/runtime/asio_executor.hpp"

namespace kelvo::test {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Collects the shared log's entries made while it lives (any thread).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<LogEntry> entries() const;
    // Messages of entries with this tag (all tags when empty), in order.
    std::vector<std::string> messages(const std::string& tag = {}) const;
    bool contains(const std::string& fragment, const std::string& tag = {}) const;
    size_t count(const std::string& fragment, const std::string& tag = {}) const;

private:
    mutable std::mutex m_;
    std::vector<LogEntry> entries_;
    Uuid id_;
};

// How long a test waits for something other threads or processes bring about before it calls
// it lost: generous, because the machine may be busy with other builds and suites; a wait that
// succeeds returns as soon as its condition holds.
inline constexpr std::chrono::seconds kPatience{60};

// Polls `pred` until it holds or `timeout` of wall time passes; returns pred(). Between polls
// it runs `meanwhile` (by default it sleeps a moment). For conditions other threads bring
// about; logic on a manual executor needs no waiting.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kPatience,
               const std::function<void()>& meanwhile = nullptr);
// waitUntil while running the main loop's work, for callbacks delivered on it.
bool pumpUntil(MainLoop& loop, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = kPatience);

// Waits until `fd` has something to read (bytes, the end of the stream or an error); false if
// nothing came within `timeout`. For bytes another thread or process sends, so that a test that
// reads them fails instead of hanging when they never come.
bool readable(int fd, std::chrono::milliseconds timeout = kPatience);

// The calling thread's time slice as the kernel reports it (/proc/thread-self/sched), in ns;
// absent where the kernel does not report it.
std::optional<uint64_t> threadTimeSliceNs();
// How the live threads of this process named `name` are scheduled. A thread that has begun to
// exit is left out: one joined a moment ago may still be listed while the kernel ends it.
struct ThreadSchedule {
    int tid = 0;
    int nice = 0;
    int policy = 0;  // SCHED_OTHER, SCHED_BATCH, ...
};
std::vector<ThreadSchedule> threadsNamed(const std::string& name);
// The ids of this process's live threads, whatever their names.
std::set<int> liveThreads();
// Those of them that were not among `before`: what has been started since and still runs.
std::set<int> threadsSince(const std::set<int>& before);
// Waits until no live thread of this process is named `name`; false if one still is after `timeout`.
bool noThreadNamed(const std::string& name, std::chrono::milliseconds timeout = kPatience);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// Tests that need a network namespace (and a private Avahi daemon) re-run themselves inside one
// through tests/transport/avahi_netns.sh. Inside, the test goes on (`inside`); outside, the run
// inside is checked here (`doneOutside`), or `skipText` says why the script could not (`skipped`).
enum class NamespaceRun { inside, doneOutside, skipped };
NamespaceRun rerunInNamespace(const std::string& script, const std::string& scriptOptions, std::string& skipText);

}  // namespace kelvo::test
