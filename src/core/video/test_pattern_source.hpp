#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/runtime/executor.hpp"
#include "core/video/frame_source.hpp"
#include "core/video/test_pattern_renderer.hpp"

namespace kelvo {

// A FrameSource that draws numbered test-pattern frames at a fixed rate instead of capturing a
// screen. Frames, the start completion and all timer work run on `queue` (label it
// "kv.testpattern"). Made through make(); releasing the last reference cancels the timer.
class TestPatternSource final : public FrameSource, public std::enable_shared_from_this<TestPatternSource> {
public:
    // Title "Kelvo test pattern <w>×<h>". Nothing runs until start().
    static std::shared_ptr<TestPatternSource> make(std::shared_ptr<Executor> queue, int width, int height,
                                                   int fps);
    ~TestPatternSource() override;

    // Any thread; a frame already being handed out may still reach the previous handler.
    void setOnFrame(FrameHandler handler) override;
    void setOnError(ErrorHandler handler) override;  // never called: the source cannot fail
    // Frame 1 comes at once, then one every 1/fps s (1 s for fps ≤ 0). Numbering goes on from the
    // last frame after a stop and a new start. Always reports success.
    void start(StartCompletion completion) override;
    // Any thread; restartable. Once it returns no frame is delivered: from elsewhere it waits
    // for the queue (so never call it from a queue the source's queue may wait on); from a frame
    // handler the running frame is the last.
    void stop() override;
    // Re-arms a running timer at the new rate; numbering goes on.
    void setFrameRate(int fps) override;

    struct Private;
    TestPatternSource(Private, std::shared_ptr<Executor> queue, int width, int height, int fps);

private:
    void schedule();  // on queue
    void halt();      // on queue
    void tick();      // on queue

    std::shared_ptr<Executor> queue_;
    // Every start and stop moves it on, from any thread; the queue runs only the latest start.
    std::atomic<uint64_t> generation_{0};

    std::mutex handlerLock_;  // never held while calling out
    FrameHandler onFrame_;    // guarded by handlerLock_

    // Queue only.
    TestPatternRenderer renderer_;
    uint64_t running_ = 0;  // the generation being delivered; 0 while stopped
    std::unique_ptr<Timer> timer_;
    int fps_;
    int64_t index_ = 0;  // the last frame produced
};

}  // namespace kelvo
