#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace kelvo::test {
namespace {

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace

bool haveProgram(const std::string& name) {
    std::string cmd = "command -v '" + name + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::move(other.out_)), buffered_(std::move(other.buffered_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        terminate();
        pid_ = std::exchange(other.pid_, -1);
        out_ = std::move(other.out_);
        buffered_ = std::move(other.buffered_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { terminate(); }

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, const std::string& logPath,
                                                bool pipeStdout) {
    int pipeFds[2] = {-1, -1};
    if (pipeStdout && pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (pipeStdout) posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    else posix_spawn_file_actions_adddup2(&actions, 2, 1);
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;
    ChildProcess child;
    child.pid_ = pid;
    child.out_ = std::move(readEnd);
    return child;
}

std::optional<std::string> readLineFrom(int fd, std::string& buffered, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        if (auto nl = buffered.find('\n'); nl != std::string::npos) {
            std::string line = buffered.substr(0, nl);
            buffered.erase(0, nl + 1);
            return line;
        }
        int64_t left = deadline - nowMs();
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        buffered.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> ChildProcess::readLine(int timeoutMs) {
    if (!out_) return std::nullopt;
    return readLineFrom(out_.get(), buffered_, timeoutMs);
}

std::optional<int> ChildProcess::stop(int signal, int timeoutMs) {
    if (pid_ <= 0) return std::nullopt;
    kill(pid_, signal);
    const int64_t deadline = nowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return status;
        }
        if (done < 0 && errno != EINTR) break;
        if (nowMs() >= deadline) break;
        timespec nap{0, 10'000'000};
        nanosleep(&nap, nullptr);
    }
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return std::nullopt;
}

void ChildProcess::terminate() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace kelvo::test
