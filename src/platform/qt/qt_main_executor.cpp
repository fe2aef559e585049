#include "platform/qt/qt_main_executor.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <mutex>

#include "core/util/clock.hpp"

namespace kelvo {
namespace {

// Qt timers count milliseconds; rounding up means a timer never fires before its due time.
int delayMs(uint64_t dueUs, uint64_t nowUs) {
    if (dueUs <= nowUs) return 0;
    uint64_t ms = (dueUs - nowUs + 999) / 1000;
    return ms > uint64_t(INT32_MAX) ? INT32_MAX : int(ms);
}

// Shared between the handle (any thread) and the Qt timer (loop thread); the Qt side holds it
// weakly, so a cancelled or destroyed timer keeps nothing alive.
struct TimerState : std::enable_shared_from_this<TimerState> {
    explicit TimerState(QtMainExecutor& executor) : executor(executor) {}

    QtMainExecutor& executor;
    std::mutex mutex;
    bool armed = false;
    uint64_t generation = 0;
    uint64_t dueUs = 0;
    uint64_t intervalUs = 0;  // 0: one-shot
    std::shared_ptr<Task> task;
    QPointer<QTimer> qtimer;  // loop thread only

    void arm(uint64_t firstDelayUs, uint64_t intervalUs_, Task task_) {
        uint64_t generationNow;
        {
            std::lock_guard lock(mutex);
            armed = true;
            generationNow = ++generation;
            dueUs = Clock::nowUs() + std::min(firstDelayUs, kMaxTimerDelayUs);
            intervalUs = std::min(intervalUs_, kMaxTimerDelayUs);
            task = std::make_shared<Task>(std::move(task_));
        }
        executor.dispatch([weak = weak_from_this(), generationNow] {
            if (auto self = weak.lock()) self->startOnLoop(generationNow);
        });
    }

    void cancel() {
        {
            std::lock_guard lock(mutex);
            armed = false;
            ++generation;
            task.reset();
        }
        executor.dispatch([weak = weak_from_this()] {
            if (auto self = weak.lock(); self && self->qtimer) self->qtimer->stop();
        });
    }

    void startOnLoop(uint64_t generationWanted) {
        int ms;
        {
            std::lock_guard lock(mutex);
            if (!armed || generation != generationWanted) return;
            ms = delayMs(dueUs, Clock::nowUs());
        }
        if (!qtimer) {
            qtimer = new QTimer(executor.context());
            qtimer->setSingleShot(true);
            qtimer->setTimerType(Qt::PreciseTimer);
            QObject::connect(qtimer, &QTimer::timeout, [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->fired();
            });
        }
        qtimer->start(ms);
    }

    void fired() {
        std::shared_ptr<Task> run;
        {
            std::lock_guard lock(mutex);
            if (!armed) return;
            uint64_t now = Clock::nowUs();
            if (now < dueUs) {  // re-armed later after this firing was set up
                qtimer->start(delayMs(dueUs, now));
                return;
            }
            if (intervalUs > 0) {
                // Held up past several periods: fire once, then keep the cadence.
                uint64_t missed = (now - dueUs) / intervalUs;
                dueUs += (missed + 1) * intervalUs;
                qtimer->start(delayMs(dueUs, now));
            } else {
                armed = false;
            }
            run = task;
        }
        if (run && *run) (*run)();
    }
};

class QtTimer : public Timer {
public:
    explicit QtTimer(QtMainExecutor& executor) : state_(std::make_shared<TimerState>(executor)) {}
    ~QtTimer() override {
        state_->cancel();
        // The Qt timer belongs to the loop thread: delete it there.
        QtMainExecutor& executor = state_->executor;
        executor.dispatch([state = std::move(state_)] { delete state->qtimer.data(); });
    }

    void scheduleOnce(uint64_t delayUs, Task task, uint64_t) override { state_->arm(delayUs, 0, std::move(task)); }
    void scheduleRepeating(uint64_t intervalUs, Task task, uint64_t,
                           std::optional<uint64_t> firstDelayUs) override {
        // A zero interval would spin the loop; a millisecond is the loop's own granularity.
        intervalUs = std::max<uint64_t>(intervalUs, 1000);
        state_->arm(firstDelayUs.value_or(intervalUs), intervalUs, std::move(task));
    }
    void cancel() override { state_->cancel(); }
    bool armed() const override {
        std::lock_guard lock(state_->mutex);
        return state_->armed;
    }

private:
    std::shared_ptr<TimerState> state_;
};

struct WatchState : std::enable_shared_from_this<WatchState> {
    WatchState(QtMainExecutor& executor, int fd) : executor(executor), fd(fd) {}

