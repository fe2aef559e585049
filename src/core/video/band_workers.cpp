#include "core/video/band_workers.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "core/util/named_thread.hpp"

namespace kelvo {

BandWorkers::BandWorkers(int parts) : parts_(std::max(1, parts)) {}

BandWorkers::~BandWorkers() {
    {
        std::lock_guard g(m_);
        ending_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void BandWorkers::run(int count, const std::function<void(int)>& band) {
    if (count <= 1 || parts_ == 1) {
        for (int i = 0; i < count; ++i) band(i);
        return;
    }
    std::lock_guard turn(turn_);
    if (!std::exchange(started_, true)) {
        try {
            while (int(threads_.size()) < parts_ - 1) {
                threads_.push_back(startNamedThread("kv.convert", [this] { work(); }));
            }
        } catch (const std::system_error&) {
            // No more threads to be had: the ones there are, and this one, run the bands.
        }
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
