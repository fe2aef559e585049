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
    std::lock_guard g(handlerLock_);
    onFrame_ = std::move(handler);
}

void TestPatternSource::setOnError(ErrorHandler) {}

void TestPatternSource::start(StartCompletion completion) {
    const uint64_t generation = ++generation_;
    queue_->post([weak = weak_from_this(), generation, completion = std::move(completion)] {
        auto self = weak.lock();
        // A stop() that came after this start() wins.
        if (self && self->generation_ == generation) {
            self->running_ = generation;
            self->schedule();
        }
        if (completion) completion(std::nullopt);
    });
}

void TestPatternSource::stop() {
    ++generation_;
    if (queue_->isCurrent()) return halt();
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->halt();
    });
    // A frame being handed out right now has returned once the queue reached the halt.
    queue_->drain();
}

void TestPatternSource::halt() {
    running_ = 0;
    if (!timer_) return;
    timer_.reset();
    Log::i("video", "test pattern stopped after frame " + std::to_string(index_));
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
    if (running_ == 0 || running_ != generation_) return;
    ++index_;
    PixelBufferRef buffer = renderer_.render(index_);
    FrameHandler handler;
    {
        std::lock_guard g(handlerLock_);
        handler = onFrame_;
    }
    if (buffer && handler) handler(buffer, queue_->nowUs());
}

}  // namespace kelvo
