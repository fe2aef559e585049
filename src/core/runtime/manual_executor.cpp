#include "core/runtime/manual_executor.hpp"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

namespace kelvo {

namespace {

// Marks the executor as current for the scope, also when the task throws to the test.
struct RunningScope {
    int& running;
    explicit RunningScope(int& r) : running(r) { ++running; }
    ~RunningScope() { --running; }
};

}  // namespace

struct ManualExecutor::Core {
    std::string label;
    uint64_t nowUs = 0;
    int running = 0;
    std::deque<Task> tasks;
    uint64_t nextSeq = 1;
    // (due time, arming order) -> firing of a timer
    struct Entry {
        std::function<void()> fire;
    };
    std::map<std::pair<uint64_t, uint64_t>, Entry> due;

    // Watched descriptors by watch id (creation order), with the waits not yet reported.
    struct Watched {
        int fd = -1;
        std::vector<Task> readers;
        std::vector<Task> writers;
    };
    std::map<uint64_t, Watched> watches;
    uint64_t nextWatchId = 1;

    size_t runPosted() {
        size_t n = 0;
        while (!tasks.empty()) {
            Task t = std::move(tasks.front());
            tasks.pop_front();
            RunningScope scope(running);
            t();
            ++n;
        }
        return n;
    }

    // Polls the descriptors that have waits, without blocking, and runs the waits of the ready
    // ones (each followed by what it posted). Returns how many tasks ran.
    size_t runReady() {
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;
        for (const auto& [id, w] : watches) {
            auto events = static_cast<short>((w.readers.empty() ? 0 : POLLIN) | (w.writers.empty() ? 0 : POLLOUT));
            if (events == 0) continue;
            fds.push_back(pollfd{w.fd, events, 0});
            ids.push_back(id);
        }
        if (fds.empty()) return 0;
        int ready;
        do {
            ready = ::poll(fds.data(), fds.size(), 0);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) return 0;
        size_t n = 0;
        for (size_t i = 0; i < fds.size(); ++i) {
            // Errors and hang-ups count as readiness both ways: the owner's read or write then
            // sees the real error, as on a real queue.
            const short failed = POLLERR | POLLHUP | POLLNVAL;
            bool readable = fds[i].revents & (POLLIN | failed);
            bool writable = fds[i].revents & (POLLOUT | failed);
            for (bool reading : {true, false}) {
                if (!(reading ? readable : writable)) continue;
                // An earlier task may have cancelled or destroyed this watch.
                auto it = watches.find(ids[i]);
                if (it == watches.end()) break;
                std::vector<Task> waits = std::move(reading ? it->second.readers : it->second.writers);
                (reading ? it->second.readers : it->second.writers).clear();
                for (auto& t : waits) {
                    {
                        RunningScope scope(running);
                        t();
                    }
                    n += 1 + runPosted();
                }
            }
        }
        return n;
    }

    size_t drain() {
        size_t n = runPosted();
        while (size_t more = runReady()) n += more;
        return n;
    }

    // Fires the earliest entry due at or before `untilUs`; false if there is none.
    bool fireOne(uint64_t untilUs) {
        if (due.empty() || due.begin()->first.first > untilUs) return false;
        auto node = due.extract(due.begin());
        if (node.key().first > nowUs) nowUs = node.key().first;
        {
            RunningScope scope(running);
            node.mapped().fire();
        }
        drain();
        return true;
    }
};

namespace {

class ManualTimer final : public Timer {
public:
    explicit ManualTimer(std::weak_ptr<ManualExecutor::Core> core) : core_(std::move(core)) {}
    ~ManualTimer() override { cancel(); }

    void scheduleOnce(uint64_t delayUs, Task task, uint64_t) override {
        cancel();
        task_ = std::make_shared<Task>(std::move(task));
        repeating_ = false;
        arm(delayUs);
    }

    void scheduleRepeating(uint64_t intervalUs, Task task, uint64_t, std::optional<uint64_t> firstDelayUs) override {
        cancel();
        task_ = std::make_shared<Task>(std::move(task));
        repeating_ = true;
        intervalUs_ = std::clamp<uint64_t>(intervalUs, 1, kMaxTimerDelayUs);
        arm(firstDelayUs.value_or(intervalUs_));
    }

