#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvo {

// Threads that take bands of a job beside the thread that runs it, kept for as long as their
// owner (a capture, an encoder) lives, so that a frame's conversion starts none. They are started
// from one thread (start(), or else the first job's) and so are scheduled as that thread is
// (policy, niceness, time slice): an encoder's at its lower priority, a capture's at the normal
// one. Joined on destruction. Jobs from several threads take turns.
class BandWorkers {
public:
    // At most `parts` bands run at once: the calling thread and `parts` - 1 workers.
    explicit BandWorkers(int parts);
    ~BandWorkers();
    BandWorkers(const BandWorkers&) = delete;
    BandWorkers& operator=(const BandWorkers&) = delete;

    int parts() const { return parts_; }
    // Starts every worker from this thread, all or none: where one cannot be had, the reason is
    // logged, those already started are ended and joined, and every job runs on its caller's
    // thread alone. Whether they run. Only the first call starts anything.
    bool start();
    // Runs band(0) … band(count - 1), each once, on this thread and the workers (started here
    // unless start() was called); returns when all have run. A band must not throw. Bands no
    // worker has taken yet this thread runs itself, so a worker slow to wake holds no band back.
    void run(int count, const std::function<void(int)>& band);

private:
    void work();
    // Takes and runs bands of the current job until none is left; `lock` holds m_.
    void takeBands(std::unique_lock<std::mutex>& lock);
    // start() with turn_ held.
    bool startLocked();
    // Ends and joins the workers there are.
    void endWorkers();

    const int parts_;
    enum class Start { notYet, running, failed };
    std::mutex turn_;  // one job at a time; guards threads_ and start_
    std::vector<std::thread> threads_;
    Start start_ = Start::notYet;

    std::mutex m_;
    std::condition_variable wake_;  // workers: a job, or the end
    std::condition_variable done_;  // run(): every band has run
    const std::function<void(int)>* band_ = nullptr;  // guarded by m_: the current job
    int count_ = 0;                                   // guarded by m_
    int next_ = 0;                                    // guarded by m_: the first band not taken
    int finished_ = 0;                                // guarded by m_
    bool ending_ = false;                             // guarded by m_
};

}  // namespace kelvo
