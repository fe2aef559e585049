#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/display/display_error.hpp"
#include "core/display/display_mode_catalog.hpp"
#include "core/display/display_services.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/rect.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

// One mode of a display as the configurator shows and compares it.
struct DisplayModeInfo {
    DisplayMode mode;

    SizeD pointSize() const { return {mode.width, mode.height}; }
    bool isHiDPI() const { return mode.pixelWidth > mode.width; }
    // "1024×768 pt  2048×1536 px  @60Hz  HiDPI", with "  (不可用于桌面)" for modes the desktop
    // cannot use.
    std::string description() const;
};

// A display's mode as saved before a virtual display is added.
struct SavedDisplayMode {
    int64_t width = 0;  // points
    int64_t height = 0;
    int64_t pixelWidth = 0;
    int64_t pixelHeight = 0;
    double hz = 0;
    bool operator==(const SavedDisplayMode&) const = default;
};
using DisplayModeSnapshot = std::map<DisplayId, SavedDisplayMode>;

// A display offered as a tablet-mapping target.
struct MappingDisplayInfo {
    DisplayId id = 0;
    std::string title;
    bool operator==(const MappingDisplayInfo&) const = default;
};

// A thin layer over the display server: lists displays and modes, switches a display to a
// HiDPI mode, snapshots and restores other displays' modes, mirrors, and names displays.
// Holds no state of its own beyond the server, which must outlive it. Main thread.
class DisplayConfigurator {
public:
    explicit DisplayConfigurator(DisplayServices& services) : services_(services) {}

    std::vector<DisplayId> onlineDisplays() const;
    // All modes, duplicates included; empty when the server gives none.
    std::vector<DisplayModeInfo> modes(DisplayId display) const;
    std::optional<DisplayModeInfo> currentMode(DisplayId display) const;
    Rect bounds(DisplayId display) const;
    DisplayId mainDisplay() const;

    // Switches the display to the first desktop-usable mode of exactly the wanted points and
    // pixels; nothing when it is in that mode already. Failures: modeNotFound (the mode is not
    // listed yet) or configureFailed with the server's code (-1 when no configuration opened).
    std::optional<DisplayError> apply(const DisplayModeSpec& wanted, DisplayId display) const;

    // The current modes of every online display not in `excluding`.
    DisplayModeSnapshot snapshotModes(const std::set<DisplayId>& excluding) const;
    // Puts back every display whose mode differs from the snapshot, in one configuration, and
    // logs each. Returns the displays put back.
    std::vector<DisplayId> restoreModes(const DisplayModeSnapshot& snapshot) const;

    // Makes `display` mirror `master`; no master ends mirroring. A failure changes nothing.
    void setMirroring(DisplayId display, std::optional<DisplayId> master) const;
    bool isMirrored(DisplayId display) const;

    // "主屏（7）", "内建显示器（7）" or "显示器 7".
    std::string name(DisplayId display) const;
    // Displays a tablet can map to, in order: not `excluding` (0 excludes none), not mirrors,
    // not empty, not one of our own virtual displays.
    std::vector<MappingDisplayInfo> mappingDisplays(DisplayId excluding) const;

private:
    DisplayServices& services_;
};

// Forwards display changes to a handler on the main queue. Begin-of-configuration notices are
// dropped. Made and destroyed on the main queue; once the destructor returns the handler is
// never called again, even for a notification already on its way. `services` must outlive it.
class DisplayReconfigurationObserver {
public:
    using Handler = std::function<void(DisplayId display, uint32_t flags)>;

    DisplayReconfigurationObserver(DisplayServices& services, std::shared_ptr<Executor> mainQueue, Handler handler);
    ~DisplayReconfigurationObserver();
    DisplayReconfigurationObserver(const DisplayReconfigurationObserver&) = delete;
    DisplayReconfigurationObserver& operator=(const DisplayReconfigurationObserver&) = delete;

    struct State;

private:
    DisplayServices& services_;
    std::shared_ptr<State> state_;
    Uuid registration_;
};

}  // namespace kelvo
