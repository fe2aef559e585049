#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/util/uuid.hpp"

namespace kelvo {

// Observers keyed by UUID, notified outside the owner's lock.
//
// Promise: once remove(id) returns, that observer is never called again, and no call of it is
// still running on another thread (so its owner may be destroyed). A removal from inside the
// observer's own call returns at once; the running call finishes. Observers added during a
// notification start with the next one. Thread-safe.
template <class... Args>
class ObserverList {
public:
    using Fn = std::function<void(Args...)>;

    Uuid add(Fn fn) {
        auto slot = std::make_shared<Slot>();
        slot->id = Uuid::random();
        slot->fn = std::move(fn);
        std::lock_guard g(lock_);
        slots_.push_back(slot);
        return slot->id;
    }

    // Unknown ids change nothing.
    void remove(const Uuid& id) {
        std::shared_ptr<Slot> slot;
        {
            std::lock_guard g(lock_);
            auto it = std::find_if(slots_.begin(), slots_.end(), [&](auto& s) { return s->id == id; });
            if (it == slots_.end()) return;
            slot = *it;
            slots_.erase(it);
        }
        size_t own = static_cast<size_t>(std::count(callStack().begin(), callStack().end(), slot.get()));
        std::unique_lock g(slot->m);
        slot->removed = true;
        slot->cv.wait(g, [&] { return slot->active <= own; });
    }

    // A copy of the current observers, taken under the list lock; call it while holding the
    // owner's lock, then notify(copy, ...) after releasing it.
    using Snapshot = std::vector<std::shared_ptr<void>>;
    Snapshot snapshot() const {
        std::lock_guard g(lock_);
        return Snapshot(slots_.begin(), slots_.end());
    }

    static void notify(const Snapshot& snap, const Args&... args) {
        for (auto& any : snap) {
            auto* slot = static_cast<Slot*>(any.get());
            {
                std::lock_guard g(slot->m);
                if (slot->removed) continue;
                ++slot->active;
            }
            callStack().push_back(slot);
            try {
                slot->fn(args...);
            } catch (...) {
                // An observer's failure is its own affair; the others still run.
            }
            callStack().pop_back();
            std::lock_guard g(slot->m);
            --slot->active;
            slot->cv.notify_all();
        }
    }

    void notifyAll(const Args&... args) const { notify(snapshot(), args...); }

    size_t size() const {
        std::lock_guard g(lock_);
        return slots_.size();
    }

private:
    struct Slot {
        Uuid id;
        Fn fn;
        std::mutex m;
        std::condition_variable cv;
        size_t active = 0;
        bool removed = false;
    };
    static std::vector<const void*>& callStack() {
        thread_local std::vector<const void*> stack;
        return stack;
    }

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Slot>> slots_;
};

}  // namespace kelvo
