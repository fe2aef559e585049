#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/video/movable_frame_source.hpp"
#include "core/video/test_pattern_source.hpp"

namespace kelvo {

// A screen source for session tests: draws the test pattern on its own queue, moves in place on
// request, and fails when the test says so, as a capture that stopped on its own. A shared
// Script records every source made and every move, and holds the failures to come.
// Thread-safe: the test thread scripts, the session calls from the main queue.
class ScriptedScreenSource final : public MovableFrameSource,
                                   public std::enable_shared_from_this<ScriptedScreenSource> {
public:
    struct Move {
        DisplayId displayID = 0;
        std::optional<Rect> sourceRect;
    };
    struct Script {
        std::vector<MovableFrameSource::Options> made;  // in order
        std::vector<Move> moves;
        std::vector<int> frameRates;  // every setFrameRate, in order
        std::optional<SourceError> failNextStart;
        bool refuseMoves = false;
        // Starts wait here, in order, for the test to complete them, instead of completing.
        bool holdStarts = false;
        std::vector<StartCompletion> heldStarts;
        std::weak_ptr<ScriptedScreenSource> latest;
    };
    class Recorder {
    public:
        // Read or change the script under its lock.
        template <class F>
        auto with(F&& fn) {
            std::lock_guard g(m_);
            return fn(script_);
        }
        // The most recent source, if it still exists.
        std::shared_ptr<ScriptedScreenSource> latest() {
            return with([](Script& s) { return s.latest.lock(); });
        }

    private:
        std::mutex m_;
        Script script_;
    };

    // The environment's screen-source factory, recording into `recorder`; each source draws and
    // reports on a queue of `makeQueue`.
    static std::function<std::shared_ptr<MovableFrameSource>(const MovableFrameSource::Options&)> factory(
        std::shared_ptr<Recorder> recorder, std::function<std::shared_ptr<Executor>(const std::string&)> makeQueue);

    // The capture ends on its own with `error` (reported on the source's queue).
    void fail(SourceError error);

    void setOnFrame(FrameHandler handler) override { pattern_->setOnFrame(std::move(handler)); }
    void setOnError(ErrorHandler handler) override;
    void start(StartCompletion completion) override;
    void stop() override;
    void setFrameRate(int fps) override;
    void update(DisplayId displayID, std::optional<Rect> sourceRect, StartCompletion completion) override;

    ScriptedScreenSource(std::shared_ptr<Recorder> recorder, std::shared_ptr<Executor> queue, const Options& options);

private:
    std::shared_ptr<Recorder> recorder_;
    std::shared_ptr<Executor> queue_;
    std::shared_ptr<TestPatternSource> pattern_;
    std::mutex m_;
    ErrorHandler onError_;  // guarded by m_
    bool stopped_ = false;  // guarded by m_
};

}  // namespace kelvo
