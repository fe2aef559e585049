#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/input/event_sink.hpp"
#include "platform/uinput/pen_device.hpp"
#include "platform/x11/x11_pen_mapping.hpp"
#include "platform/x11/xtest_event_sink.hpp"

namespace kelvo {

// The system sink with a pressure-sensitive pen: pen proximity and pen events go to a pen device
// mapped onto the monitor under the pen, everything else (and pen events the device cannot take)
// to XTest. The modifier keys of a pen event's flags are held through XTest, as for every other
// event. While locked nothing is injected and the pen is lifted; destruction lifts it too.
// Thread-safe like XTestEventSink.
class PenTabletEventSink final : public EventSink {
public:
    // `mapping` places the pen's strokes; it must not be null.
    PenTabletEventSink(std::unique_ptr<XTestEventSink> xtest, std::unique_ptr<PenDevice> pen,
                       std::unique_ptr<X11PenMapping> mapping);
    ~PenTabletEventSink() override;

    void post(const SynthEvent& event, EventFlags flags) override;
    void declareUserActivity() override;
    void setSpoofWacom(bool spoof) override;
    void setLocked(bool locked) override;

    // How long a new pen device may take to reach the X server (udev, then the input driver);
    // the stroke that made it waits that long at most.
    static constexpr uint64_t kDeviceWaitUs = 1'500'000;

private:
    std::mutex mutex_;
    bool locked_ = false;
    // The modifier flags XTest holds after our last post through it; unknown after magnify.
    std::optional<EventFlags> heldFlags_;
    std::unique_ptr<XTestEventSink> xtest_;
    std::unique_ptr<PenDevice> pen_;
    std::unique_ptr<X11PenMapping> mapping_;
};

// The session's system sink for `display` ("" = $DISPLAY): with a pen where `uinputPath` is
// writable and the server can map the pen onto a monitor (XInput 2, RandR 1.5), else XTest alone
// (pen without pressure). Null when the server cannot be reached or lacks XTest.
std::shared_ptr<EventSink> makeX11EventSink(const std::string& display, const std::string& uinputPath = "/dev/uinput");

}  // namespace kelvo
