#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/display/display_services.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/rect.hpp"
#include "core/video/movable_frame_source.hpp"
#include "core/video/stream_encoder.hpp"

namespace kelvo {

class CursorSource;
class DisplayBroker;
class EventSink;
class FrontAppObserver;
class Permissions;
class PowerObserver;
class ServiceBrowser;

// What a session and the session manager take from the host beyond the shared stores: queues, the
// display road, capture, input injection and the desktop. The application fills it with the
// desktop's backends; tests fill it with fakes. Every member is shared by all sessions of a host.
struct SessionEnvironment {
    std::shared_ptr<Executor> main;
    // A new serial queue with the given label ("kv.s.ctrl", "kv.s.video", "kv.input", "kv.cursor").
    std::function<std::shared_ptr<Executor>(const std::string& label)> makeQueue;

    std::shared_ptr<DisplayServices> displayServices;
    std::shared_ptr<DisplayBroker> displays;
    std::shared_ptr<PowerObserver> power;
    std::shared_ptr<Permissions> permissions;

    // The screen source for the given place; absent when the desktop cannot be captured at all.
    std::function<std::shared_ptr<MovableFrameSource>(const MovableFrameSource::Options&)> makeScreenSource;
    // The sink that posts to the desktop, called on `queue` (the input queue, for its timers);
    // null when the desktop cannot be reached (input is then logged only).
    std::function<std::shared_ptr<EventSink>(const std::shared_ptr<Executor>& queue)> makeEventSink;
    // Follows the front application; null where the desktop cannot tell.
    std::function<std::unique_ptr<FrontAppObserver>()> makeFrontAppObserver;
    // The front application's front window in global display points, for tablet mapping; absent
    // when there is none.
    std::function<std::optional<Rect>()> frontWindowBounds;
    // The desktop's cursor shape and position, for the cursor service; null where it cannot be read.
    std::function<std::shared_ptr<CursorSource>()> makeCursorSource;
    // The video encoders of the streamer and the decode probe; empty: x264.
    EncoderFactory makeEncoder;
    // The decode probe's time-outs (a rung's encoding, the tablet's answer) as a multiple of its
    // own: a probe encoded under the sanitizers on a shared core needs many times a user's.
    double probePatience = 1.0;

    // The session manager's discovery: the USB multiplexing daemon's socket and the backend of the
    // wireless service browser (null: no Wi-Fi discovery), which the manager stops on the main
    // queue before it lets go of it.
    std::string usbmuxSocketPath = "/var/run/usbmuxd";
    // Whether the daemon is installed, asked on the USB client's thread; empty: looked for on disk.
    std::function<bool()> usbmuxdInstalled;
    std::function<std::shared_ptr<ServiceBrowser>()> makeServiceBrowser;
};

}  // namespace kelvo
