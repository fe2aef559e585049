#include "platform/runtime/asio_executor.hpp"

#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "core/util/clock.hpp"
#include "core/util/log.hpp"
#include "core/util/named_thread.hpp"
#include "core/util/thread_scheduling.hpp"

namespace kelvo {

namespace {

thread_local std::string_view tCurrentLabel;

// Short enough that a waking interactive thread preempts anything with the default slice (at
// least 0.7 ms), long enough that its own tasks rarely span two.
constexpr std::chrono::microseconds kInteractiveSlice{200};

struct LabelScope {
    std::string_view saved;
    explicit LabelScope(std::string_view label) : saved(tCurrentLabel) { tCurrentLabel = label; }
    ~LabelScope() { tCurrentLabel = saved; }
};

void runTask(std::string_view label, const Task& task) {
    LabelScope scope(label);
    try {
        task();
    } catch (const std::exception& e) {
        Log::e("runtime", std::string("task on ") + std::string(label) + " threw: " + e.what());
    } catch (...) {
        Log::e("runtime", std::string("task on ") + std::string(label) + " threw");
    }
}

// Shared state of a timer. Its pending handler holds the state weakly and the task not at all:
// a handler left over from cancel() or re-arming finds a newer generation and returns, and
// until then it keeps nothing of the owner alive.
struct TimerState {
    explicit TimerState(AsioExecutor::Strand s) : timer(s) {}
    std::mutex m;
    asio::steady_timer timer;
    uint64_t generation = 0;
    uint64_t intervalUs = 0;  // 0: one-shot
    std::shared_ptr<Task> task;
    bool armed = false;
};

// The first point of the cadence after now: a queue held up for several periods gets one late
// firing (this one) instead of a burst of them.
asio::steady_timer::time_point nextTick(asio::steady_timer::time_point last, std::chrono::microseconds interval) {
    auto next = last + interval;
    auto now = asio::steady_timer::clock_type::now();
    if (next <= now) next += (std::chrono::duration_cast<std::chrono::microseconds>(now - next) / interval + 1) * interval;
    return next;
}

class AsioTimer final : public Timer {
public:
    AsioTimer(AsioExecutor::Strand strand, std::shared_ptr<const std::string> label)
        : label_(std::move(label)), state_(std::make_shared<TimerState>(strand)) {}
    ~AsioTimer() override { cancel(); }

    void scheduleOnce(uint64_t delayUs, Task task, uint64_t) override { arm(delayUs, 0, std::move(task)); }
    void scheduleRepeating(uint64_t intervalUs, Task task, uint64_t, std::optional<uint64_t> firstDelayUs) override {
        uint64_t interval = std::clamp<uint64_t>(intervalUs, 1, kMaxTimerDelayUs);
        arm(firstDelayUs.value_or(interval), interval, std::move(task));
    }
    void cancel() override {
        std::shared_ptr<Task> released;  // destroyed outside the lock: it may own anything
        std::lock_guard g(state_->m);
        ++state_->generation;
        state_->armed = false;
        released = std::move(state_->task);
        state_->timer.cancel();
    }
    bool armed() const override {
        std::lock_guard g(state_->m);
        return state_->armed;
    }

private:
    void arm(uint64_t delayUs, uint64_t intervalUs, Task task) {
        std::shared_ptr<Task> released;
        std::lock_guard g(state_->m);
        uint64_t gen = ++state_->generation;
        state_->armed = true;
        state_->intervalUs = intervalUs;
        released = std::exchange(state_->task, std::make_shared<Task>(std::move(task)));
        // Clamped: a larger count would overflow the clock's signed nanoseconds.
        state_->timer.expires_after(std::chrono::microseconds(std::min(delayUs, kMaxTimerDelayUs)));
        wait(state_, gen, label_);
    }

