#pragma once

#include <limits>
#include <set>
#include <string>

namespace kelvo::test {

// Makes this process's thread starts fail with EAGAIN while it is in force, as a task limit
// (pids.max, RLIMIT_NPROC) or a stack that cannot be mapped makes them fail: every start from
// the `first`-th one after its making (counting from 1) on, `count` of them. It counts every
// start of the process, the codec's own and those std::thread and std::async make, so keep
// other threads from starting any while it is in force. One at a time.
//
// It replaces pthread_create for the whole executable, so only suites that link
// kelvo_thread_faults have it.
class FailingThreadStarts {
public:
    explicit FailingThreadStarts(int first, int count = std::numeric_limits<int>::max());
    ~FailingThreadStarts();
    FailingThreadStarts(const FailingThreadStarts&) = delete;
    FailingThreadStarts& operator=(const FailingThreadStarts&) = delete;

    // Starts asked for since its making, and how many of them were made to fail.
    int attempts() const;
    int failed() const;
    // The file name of the program or library whose thread the `n`-th start was to run
    // ("libx264.so.164", "libstdc++.so.6"), of the first 64; empty for any other.
    std::string startedIn(int n) const;
    // The same for every start made to fail.
    std::set<std::string> failedIn() const;
};

}  // namespace kelvo::test
