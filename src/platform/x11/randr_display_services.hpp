#pragma once

#include <memory>
#include <string>

#include "core/display/display_services.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// Displays of an X server through RandR 1.5. A display is a RandR monitor: its id is the
// monitor's name atom, the main display is the primary monitor, bounds are the monitor's
// geometry in root-window pixels. Modes come from the monitor's first output (one pixel per
// point). A virtual display is placed to the right of the others; the screen grows to hold it
// (within the server's size range) and shrinks back once the last one is gone. It takes a
// disconnected output with a free crtc when the server has one, showing a mode made for it (the
// output's own monitor, named after the output, is the display), so the pointer can enter it.
// Otherwise it is a monitor without outputs, which the pointer cannot enter (logged once).
// Its modes are ours to keep and count two pixels per point for HiDPI modes.
//
// Change notifications come from RandR events and from a rescan every half second (monitor
// changes by other clients send no event); they run on the backend's own thread
// "kv.x11.randr", or on the caller's thread right after a change made through this object.
// A virtual display whose monitor disappears without our doing is reported terminated.
// Thread-safe. Destruction joins the thread; virtual displays still alive keep the
// connection open until they are released.
class RandrDisplayServices final : public DisplayServices, public VirtualDisplayFactory {
public:
    // Connects to `display` ("" uses $DISPLAY). Fails with a reason when the server cannot be
    // reached. A server without RandR 1.5 connects, lists nothing and makes no virtual displays.
    static Expected<std::unique_ptr<RandrDisplayServices>, std::string> connect(const std::string& display);
    ~RandrDisplayServices() override;

    // DisplayServices
    std::vector<DisplayId> onlineDisplays() override;
    std::vector<DisplayMode> modes(DisplayId display) override;
    std::optional<DisplayMode> currentMode(DisplayId display) override;
    Rect bounds(DisplayId display) override;
    DisplayId mainDisplay() override;
    bool isBuiltin(DisplayId display) override;
    DisplayId mirrorMaster(DisplayId display) override;
    std::optional<std::string> screenName(DisplayId display) override;
    Expected<std::unique_ptr<DisplayConfiguration>, int32_t> beginConfiguration() override;
    Uuid addReconfigurationCallback(DisplayReconfigurationCallback callback) override;
    void removeReconfigurationCallback(const Uuid& id) override;

    // VirtualDisplayFactory: unavailable without RandR 1.5; creation fails (and logs why) when
    // the screen cannot grow enough for the largest size.
    bool isAvailable() override;
    std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) override;

    struct Impl;
    explicit RandrDisplayServices(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace kelvo
