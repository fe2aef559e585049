#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/executor.hpp"

namespace kelvo {

// A pool of threads running one io_context; serial queues are strands over it.
// Construct → start threads at once; stop() (or destruction) joins them. Work still queued at
// stop is dropped. Called on a pool thread, stop() cannot join that thread: a later stop() or
// the destruction, from outside the pool, does.
class IoPool {
public:
    enum class Urgency {
        normal,
        // Threads with a short time slice (see requestShortTimeSlice): waking, they preempt the
        // encoder and longer pool work. For queues whose tasks are short and waited on by a person.
        interactive,
    };
    // `threads` 0: one per core, at least 2. Runs with fewer where the system grants fewer
    // (logged); throws std::system_error where it grants none, as a pool without threads would
    // leave every task queued for ever.
    explicit IoPool(unsigned threads = 0, Urgency urgency = Urgency::normal);
    ~IoPool();
    IoPool(const IoPool&) = delete;
    IoPool& operator=(const IoPool&) = delete;

    // The process-wide pool, made on first use and never joined before exit.
    static IoPool& shared();
    // The process-wide interactive pool (one thread): the control stream and input injection.
    static IoPool& interactive();

    asio::io_context& context() { return context_; }
    void stop();

private:
    asio::io_context context_;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
    std::vector<std::thread> threads_;
};

// A labelled serial queue over an io_context (an Asio strand). Timers and descriptor watches it
// makes run their tasks on it. Thread-safe; outliving its io_context's threads drops pending work.
class AsioExecutor : public Executor {
public:
    AsioExecutor(asio::io_context& context, std::string label);
    // A new serial queue on the shared pool.
    static std::shared_ptr<AsioExecutor> makeQueue(std::string label);
    // A new serial queue on the interactive pool.
    static std::shared_ptr<AsioExecutor> makeInteractiveQueue(std::string label);

    std::string_view label() const override { return *label_; }
    void post(Task task) override;
    bool isCurrent() const override;
    uint64_t nowUs() const override;
    std::unique_ptr<Timer> makeTimer() override;
    std::unique_ptr<FdWatch> watchFd(int fd) override;

    using Strand = asio::strand<asio::io_context::executor_type>;
    Strand& strand() { return strand_; }

private:
    asio::io_context& context_;
    Strand strand_;
    std::shared_ptr<const std::string> label_;
};

// The label of the queue running on this thread, or "" off any queue.
std::string_view currentQueueLabel();

// The main queue of a headless run: an io_context driven by the thread that made it, through
// run(), poll() or runFor(). Its executor must not be used once the loop is destroyed; drained
// from that thread outside the loop's tasks, it polls the loop.
class MainLoop {
public:
    explicit MainLoop(std::string label = "main");
    ~MainLoop();

    Executor& executor() { return *executor_; }
    std::shared_ptr<Executor> sharedExecutor() { return executor_; }
    // Runs until stop(); tasks and timers of executor() run on this thread. A stop() from
    // another thread that comes before run() makes it return at once.
    void run();
    // Runs ready work and returns once none is left (tests).
    void poll();
    // Runs for at most `us` microseconds of wall time, or until stop().
    void runFor(uint64_t us);
    void stop();

private:
    asio::io_context context_;
    std::shared_ptr<AsioExecutor> executor_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace kelvo
