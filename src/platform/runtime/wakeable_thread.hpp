#pragma once

#include <functional>
#include <thread>

#include "core/util/unique_fd.hpp"

namespace kelvo {

// A named thread of its own that waits on descriptors, with one more descriptor that tells it to
// end: its body polls `wakeFd` beside its own and returns once that is readable. stop() and
// destruction wake the thread and join it.
class WakeableThread {
public:
    WakeableThread() = default;
    ~WakeableThread() { stop(); }
    WakeableThread(const WakeableThread&) = delete;
    WakeableThread& operator=(const WakeableThread&) = delete;

    // Runs `body(wakeFd)` on a thread named `name`; false, and nothing started, when no wake-up
    // descriptor or no thread can be had (logged).
    bool start(const char* name, std::function<void(int wakeFd)> body);
    // Idempotent; never from the thread itself.
    void stop();

private:
    UniqueFd wake_;
    std::thread thread_;
};

}  // namespace kelvo
