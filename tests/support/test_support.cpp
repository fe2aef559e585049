#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelvo::test {

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               const std::function<void()>& meanwhile) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (meanwhile) {
            meanwhile();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int n = ::poll(&p, 1, int(std::max<int64_t>(0, left.count())));
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

bool pumpUntil(MainLoop& loop, const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return waitUntil(pred, timeout, [&] { loop.runFor(10'000); });
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvo-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture() {
    id_ = LogStore::shared().addObserver([this](const LogEntry& e) {
        std::lock_guard g(m_);
        entries_.push_back(e);
    });
}

LogCapture::~LogCapture() { LogStore::shared().removeObserver(id_); }

std::vector<LogEntry> LogCapture::entries() const {
    std::lock_guard g(m_);
    return entries_;
}

std::vector<std::string> LogCapture::messages(const std::string& tag) const {
    std::vector<std::string> out;
    for (auto& e : entries())
        if (tag.empty() || e.tag == tag) out.push_back(e.message);
    return out;
}

size_t LogCapture::count(const std::string& fragment, const std::string& tag) const {
    size_t n = 0;
    for (auto& m : messages(tag))
        if (m.find(fragment) != std::string::npos) ++n;
    return n;
}

bool LogCapture::contains(const std::string& fragment, const std::string& tag) const {
    return count(fragment, tag) > 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

NamespaceRun rerunInNamespace(const std::string& script, const std::string& scriptOptions, std::string& skipText) {
    if (getenv("KELVO_AVAHI_INSIDE")) return NamespaceRun::inside;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    char self[4096] = {};
    EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string cmd = script + " " + scriptOptions + " " + self + " --gtest_filter=" + info->test_suite_name() + "." +
                      info->name() + " 2>&1";
    FILE* out = popen(cmd.c_str(), "r");
    EXPECT_TRUE(out);
    if (!out) return NamespaceRun::doneOutside;
    std::string text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, out)) text.append(buf, n);
    int status = pclose(out);
    EXPECT_TRUE(WIFEXITED(status)) << text;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        skipText = text;
        return NamespaceRun::skipped;
    }
    // What ran inside, for whoever reads the test's output.
    std::cout << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test."), std::string::npos) << text;
    return NamespaceRun::doneOutside;
}

}  // namespace kelvo::test

namespace kelvo::test {

std::optional<uint64_t> threadTimeSliceNs() {
    std::ifstream sched("/proc/thread-self/sched");
    for (std::string line; std::getline(sched, line);) {
        if (line.rfind("se.slice", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) return std::nullopt;
        try {
            return std::stoull(line.substr(colon + 1));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

namespace {

// Whether the thread has begun to exit (PF_EXITING in its flags): true too once it is gone.
bool exiting(const std::filesystem::path& task) {
    std::string stat;
    std::getline(std::ifstream(task / "stat"), stat);
    const size_t commEnd = stat.rfind(')');
    if (commEnd == std::string::npos) return true;
    std::istringstream fields(stat.substr(commEnd + 1));
    std::string field;
    for (int i = 0; i < 7 && fields >> field; ++i) {}  // state ppid pgrp session tty tpgid flags
    constexpr unsigned long kExiting = 0x4;
    return field.empty() || (std::stoul(field) & kExiting) != 0;
}

template <class Each>
void forEachLiveThread(Each each) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        if (!exiting(task.path())) each(task.path(), std::atoi(task.path().filename().c_str()));
    }
}

}  // namespace

std::set<int> liveThreads() {
    std::set<int> out;
    forEachLiveThread([&](const std::filesystem::path&, int tid) { out.insert(tid); });
    return out;
}

std::set<int> threadsSince(const std::set<int>& before) {
    std::set<int> out;
    std::ranges::set_difference(liveThreads(), before, std::inserter(out, out.end()));
    return out;
}

std::vector<ThreadSchedule> threadsNamed(const std::string& name) {
    std::vector<ThreadSchedule> out;
    forEachLiveThread([&](const std::filesystem::path& task, int tid) {
        std::string comm;
        std::getline(std::ifstream(task / "comm"), comm);
        if (comm != name) return;
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, id_t(tid));
        const int policy = ::sched_getscheduler(tid);
        if ((nice == -1 && errno != 0) || policy < 0) return;  // it ended while being read
        out.push_back({tid, nice, policy});
    });
    return out;
}

bool noThreadNamed(const std::string& name, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return threadsNamed(name).empty(); }, timeout);
}

}  // namespace kelvo::test
