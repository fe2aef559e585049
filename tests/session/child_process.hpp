#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "core/util/unique_fd.hpp"

namespace kelvo::test {

// A helper process the test started: stdout goes to a pipe the test may read (when asked),
// stderr and otherwise stdout to `logPath`. Terminated and reaped on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    // Starts argv[0] (looked up on PATH).
    static std::optional<ChildProcess> start(const std::vector<std::string>& argv, const std::string& logPath,
                                             bool pipeStdout = false);

    // One line of the child's stdout, waiting at most `timeoutMs`; nullopt on time-out or end.
    std::optional<std::string> readLine(int timeoutMs);
    pid_t pid() const { return pid_; }
    void terminate();
    // Sends `signal` and waits at most `timeoutMs` for the exit: its wait status, or nullopt
    // (the child is then killed).
    std::optional<int> stop(int signal, int timeoutMs);

private:
    pid_t pid_ = -1;
    UniqueFd out_;
    std::string buffered_;
};

// Reads one line from `fd`, waiting at most `timeoutMs` in all.
std::optional<std::string> readLineFrom(int fd, std::string& buffered, int timeoutMs);

// Whether a program is on PATH.
bool haveProgram(const std::string& name);

}  // namespace kelvo::test
