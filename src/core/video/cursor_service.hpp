#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/util/geometry.hpp"

namespace kelvo {

class Channel;
class CursorSource;

// Lets the tablet draw the pointer itself: sends the pointer's image once per distinct shape
// (cursorShape) and its position within the streamed region whenever it changed (cursorState,
// sampled at most about 120 times a second), and hides it while the tablet is touched. A source
// that announces changes on a descriptor is read when it does (a still pointer costs nothing);
// any other is polled.
//
// Confined to the service's queue ("kv.cursor"): every task checks `stopped_` there. The public
// operations may be called from any thread and hop to it. Lifecycle: make → start() → stop()
// (final; once it returns nothing more is read or sent) → release. Releasing without stop() also
// ends it; the timers and the watch hold the service weakly.
class CursorService : public std::enable_shared_from_this<CursorService> {
public:
    struct Shape {
        uint32_t id = 0;
        std::vector<uint8_t> png;
        Point hot;    // hot spot as a fraction of the image size
        Size sizePt;  // image size in points
    };

    static constexpr uint64_t kTouchHideUs = 1'500'000;
    static constexpr uint64_t kPositionIntervalUs = 8'333;
    static constexpr uint64_t kPositionLeewayUs = 1'000;
    static constexpr uint64_t kShapeIntervalUs = 50'000;
    // With a change descriptor: how often the position is read anyway, for warps, which no
    // motion event announces.
    static constexpr uint64_t kWarpPollUs = 250'000;

    // `region` is the streamed part of the desktop in global display points; `streamWidth` the
    // video's width in pixels (at least 1 is used). Nothing runs before start(). Without a
    // `source` nothing is ever sent.
    static std::shared_ptr<CursorService> make(std::shared_ptr<Channel> channel, Rect region, int streamWidth,
                                               bool hideOnTouch, std::shared_ptr<Executor> queue,
                                               std::shared_ptr<CursorSource> source);
    ~CursorService();
    CursorService(const CursorService&) = delete;
    CursorService& operator=(const CursorService&) = delete;

    // Sends the current shape at once, then follows the source's change descriptor, or without
    // one polls the shape every 50 ms and the position every 8,333 µs. Once only.
    void start();
    // Ends the timers and the watch. Synchronous and final: after it returns nothing is read or
    // sent. From another thread it waits for the queue, which never waits on anyone.
    void stop();
    // A new region and stream width: the shape is sent again under a new id, sized to the region,
    // and the next position is sent whatever the last one was.
    void setRegion(Rect region, int streamWidth);
    void setHideOnTouch(bool hide);
    // A finger went down (true) or all fingers lifted (false).
    void touchActivity(bool touching);
    // Sends the current shape (same id) and the position again.
    void resendAll();

    struct Private;
    CursorService(Private, std::shared_ptr<Channel> channel, Rect region, int streamWidth, bool hideOnTouch,
                  std::shared_ptr<Executor> queue, std::shared_ptr<CursorSource> source);

private:
    struct Sent {
        uint32_t id = 0;
        uint16_t x = 0;
        uint16_t y = 0;
        bool visible = false;
    };

    // Runs `work` on the queue unless the service is gone or stopped by then.
    template <class F>
    void onQueue(F work);
    // A task for a timer or the watch: holds the service weakly and finds it stopped.
    template <class F>
    Task weakly(F work);
    void startPolling();
    bool startWatching();
    void watchChanges();
    bool readChanges();
    void catchUp();
    void stateChanged();
    void samplePosition();
    void updateShape(bool force);
    const Shape* buildShape();
    void positionTick();
    void send(const Sent& state);

    const std::shared_ptr<Channel> channel_;
    const std::shared_ptr<Executor> queue_;
    std::shared_ptr<CursorSource> source_;  // handed to a later task when released mid-watch

    // Everything below is the queue's only.
    bool stopped_ = false;
    bool started_ = false;
    std::unique_ptr<Timer> shapeTimer_;     // polling only
    std::unique_ptr<Timer> positionTimer_;  // polling: the 120 Hz tick; watching: the next sample
    std::unique_ptr<Timer> warpTimer_;      // watching only
    std::unique_ptr<FdWatch> watch_;
    std::optional<uint64_t> lastSampleUs_;  // watching: when the position was last read
    Rect region_;
    int streamWidth_;
    bool hideOnTouch_;
    bool touching_ = false;
    bool touchHidden_ = false;
    uint64_t touchEndUs_ = 0;
    std::optional<Point> lastLocation_;
    std::optional<Sent> lastSent_;
    uint32_t currentShapeId_ = 0;  // 0: no shape sent yet
    std::map<uint64_t, Shape> shapesByFingerprint_;
    std::set<uint32_t> sentShapes_;
    uint32_t nextShapeId_ = 1;
    std::optional<uint64_t> lastSerial_;  // the source's shape serial last looked at
};

}  // namespace kelvo