    // Called with state->m held.
    static void wait(const std::shared_ptr<TimerState>& state, uint64_t gen, std::shared_ptr<const std::string> label) {
        std::weak_ptr<TimerState> weak = state;
        state->timer.async_wait([weak, gen, label](const asio::error_code& ec) {
            if (ec) return;
            auto s = weak.lock();
            if (!s) return;
            std::shared_ptr<Task> task;
            {
                std::lock_guard g(s->m);
                if (s->generation != gen) return;
                task = s->task;
                if (s->intervalUs) {
                    s->timer.expires_at(nextTick(s->timer.expiry(), std::chrono::microseconds(s->intervalUs)));
                    wait(s, gen, label);
                } else {
                    s->armed = false;
                    s->task.reset();
                }
            }
            runTask(*label, *task);
        });
    }

    std::shared_ptr<const std::string> label_;
    std::shared_ptr<TimerState> state_;
};

// A watch's pending handler holds the state weakly and not the task, for the same reason.
struct WatchState {
    explicit WatchState(AsioExecutor::Strand s) : descriptor(s) {}
    ~WatchState() {
        asio::error_code ec;
        descriptor.cancel(ec);
        descriptor.release();  // the descriptor belongs to the caller
    }
    std::mutex m;
    asio::posix::stream_descriptor descriptor;
    uint64_t generation = 0;
    uint64_t nextWait = 0;
    std::map<uint64_t, Task> waiting;  // by wait, until it reports
};

class AsioFdWatch final : public FdWatch {
public:
    AsioFdWatch(std::shared_ptr<WatchState> state, std::shared_ptr<const std::string> label)
        : state_(std::move(state)), label_(std::move(label)) {}
    ~AsioFdWatch() override { cancel(); }

    void waitReadable(Task task) override { wait(asio::posix::stream_descriptor::wait_read, std::move(task)); }
    void waitWritable(Task task) override { wait(asio::posix::stream_descriptor::wait_write, std::move(task)); }
    void cancel() override {
        std::map<uint64_t, Task> released;  // destroyed outside the lock
        std::lock_guard g(state_->m);
        ++state_->generation;
        released.swap(state_->waiting);
        asio::error_code ec;
        state_->descriptor.cancel(ec);
    }

private:
    void wait(asio::posix::stream_descriptor::wait_type type, Task task) {
        std::lock_guard g(state_->m);
        uint64_t gen = state_->generation;
        uint64_t id = state_->nextWait++;
        state_->waiting.emplace(id, std::move(task));
        std::weak_ptr<WatchState> weak = state_;
        auto label = label_;
        state_->descriptor.async_wait(type, [weak, gen, id, label](const asio::error_code& ec) {
            if (ec == asio::error::operation_aborted) return;
            auto s = weak.lock();
            if (!s) return;
            Task task;
            {
                std::lock_guard g(s->m);
                if (s->generation != gen) return;
                auto node = s->waiting.extract(id);
                if (node) task = std::move(node.mapped());
            }
            // Other errors (a closed or failed descriptor) are reported as readiness: the
            // owner's read or write then sees the real error.
            if (task) runTask(*label, task);
        });
    }

