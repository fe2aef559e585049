#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/util/expected.hpp"
#include "core/util/rect.hpp"
#include "core/util/uuid.hpp"

// What the display layer needs of the desktop's display server: the online displays with their
// modes and geometry, transactional mode and mirroring changes, change notifications, and
// virtual displays. The X11 RandR backend and the simulated server of the tests implement it.
namespace kelvo {

using DisplayId = uint32_t;

// One mode a display can take. Sizes in points and in pixels: a HiDPI mode has twice as many
// pixels as points in each direction.
struct DisplayMode {
    double width = 0;  // points
    double height = 0;
    double pixelWidth = 0;
    double pixelHeight = 0;
    double refreshHz = 0;
    bool usableForDesktop = true;
    // The backend's handle of the mode; only meaningful to the backend that listed it.
    uint64_t handle = 0;
    bool operator==(const DisplayMode&) const = default;
};

// Change summary bits of a reconfiguration notification.
namespace DisplayChange {
inline constexpr uint32_t beginConfiguration = 1u << 0;  // announced before the change; no details yet
inline constexpr uint32_t moved = 1u << 1;
inline constexpr uint32_t setMain = 1u << 2;
inline constexpr uint32_t setMode = 1u << 3;
inline constexpr uint32_t added = 1u << 4;
inline constexpr uint32_t removed = 1u << 5;
inline constexpr uint32_t mirror = 1u << 10;
inline constexpr uint32_t unmirror = 1u << 11;
}  // namespace DisplayChange

// Result code of a configuration step: 0 is success, anything else the backend's failure code.
inline constexpr int32_t kDisplayConfigSuccess = 0;

// One open configuration. Changes take effect when complete() succeeds; destroying it
// without completing cancels it.
class DisplayConfiguration {
public:
    virtual ~DisplayConfiguration() = default;
    // `mode` must be one that modes() listed for `display`.
    virtual int32_t configureMode(DisplayId display, const DisplayMode& mode) = 0;
    // `master` 0 ends mirroring.
    virtual int32_t configureMirror(DisplayId display, DisplayId master) = 0;
    // Applies the changes for good (they survive the session of the caller).
    virtual int32_t complete() = 0;
    virtual void cancel() = 0;
};

// Called with the display and the DisplayChange bits. May run on any thread (the backend's).
using DisplayReconfigurationCallback = std::function<void(DisplayId display, uint32_t flags)>;

// Listing calls never fail: an unknown display gives an empty or neutral answer.
// Thread-safe.
class DisplayServices {
public:
    virtual ~DisplayServices() = default;

    // In the server's order; empty when it cannot be asked.
    virtual std::vector<DisplayId> onlineDisplays() = 0;
    // Every mode of the display, low-resolution duplicates included.
    virtual std::vector<DisplayMode> modes(DisplayId display) = 0;
    virtual std::optional<DisplayMode> currentMode(DisplayId display) = 0;
    // In global desktop coordinates; empty when the display is not online.
    virtual Rect bounds(DisplayId display) = 0;
    // 0 when there are no displays.
    virtual DisplayId mainDisplay() = 0;
    virtual bool isBuiltin(DisplayId display) = 0;
    // The display that `display` mirrors, or 0.
    virtual DisplayId mirrorMaster(DisplayId display) = 0;
    // The name the desktop shows for the display's screen; absent when it has none.
    virtual std::optional<std::string> screenName(DisplayId display) = 0;

    // Opens a configuration, or gives the failure code.
    virtual Expected<std::unique_ptr<DisplayConfiguration>, int32_t> beginConfiguration() = 0;

    // Registers a callback for every display change. Once removeReconfigurationCallback()
    // returns, the callback is not running on any thread and is never called again.
    virtual Uuid addReconfigurationCallback(DisplayReconfigurationCallback callback) = 0;
    virtual void removeReconfigurationCallback(const Uuid& id) = 0;
};

// What a new virtual display is made with.
struct VirtualDisplayDescriptor {
    std::string name;
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    uint32_t serialNumber = 0;
    uint32_t maxPixelsWide = 0;
    uint32_t maxPixelsHigh = 0;
    SizeD sizeInMillimeters;
    // Where terminationHandler runs.
    std::shared_ptr<Executor> queue;
    // Called (on `queue`) when the server removes the display on its own.
    std::function<void()> terminationHandler;
};

// One mode size of a virtual display, in the unit the caller chose (see virtualDisplayModes).
struct VirtualDisplayModeSize {
    uint32_t width = 0;
    uint32_t height = 0;
    double refreshHz = 0;
    bool operator==(const VirtualDisplayModeSize&) const = default;
};

struct VirtualDisplaySettings {
    bool hiDPI = false;
    std::vector<VirtualDisplayModeSize> modes;
};

// A virtual display of the server. Destroying it removes the display.
class PlatformVirtualDisplay {
public:
    virtual ~PlatformVirtualDisplay() = default;
    virtual DisplayId displayID() const = 0;
    // Replaces the display's modes and switches it to the first; false when refused.
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
};

class VirtualDisplayFactory {
public:
    virtual ~VirtualDisplayFactory() = default;
    // Whether this server can make virtual displays at all.
    virtual bool isAvailable() = 0;
    // Null when the server refuses. A display with id 0 may come back; callers treat it as refused.
    virtual std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) = 0;
};

// The modes a virtual display offers for `settings`, in order: for each size, with hiDPI the
// mode of that many points at twice the pixels, then (with or without hiDPI) the mode of that
// many points at as many pixels. Modes larger than the maximum pixel size are left out.
// Shared by the backends so both list the same modes.
std::vector<DisplayMode> virtualDisplayModes(const VirtualDisplaySettings& settings, uint32_t maxPixelsWide,
                                             uint32_t maxPixelsHigh);

}  // namespace kelvo