    void cancel() override {
        if (auto core = core_.lock(); core && key_) core->due.erase(*key_);
        key_.reset();
        task_.reset();
    }

    bool armed() const override { return key_.has_value(); }

private:
    void arm(uint64_t delayUs) {
        auto core = core_.lock();
        if (!core) return;
        uint64_t delay = std::min(delayUs, kMaxTimerDelayUs);
        bool pastTheEnd = delay > std::numeric_limits<uint64_t>::max() - core->nowUs;
        auto key = std::make_pair(pastTheEnd ? std::numeric_limits<uint64_t>::max() : core->nowUs + delay,
                                  core->nextSeq++);
        key_ = key;
        if (pastTheEnd) return;  // armed, but never due: virtual time ends first
        core->due.emplace(key, ManualExecutor::Core::Entry{[this, task = task_] {
            key_.reset();
            if (repeating_) arm(intervalUs_);
            (*task)();  // the task may cancel or destroy this timer; it holds its own copy
        }});
    }

    std::weak_ptr<ManualExecutor::Core> core_;
    std::shared_ptr<Task> task_;
    std::optional<std::pair<uint64_t, uint64_t>> key_;
    bool repeating_ = false;
    uint64_t intervalUs_ = 0;
};

class ManualFdWatch final : public FdWatch {
public:
    ManualFdWatch(std::weak_ptr<ManualExecutor::Core> core, uint64_t id) : core_(std::move(core)), id_(id) {}
    ~ManualFdWatch() override {
        if (auto core = core_.lock()) core->watches.erase(id_);
    }

    void waitReadable(Task task) override {
        if (auto w = watched()) w->readers.push_back(std::move(task));
    }
    void waitWritable(Task task) override {
        if (auto w = watched()) w->writers.push_back(std::move(task));
    }
    void cancel() override {
        if (auto w = watched()) {
            w->readers.clear();
            w->writers.clear();
        }
    }

private:
    ManualExecutor::Core::Watched* watched() {
        auto core = core_.lock();
        if (!core) return nullptr;
        auto it = core->watches.find(id_);
        return it == core->watches.end() ? nullptr : &it->second;
    }

    std::weak_ptr<ManualExecutor::Core> core_;
    uint64_t id_;
};

}  // namespace

ManualExecutor::ManualExecutor(std::string label, uint64_t startUs) : core_(std::make_shared<Core>()) {
    core_->label = std::move(label);
    core_->nowUs = startUs;
}

ManualExecutor::~ManualExecutor() = default;

std::string_view ManualExecutor::label() const { return core_->label; }
void ManualExecutor::post(Task task) { core_->tasks.push_back(std::move(task)); }
bool ManualExecutor::isCurrent() const { return core_->running > 0; }
uint64_t ManualExecutor::nowUs() const { return core_->nowUs; }
std::unique_ptr<Timer> ManualExecutor::makeTimer() { return std::make_unique<ManualTimer>(core_); }
size_t ManualExecutor::runUntilIdle() { return core_->drain(); }
void ManualExecutor::drain() {
    if (!isCurrent()) core_->drain();
}
size_t ManualExecutor::armedTimers() const { return core_->due.size(); }

size_t ManualExecutor::pendingWaits() const {
    size_t n = 0;
    for (const auto& [id, w] : core_->watches) n += w.readers.size() + w.writers.size();
    return n;
}

std::unique_ptr<FdWatch> ManualExecutor::watchFd(int fd) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return nullptr;
    uint64_t id = core_->nextWatchId++;
    core_->watches[id].fd = fd;
    return std::make_unique<ManualFdWatch>(core_, id);
}

size_t ManualExecutor::advance(uint64_t us) {
    core_->drain();
    uint64_t until = core_->nowUs + std::min(us, std::numeric_limits<uint64_t>::max() - core_->nowUs);
    size_t fired = 0;
    while (core_->fireOne(until)) ++fired;
    core_->nowUs = until;
    return fired;
}

bool ManualExecutor::runNextTimer() {
    core_->drain();
    if (core_->due.empty()) return false;
    uint64_t at = core_->due.begin()->first.first;
    while (core_->fireOne(at)) {
    }
    return true;
}

}  // namespace kelvo
