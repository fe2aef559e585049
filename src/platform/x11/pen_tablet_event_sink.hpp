#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/input/event_sink.hpp"
#include "core/runtime/executor.hpp"
#include "platform/uinput/pen_device.hpp"
#include "platform/x11/x11_pen_mapping.hpp"
#include "platform/x11/xtest_event_sink.hpp"

namespace kelvo {

// The system sink with a pressure-sensitive pen: pen proximity and pen events go to a pen device
// mapped onto the monitor under the pen, everything else (and pen events the device cannot take)
// to XTest. The modifier keys of a pen event's flags are held through XTest, as for every other
// event. While locked nothing is injected and the pen is lifted; destruction lifts it too.
// A new pen device reaches the X server a moment after it is made; written into before that, the
// stroke would spread over the whole desktop. So from the post that made it, what goes into the
// device and every later post are held, in order, until the server lists the device (it is then
// mapped) or kDeviceWaitUs passed (with a warning). Nothing waits: the next post or a timer on
// `queue` lets them out. Locking drops the held posts; destruction drops them with the device.
// Thread-safe like XTestEventSink. Hold it in a shared_ptr: the timer finds nothing once it is gone.
class PenTabletEventSink final : public EventSink, public std::enable_shared_from_this<PenTabletEventSink> {
public:
    // `pen` makes the pen's devices; `mapping` places the pen's strokes and must not be null;
    // `queue`: where the sink is called (the input queue), whose timer releases held events.
    PenTabletEventSink(std::unique_ptr<XTestEventSink> xtest, PenWriterFactory pen,
                       std::unique_ptr<X11PenMapping> mapping, std::shared_ptr<Executor> queue);
    ~PenTabletEventSink() override;

    void post(const SynthEvent& event, EventFlags flags) override;
    void declareUserActivity() override;
    void setSpoofWacom(bool spoof) override;
    void setLocked(bool locked) override;

    // How long a new pen device may take to reach the X server (udev, then the input driver);
    // events are held that long at most.
    static constexpr uint64_t kDeviceWaitUs = 1'500'000;
    // How often the server is asked for a new device while events are held.
    static constexpr uint64_t kDeviceCheckUs = 10'000;

private:
    class HeldWriter;
    struct HeldPost {
        SynthEvent event;
        EventFlags flags;
    };

    // Called with mutex_ held.
    void inject(const SynthEvent& event, EventFlags flags);
    void newDeviceMade(HeldWriter& device);
    void checkNewDevice();

    std::mutex mutex_;
    bool locked_ = false;
    // The modifier flags XTest holds after our last post through it; unknown after magnify.
    std::optional<EventFlags> heldFlags_;
    std::unique_ptr<XTestEventSink> xtest_;
    std::unique_ptr<X11PenMapping> mapping_;
    std::shared_ptr<Executor> queue_;
    std::unique_ptr<Timer> checkTimer_;
    // The device not listed yet, owned by pen_; null once released.
    HeldWriter* newDevice_ = nullptr;
    uint64_t newDeviceMadeUs_ = 0;
    std::vector<HeldPost> heldPosts_;
    // Last: its device's writer reaches back into the members above when it goes.
    std::unique_ptr<PenDevice> pen_;
};

// The session's system sink for `display` ("" = $DISPLAY), called on `queue`: with a pen where
// `uinputPath` is writable and the server can map the pen onto a monitor (XInput 2, RandR 1.5),
// else XTest alone (pen without pressure). Null when the server cannot be reached or lacks XTest.
std::shared_ptr<EventSink> makeX11EventSink(const std::string& display, std::shared_ptr<Executor> queue,
                                            const std::string& uinputPath = "/dev/uinput");

}  // namespace kelvo