    QtMainExecutor& executor;
    const int fd;
    std::mutex mutex;
    uint64_t generation = 0;
    std::shared_ptr<Task> tasks[2];        // indexed by QSocketNotifier::Type (Read 0, Write 1)
    QPointer<QSocketNotifier> notifiers[2];  // loop thread only

    void wait(QSocketNotifier::Type type, Task task) {
        uint64_t generationNow;
        {
            std::lock_guard lock(mutex);
            tasks[type] = std::make_shared<Task>(std::move(task));
            generationNow = generation;
        }
        executor.dispatch([weak = weak_from_this(), type, generationNow] {
            if (auto self = weak.lock()) self->enableOnLoop(type, generationNow);
        });
    }

    void enableOnLoop(QSocketNotifier::Type type, uint64_t generationWanted) {
        {
            std::lock_guard lock(mutex);
            if (generation != generationWanted || !tasks[type]) return;
        }
        if (!notifiers[type]) {
            notifiers[type] = new QSocketNotifier(fd, type, executor.context());
            QObject::connect(notifiers[type], &QSocketNotifier::activated, [weak = weak_from_this(), type] {
                if (auto self = weak.lock()) self->ready(type);
            });
        }
        notifiers[type]->setEnabled(true);
    }

    void ready(QSocketNotifier::Type type) {
        // Each wait reports once: readiness that persists must not call again unasked.
        notifiers[type]->setEnabled(false);
        std::shared_ptr<Task> run;
        {
            std::lock_guard lock(mutex);
            run = std::move(tasks[type]);
        }
        if (run && *run) (*run)();
    }

    void cancel() {
        {
            std::lock_guard lock(mutex);
            ++generation;
            tasks[0].reset();
            tasks[1].reset();
        }
        executor.dispatch([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                for (auto& n : self->notifiers)
                    if (n) n->setEnabled(false);
            }
        });
    }
};

class QtFdWatch : public FdWatch {
public:
    QtFdWatch(QtMainExecutor& executor, int fd) : state_(std::make_shared<WatchState>(executor, fd)) {}
    ~QtFdWatch() override {
        state_->cancel();
        QtMainExecutor& executor = state_->executor;
        executor.dispatch([state = std::move(state_)] {
            for (auto& n : state->notifiers) delete n.data();
        });
    }
    void waitReadable(Task task) override { state_->wait(QSocketNotifier::Read, std::move(task)); }
    void waitWritable(Task task) override { state_->wait(QSocketNotifier::Write, std::move(task)); }
    void cancel() override { state_->cancel(); }

private:
    std::shared_ptr<WatchState> state_;
};

}  // namespace

QtMainExecutor::QtMainExecutor(std::string label)
    : label_(std::move(label)), thread_(std::this_thread::get_id()), context_(std::make_unique<QObject>()) {
    // Tasks that never ran are dropped with the application, before it tears down its event
    // lists: one of them may hold the last reference to this queue.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QObject::connect(app, &QObject::destroyed, [weak = std::weak_ptr<Pending>(pending_)] {
            if (auto pending = weak.lock()) pending->dropAll();
        });
    }
}

QtMainExecutor::~QtMainExecutor() { pending_->dropAll(); }

void QtMainExecutor::Pending::dropAll() {
    std::deque<Task> dropped;
    {
        std::lock_guard lock(mutex);
        dropped.swap(tasks);
    }
    // Released outside the lock: a task's captures may post again.
}

Task QtMainExecutor::Pending::takeNext() {
    std::lock_guard lock(mutex);
    if (tasks.empty()) return {};
    Task next = std::move(tasks.front());
    tasks.pop_front();
    return next;
}

void QtMainExecutor::post(Task task) {
    {
        std::lock_guard lock(pending_->mutex);
        pending_->tasks.push_back(std::move(task));
    }
    // One wake-up per task; queued calls to one receiver run in the order posted, and the
    // wake-ups die with the receiver.
    QMetaObject::invokeMethod(
        context_.get(),
        [weak = std::weak_ptr<Pending>(pending_)] {
            auto pending = weak.lock();
            if (!pending) return;
            if (Task next = pending->takeNext()) next();
        },
        Qt::QueuedConnection);
}

bool QtMainExecutor::isCurrent() const { return std::this_thread::get_id() == thread_; }

uint64_t QtMainExecutor::nowUs() const { return Clock::nowUs(); }

std::unique_ptr<Timer> QtMainExecutor::makeTimer() { return std::make_unique<QtTimer>(*this); }

std::unique_ptr<FdWatch> QtMainExecutor::watchFd(int fd) {
    if (fd < 0) return nullptr;
    return std::make_unique<QtFdWatch>(*this, fd);
}

}  // namespace kelvo