    std::shared_ptr<WatchState> state_;
    std::shared_ptr<const std::string> label_;
};

}  // namespace

std::string_view currentQueueLabel() { return tCurrentLabel; }

IoPool::IoPool(unsigned threads, Urgency urgency)
    : guard_(std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(context_.get_executor())) {
    if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
    const bool interactive = urgency == Urgency::interactive;
    const char* name = interactive ? "kv.interactive" : "kv.pool";
    threads_.reserve(threads);  // growing it must not drop a running thread
    for (unsigned i = 0; i < threads; ++i) {
        auto started = tryStartNamedThread(name, [this, interactive] {
            if (interactive && !requestShortTimeSlice(kInteractiveSlice)) {
                Log::d("runtime", "interactive threads keep the default time slice");
            }
            context_.run();
        });
        if (!started) {
            const std::string why = started.error().message();
            if (threads_.empty()) {
                Log::e("runtime", std::string("no \"") + name + "\" thread can be started: " + why);
                throw std::system_error(started.error(), std::string("cannot start \"") + name + "\" threads");
            }
            // Its queues run, only with less room for work side by side.
            Log::w("runtime", std::string("\"") + name + "\" runs " + std::to_string(threads_.size()) + " of " +
                                  std::to_string(threads) + " threads: " + why);
            break;
        }
        threads_.push_back(std::move(started).value());
    }
}

IoPool::~IoPool() { stop(); }

IoPool& IoPool::interactive() {
    // One thread: a touch read on the control stream goes on to injection without waking another
    // thread (each wake-up is a chance to wait behind the encoder). Never destroyed, as shared().
    static IoPool* pool = new IoPool(1, Urgency::interactive);
    return *pool;
}

IoPool& IoPool::shared() {
    static IoPool* pool = new IoPool();  // never destroyed: queues may outlive static destruction
    return *pool;
}

void IoPool::stop() {
    guard_.reset();
    context_.stop();
    // A pool thread cannot join itself; its thread stays for a later stop() from outside
    // (destroying it unjoined would terminate the process).
    std::erase_if(threads_, [](std::thread& t) {
        if (t.get_id() == std::this_thread::get_id()) return false;
        if (t.joinable()) t.join();
        return true;
    });
}

AsioExecutor::AsioExecutor(asio::io_context& context, std::string label)
    : context_(context), strand_(asio::make_strand(context)),
      label_(std::make_shared<const std::string>(std::move(label))) {}

std::shared_ptr<AsioExecutor> AsioExecutor::makeQueue(std::string label) {
    return std::make_shared<AsioExecutor>(IoPool::shared().context(), std::move(label));
}

std::shared_ptr<AsioExecutor> AsioExecutor::makeInteractiveQueue(std::string label) {
    return std::make_shared<AsioExecutor>(IoPool::interactive().context(), std::move(label));
}

void AsioExecutor::post(Task task) {
    asio::post(strand_, [task = std::move(task), label = label_] { runTask(*label, task); });
}

bool AsioExecutor::isCurrent() const { return strand_.running_in_this_thread(); }

uint64_t AsioExecutor::nowUs() const { return Clock::nowUs(); }

std::unique_ptr<Timer> AsioExecutor::makeTimer() { return std::make_unique<AsioTimer>(strand_, label_); }

std::unique_ptr<FdWatch> AsioExecutor::watchFd(int fd) {
    auto state = std::make_shared<WatchState>(strand_);
    asio::error_code ec;
    state->descriptor.assign(fd, ec);  // registers with the reactor; fails for a bad descriptor
    if (ec) {
        Log::w("runtime", [&] { return "cannot watch fd " + std::to_string(fd) + " on " + *label_ + ": " + ec.message(); });
        return nullptr;
    }
    return std::make_unique<AsioFdWatch>(std::move(state), label_);
}

namespace {

// The main loop's queue. Its thread drains it by running the loop until idle: a barrier posted
// there would wait for a loop that nobody runs.
class MainLoopExecutor final : public AsioExecutor {
public:
    MainLoopExecutor(asio::io_context& context, std::string label, MainLoop& loop)
        : AsioExecutor(context, std::move(label)), loop_(loop), owner_(std::this_thread::get_id()) {}

    void drain() override {
        if (isCurrent()) return;
        if (std::this_thread::get_id() == owner_) {
            loop_.poll();
        } else {
            AsioExecutor::drain();
        }
    }

private:
    MainLoop& loop_;
    const std::thread::id owner_;
};

}  // namespace

MainLoop::MainLoop(std::string label)
    : executor_(std::make_shared<MainLoopExecutor>(context_, std::move(label), *this)) {}

MainLoop::~MainLoop() { stop(); }

void MainLoop::run() {
    auto guard = asio::make_work_guard(context_);
    context_.restart();
    // Checked after restart(): a stop() from another thread that came first is not lost.
    if (stopRequested_.exchange(false)) return;
    context_.run();
    stopRequested_ = false;
}

void MainLoop::poll() {
    context_.restart();
    context_.poll();
    stopRequested_ = false;
}

void MainLoop::runFor(uint64_t us) {
    auto guard = asio::make_work_guard(context_);
    context_.restart();
    if (stopRequested_.exchange(false)) return;
    context_.run_for(std::chrono::microseconds(std::min(us, kMaxTimerDelayUs)));
    stopRequested_ = false;
}

void MainLoop::stop() {
    stopRequested_ = true;
    context_.stop();
}

}  // namespace kelvo
