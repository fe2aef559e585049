#include "core/video/test_pattern_source.hpp"

#include <algorithm>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr uint64_t kLeewayUs = 1000;

uint64_t intervalUs(int fps) { return 1'000'000'000ull / uint64_t(std::max(fps, 1)) / 1000; }

}  // namespace

struct TestPatternSource::Private {};

std::shared_ptr<TestPatternSource> TestPatternSource::make(std::shared_ptr<Executor> queue, int width, int height,
                                                           int fps) {
    return std::make_shared<TestPatternSource>(Private{}, std::move(queue), width, height, fps);
}

TestPatternSource::TestPatternSource(Private, std::shared_ptr<Executor> queue, int width, int height, int fps)
    : queue_(std::move(queue)),
      renderer_(width, height, "Kelvo test pattern " + std::to_string(width) + "×" + std::to_string(height)),
      fps_(fps) {}

// The timer goes with the source: no tick runs once the last reference is gone.
TestPatternSource::~TestPatternSource() = default;

void TestPatternSource::setOnFrame(FrameHandler handler) {
    std::lock_guard g(deliver_);
    onFrame_ = std::move(handler);
}

void TestPatternSource::setOnError(ErrorHandler) {}

void TestPatternSource::start(StartCompletion completion) {
    uint64_t generation;
    {
        std::lock_guard g(deliver_);
        running_ = true;
        generation = ++generation_;
    }
    queue_->post([weak = weak_from_this(), generation, completion = std::move(completion)] {
        if (auto self = weak.lock()) {
            bool current;
            {
                std::lock_guard g(self->deliver_);
                current = self->generation_ == generation;
            }
            // A stop() that came after this start() wins.
            if (current) self->schedule();
        }
        if (completion) completion(std::nullopt);
    });
}

void TestPatternSource::stop() {
    {
        std::lock_guard g(deliver_);
        if (!running_) return;
        running_ = false;
        ++generation_;
    }
    auto cancel = [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->timer_) return;
        self->timer_.reset();
        Log::i("video", "test pattern stopped after frame " + std::to_string(self->index_));
    };
    if (queue_->isCurrent()) {
        cancel();
    } else {
        queue_->post(cancel);
    }
}

void TestPatternSource::setFrameRate(int fps) {
    queue_->post([weak = weak_from_this(), fps] {
        auto self = weak.lock();
        if (!self || fps == self->fps_) return;
        self->fps_ = fps;
        if (self->timer_) self->schedule();
    });
}

void TestPatternSource::schedule() {
    if (!timer_) timer_ = queue_->makeTimer();
    Log::i("video", [&] {
        return "test pattern " + std::to_string(renderer_.width()) + "×" + std::to_string(renderer_.height()) +
               " at " + std::to_string(std::max(fps_, 1)) + " fps from frame " + std::to_string(index_ + 1);
    });
    timer_->scheduleRepeating(
        intervalUs(fps_),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->tick();
        },
        kLeewayUs, 0);
}

void TestPatternSource::tick() {
    std::lock_guard g(deliver_);
    if (!running_) return;
    ++index_;
    PixelBufferRef buffer = renderer_.render(index_);
    FrameHandler handler = onFrame_;
    if (buffer && handler) handler(buffer, queue_->nowUs());
}

}  // namespace kelvo
