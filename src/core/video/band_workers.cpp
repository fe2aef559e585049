#include "core/video/band_workers.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/util/log.hpp"
#include "core/util/named_thread.hpp"

namespace kelvo {

BandWorkers::BandWorkers(int parts) : parts_(std::max(1, parts)) {}

BandWorkers::~BandWorkers() { endWorkers(); }

void BandWorkers::endWorkers() {
    {
        std::lock_guard g(m_);
        ending_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
}

bool BandWorkers::start() {
    std::lock_guard turn(turn_);
    return startLocked();
}

bool BandWorkers::startLocked() {
    if (start_ != Start::notYet) return start_ == Start::running;
    const size_t workers = size_t(parts_ - 1);
    threads_.reserve(workers);  // growing it must not drop a running thread
    while (threads_.size() < workers) {
        auto started = tryStartNamedThread("kv.convert", [this] { work(); });
        if (!started) {
            Log::w("video", "conversion worker " + std::to_string(threads_.size() + 1) + " of " +
                                std::to_string(workers) + " cannot be started: " + started.error().message() +
                                "; none is kept, and conversions run on their callers' threads");
            endWorkers();
            start_ = Start::failed;
            return false;
        }
        threads_.push_back(std::move(started).value());
    }
    start_ = Start::running;
    return true;
}

void BandWorkers::run(int count, const std::function<void(int)>& band) {
    std::unique_lock turn(turn_, std::defer_lock);
    if (count > 1 && parts_ > 1) {
        turn.lock();
        if (!startLocked()) turn.unlock();
    }
    if (!turn.owns_lock()) {
        for (int i = 0; i < count; ++i) band(i);
        return;
    }
    {
        std::lock_guard g(m_);
        band_ = &band;
        count_ = count;
        next_ = 0;
        finished_ = 0;
    }
    wake_.notify_all();  // outside the lock: a woken worker finds it free
    std::unique_lock lock(m_);
    takeBands(lock);
    done_.wait(lock, [&] { return finished_ == count_; });
    band_ = nullptr;
}

void BandWorkers::takeBands(std::unique_lock<std::mutex>& lock) {
    while (band_ && next_ < count_) {
        const int i = next_++;
        const auto& band = *band_;
        lock.unlock();
        band(i);
        lock.lock();
        if (++finished_ == count_) done_.notify_one();
    }
}

void BandWorkers::work() {
    std::unique_lock lock(m_);
    for (;;) {
        wake_.wait(lock, [&] { return ending_ || (band_ && next_ < count_); });
        if (ending_) return;
        takeBands(lock);
    }
}

}  // namespace kelvo
