#pragma once

#include <memory>
#include <utility>

#include "core/runtime/executor.hpp"

namespace kelvo {

// The hop back to an object confined to a queue, for closures that run elsewhere: `hop(work)`
// posts `work(T&)` to the queue, where it runs only while the object still lives. Both are held
// weakly, so a closure carrying the hop keeps neither alive. Copyable; call from any thread.
template <class T>
class WeakHop {
public:
    WeakHop(std::weak_ptr<T> target, const std::shared_ptr<Executor>& queue)
        : target_(std::move(target)), queue_(queue) {}

    template <class F>
    void operator()(F&& work) const {
        queue_.post([target = target_, work = std::forward<F>(work)]() mutable {
            if (auto self = target.lock()) work(*self);
        });
    }

private:
    std::weak_ptr<T> target_;
    WeakQueue queue_;
};

}  // namespace kelvo
