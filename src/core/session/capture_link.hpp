#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/protocol/control_messages.hpp"
#include "core/runtime/executor.hpp"
#include "core/runtime/weak_hop.hpp"
#include "core/session/session_environment.hpp"
#include "core/session/stream_setup.hpp"
#include "core/util/ipad_stats.hpp"
#include "core/util/rect.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

class Channel;
class ClockSync;
class CursorService;
class StatsStore;

// A session's road from the desktop to the tablet while it streams: the video streamer, the frame
// source that feeds it, the cursor service beside it, which source is current (its generation)
// and how often a capture that failed on its own may be restarted.
// Main queue: made, told and stopped there; every completion and report comes there, holding the
// link weakly. The streamer lives on the video queue and is reached by posts. stop() is final:
// after it no completion, error or report of the link reaches its owner.
class CaptureLink : public std::enable_shared_from_this<CaptureLink> {
public:
    // Where the capture reads: a display, a part of it in the display's own points (nullopt: all
    // of it), and whether the pointer is drawn into the picture (taken by new sources only).
    struct Place {
        DisplayId displayID = 0;
        std::optional<Rect> sourceRect;
        bool showsCursor = false;
    };
    using Completion = std::function<void(std::optional<SourceError>)>;

    // What the link is made with; the environment's queues and factories, the session's two
    // channels (the control channel carries the cursor and the policy's toasts) and clock.
    struct Parts {
        SessionEnvironment env;
        std::shared_ptr<Executor> videoQueue;
        std::shared_ptr<Channel> ctrl;
        std::shared_ptr<Channel> video;
        std::shared_ptr<ClockSync> clock;
        StatsStore& stats;  // outlives the link
        bool testPattern = false;  // the test pattern instead of the desktop
    };

    static constexpr uint64_t kRestartDelayUs = 1'000'000;
    // The end reason when the user stopped sharing from the desktop.
    static constexpr std::string_view kUserStoppedSharing = "sharing stopped by user";

    static std::shared_ptr<CaptureLink> make(Parts parts);
    ~CaptureLink();
    CaptureLink(const CaptureLink&) = delete;
    CaptureLink& operator=(const CaptureLink&) = delete;

    // Makes the streamer and starts it on the video queue, waiting for it; `install` then runs
    // there with it. On failure nothing runs and the error is returned. Call once.
    std::optional<EncoderError> start(const VideoStreamer::Config& config,
                                      std::function<void(const std::shared_ptr<VideoStreamer>&)> install);

    // Replaces the cursor service: a new one over `region` when `wanted` and the desktop has a
    // cursor source, else none.
    void startCursor(bool wanted, const Rect& region, bool hideOnTouch);
    void setCursorRegion(const Rect& region);
    void setHideCursorOnTouch(bool hide);
    void touchActivity(bool active);

    // Replaces the frame source by a new one at `place`. `done` reports its start, unless a newer
    // source replaced it first (then that one's start reports).
    void startSource(const Place& place, Completion done);
    // Moves the current source in place, or replaces it where it cannot move; `done` as above.
    void switchSource(const Place& place, Completion done);
    // A new source at place() now: its failure ends ("capture restart failed: …"), its start
    // asks for a key frame.
    void restart();
    // The current source to place() again (its display moved or changed size); a failure counts
    // as a capture that failed on its own.
    void follow();

    // The streamer's commands, posted to the video queue.
    void pause(StreamStopReason stopReason);
    void resume();
    void reconfigure(const VideoStreamer::Config& config);
    void requestKeyframe();
    void updateDeviceStatus(DeviceStatusMsg status);
    void updateIPadStats(IPadStats stats);

    // Final and idempotent: the cursor service and the source stop now, a pending restart is
    // dropped, and the streamer stops with `stopReason` on the video queue (before anything
    // posted there after this call).
    void stop(StreamStopReason stopReason);

    // Where restarts and follows capture. Set before start.
    std::function<Place()> place;
    // The capture cannot go on (the user stopped or declined it, restarts are spent or failed):
    // the owner ends with this reason and bye word.
    std::function<void(const std::string& reason, const std::string& byeWord)> onEnd;

    struct Private;
    CaptureLink(Private, Parts parts);

private:
    WeakHop<CaptureLink> hop() { return {weak_from_this(), env_.main}; }
    void failed(const SourceError& error);  // the current source ended on its own
    void end(const std::string& reason, const std::string& byeWord);

    const SessionEnvironment env_;
    const std::shared_ptr<Executor> videoQueue_;
    const std::shared_ptr<Channel> ctrl_;
    const std::shared_ptr<Channel> video_;
    const std::shared_ptr<ClockSync> clock_;
    StatsStore& stats_;
    const bool testPattern_;

    std::shared_ptr<VideoStreamer> streamer_;
    VideoStreamer::Config config_;  // as the streamer was made (its size never changes)
    int fps_ = 0;                   // the streamer's rate cap, followed here
    std::shared_ptr<FrameSource> source_;
    uint64_t generation_ = 0;  // of source_: reports of replaced sources are stale
    std::shared_ptr<CursorService> cursor_;
    CaptureRestartBudget restarts_;
    std::unique_ptr<Timer> restartTimer_;
    bool stopped_ = false;
};

}  // namespace kelvo
