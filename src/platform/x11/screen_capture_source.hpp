#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/display/display_services.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/rect.hpp"
#include "core/video/movable_frame_source.hpp"

namespace kelvo {

class ScreenGrabber;
class PixelBufferPool;

// A FrameSource that captures one display of an X screen as NV12 (BT.709, video range) at the
// output size, at most `fps` frames a second. A frame is delivered only when something was drawn
// on the screen since the last one. Frames come on the source's own queue "kv.capture"; display
// lookups, start and update completions on "kv.capture.control". Made through make().
class ScreenCaptureSource final : public MovableFrameSource, public std::enable_shared_from_this<ScreenCaptureSource> {
public:
    // fps 0 or less counts as 1; sourceRect is a part of the display in its own points.
    using Options = MovableFrameSource::Options;

    // Where the source finds its screen and displays.
    struct Environment {
        std::string xDisplay;  // "" uses $DISPLAY
        // The display's rectangle on the X screen, or nullopt while it is not (yet) there.
        std::function<std::optional<Rect>(DisplayId)> displayBounds;
        uint64_t lookupDelayUs = 100'000;  // between two of the 20 lookups
        bool sharedMemory = true;          // false: plain GetImage reads only
        // Makes the two queues by label; nullptr: queues on the shared pool.
        std::function<std::shared_ptr<Executor>(const std::string& label)> makeQueue = nullptr;
    };
    static constexpr int kLookups = 20;

    // Display bounds as a display service sees them.
    static std::function<std::optional<Rect>(DisplayId)> boundsFrom(std::shared_ptr<DisplayServices> services);
    // "display <id> did not appear on the X screen", the text a failed lookup reports.
    static SourceError displayNotFound(DisplayId id);

    static std::shared_ptr<ScreenCaptureSource> make(Options options, Environment environment);
    ~ScreenCaptureSource() override;  // stops

    void setOnFrame(FrameHandler handler) override;
    void setOnError(ErrorHandler handler) override;
    // At most once; a second start reports an error. A stop() before the start completes makes
    // it report "stopped" and keep nothing.
    void start(StartCompletion completion) override;
    // Final, any thread. Once it returns no frame and no error is delivered: from elsewhere it
    // waits for "kv.capture" to finish what it hands out; from a frame handler the running
    // frame is the last.
    void stop() override;
    void setFrameRate(int fps) override;
    // Moves a running capture to another display and/or source rectangle (nullopt: the whole
    // display). Without a running capture it fails at once, on the calling thread.
    void update(DisplayId displayID, std::optional<Rect> sourceRect, StartCompletion completion) override;

    Options options() const;

    struct Private;
    ScreenCaptureSource(Private, Options options, Environment environment);

private:
    struct Capture;  // kv.capture only
    struct Lookup;
    using Found = std::function<void(std::optional<Rect> bounds)>;

    void findDisplay(DisplayId id, int attempt, Found found);  // on control_
    void finishStart(Rect bounds, const StartCompletion& done);  // on control_
    void applyRegion(DisplayId id, Rect bounds, std::optional<Rect> sourceRect, const StartCompletion& done);
    // Without the pointer in the picture, frames follow the drawing: each is read once the screen
    // is still after the notice of a drawing (see kStillUs), about one a frame period at most (see
    // kCatchUp), and nothing wakes while nothing is drawn. A tick on a clock of its own would meet the drawing
    // at a phase that is chance: half a frame late on average, now and then in the middle of a
    // drawing, or twice on one picture and never on the next. With the pointer drawn in (its
    // motion damages nothing) frames come on a plain tick.
    void onDrawn();                               // on queue_
    void scheduleFrame(uint64_t delayUs);         // on queue_
    void followingTick();                         // on queue_
    void scheduleTicks(uint64_t firstDelayUs);    // on queue_
    void arm();   // on queue_
    // Reads and hands out a frame if something was drawn (or the region changed). False when it
    // dropped the frame because the screen was drawn on meanwhile and `dropIfDrawnOn` asked so.
    bool tick(bool dropIfDrawnOn);  // on queue_
    void endOnItsOwn(const SourceError& error);  // on queue_
    bool isStopped() const;
    bool halt();  // marks it stopped; false if it already was

    Environment env_;
    std::shared_ptr<Executor> queue_;    // "kv.capture": frames
    std::shared_ptr<Executor> control_;  // lookups and completions: never blocks the frames
    std::map<uint64_t, std::shared_ptr<Lookup>> lookups_;  // control_ only
    uint64_t lookupSerial_ = 0;                                         // control_ only

    mutable std::mutex m_;  // never held while calling out
    Options options_;          // guarded by m_
    bool started_ = false;     // guarded by m_
    bool capturing_ = false;   // guarded by m_
    bool stopped_ = false;     // guarded by m_; checked on "kv.capture" before each handout
    FrameHandler onFrame_;     // guarded by m_
    ErrorHandler onError_;     // guarded by m_
    Rect bounds_;              // guarded by m_; the display's rectangle on the screen
    uint64_t region_ = 0;      // guarded by m_; moves on with every change of what is read

    std::unique_ptr<Capture> capture_;  // queue_ only
};

}  // namespace kelvo
