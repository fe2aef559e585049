#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/runtime/executor.hpp"

class QObject;

namespace kelvo {

// The main queue of the application: tasks, timers and descriptor watches run on the thread of
// Qt's event loop, so widgets are only touched there. Every thread may post, arm and cancel.
// Make it on the event loop's thread once the application object exists and destroy it there;
// timers and watches it made must not outlive it. Work pending at its destruction, or at the
// application object's, is dropped.
// Every task on the loop's thread belongs to this queue, so isCurrent() is a thread check.
// drain() from another thread needs the loop to be running (or about to), else it never returns.
class QtMainExecutor : public Executor {
public:
    explicit QtMainExecutor(std::string label = "main");
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    std::string_view label() const override { return label_; }
    void post(Task task) override;
    bool isCurrent() const override;
    uint64_t nowUs() const override;
    std::unique_ptr<Timer> makeTimer() override;
    std::unique_ptr<FdWatch> watchFd(int fd) override;

    QObject* context() const { return context_.get(); }

private:
    // Tasks wait here, not inside Qt's events: an event Qt still holds when the application
    // object goes away then owns nothing of ours, so releasing it cannot reach back into Qt.
    struct Pending {
        std::mutex mutex;
        std::deque<Task> tasks;
        Task takeNext();
        void dropAll();
    };

    std::string label_;
    std::thread::id thread_;
    std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
    std::unique_ptr<QObject> context_;  // receiver of the wake-ups; lives on the loop's thread
};

}  // namespace kelvo
