#include "testing/scripted_screen_source.hpp"

namespace kelvo {

std::function<std::shared_ptr<MovableFrameSource>(const MovableFrameSource::Options&)> ScriptedScreenSource::factory(
    std::shared_ptr<Recorder> recorder, std::function<std::shared_ptr<Executor>(const std::string&)> makeQueue) {
    return [recorder, makeQueue](const Options& options) -> std::shared_ptr<MovableFrameSource> {
        auto source = std::make_shared<ScriptedScreenSource>(recorder, makeQueue("kv.capture"), options);
        recorder->with([&](Script& s) {
            s.made.push_back(options);
            s.latest = source;
        });
        return source;
    };
}

ScriptedScreenSource::ScriptedScreenSource(std::shared_ptr<Recorder> recorder, std::shared_ptr<Executor> queue,
                                           const Options& options)
    : recorder_(std::move(recorder)),
      queue_(std::move(queue)),
      pattern_(TestPatternSource::make(queue_, options.width, options.height, options.fps)) {}

void ScriptedScreenSource::setOnError(ErrorHandler handler) {
    std::lock_guard g(m_);
    onError_ = std::move(handler);
}

void ScriptedScreenSource::start(StartCompletion completion) {
    bool held = recorder_->with([&](Script& s) {
        if (s.holdStarts) s.heldStarts.push_back(completion);
        return s.holdStarts;
    });
    if (held) return;
    auto failure = recorder_->with([](Script& s) { return std::exchange(s.failNextStart, std::nullopt); });
    if (failure) {
        queue_->post([completion, failure] { completion(failure); });
        return;
    }
    pattern_->start(std::move(completion));
}

void ScriptedScreenSource::stop() {
    {
        std::lock_guard g(m_);
        stopped_ = true;
        onError_ = nullptr;
    }
    pattern_->stop();
}

void ScriptedScreenSource::setFrameRate(int fps) {
    recorder_->with([fps](Script& s) { s.frameRates.push_back(fps); });
    pattern_->setFrameRate(fps);
}

void ScriptedScreenSource::fail(SourceError error) {
    queue_->post([weak = weak_from_this(), error] {
        auto self = weak.lock();
        if (!self) return;
        ErrorHandler handler;
        {
            std::lock_guard g(self->m_);
            if (self->stopped_) return;
            handler = self->onError_;
        }
        self->pattern_->stop();
        if (handler) handler(error);
    });
}

void ScriptedScreenSource::update(DisplayId displayID, std::optional<Rect> sourceRect, StartCompletion completion) {
    bool refuse = recorder_->with([&](Script& s) {
        if (!s.refuseMoves) s.moves.push_back({displayID, sourceRect});
        return s.refuseMoves;
    });
    queue_->post([completion, refuse] {
        completion(refuse ? std::optional<SourceError>(SourceError{"cannot move"}) : std::nullopt);
    });
}

}  // namespace kelvo
