#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display/display_services.hpp"
#include "core/runtime/executor.hpp"
#include "core/settings/settings_enums.hpp"
#include "core/util/rect.hpp"

namespace kelvo {

// One window of the desktop's window list, as the front-window search sees it.
struct DesktopWindow {
    // Who owns the window; the front application's windows share one owner text.
    std::string owner;
    // 0 for normal application windows; docks, panels, menus and floating windows are other layers.
    int layer = 0;
    // Global display points.
    Rect bounds;
    friend bool operator==(const DesktopWindow&, const DesktopWindow&) = default;
};

// Works out the region of a display that the tablet is mapped onto when it serves as a graphics
// tablet: the whole display, a custom rectangle or the front application's window, always with the
// tablet's aspect ratio, in global display points. Follows the front window while it moves.
//
// Main queue only: construction, start, refresh, stop and every onRegionChange call. The display
// services and the front-window provider must outlive it; destruction stops it.
class TabletMappingController {
public:
    // The front application's front window in global display points; absent when there is none.
    using FrontWindowProvider = std::function<std::optional<Rect>()>;

    // How often the front window is looked up while the front-window area is mapped.
    static constexpr uint64_t frontWindowIntervalUs = 500'000;
    // Windows (and window-display overlaps) smaller than this in either direction do not count.
    static constexpr double minimumWindowSide = 100;

    // `aspect`: the tablet's width ÷ height. The target display starts as the main display.
    TabletMappingController(double aspect, std::shared_ptr<Executor> main, std::shared_ptr<DisplayServices> displays,
                            FrontWindowProvider frontWindow);
    ~TabletMappingController();
    TabletMappingController(const TabletMappingController&) = delete;
    TabletMappingController& operator=(const TabletMappingController&) = delete;

    // Maps `area` (a custom area uses `customRect`, global points, or the whole display when
    // absent) on `preferredDisplayID` (0: the main display). Refreshes at once; the front-window
    // area is refreshed every half second after that. A second start replaces the first.
    void start(TabletMappingArea area, std::optional<Rect> customRect, DisplayId preferredDisplayID);
    // Recomputes region and display and reports them when either changed. Call it when the
    // displays are reconfigured.
    void refresh();
    // Ends the periodic refresh. Idempotent.
    void stop();

    // Integral, global display points; zero until the first refresh.
    Rect region() const { return region_; }
    DisplayId targetDisplayID() const { return targetDisplayID_; }

    // Called with the new region and its display after a change. A region of zero width is kept
    // but not reported.
    std::function<void(const Rect& region, DisplayId display)> onRegionChange;

    // The largest rectangle of `aspect` centred in `r`; `r` itself when it is empty or the aspect
    // is not positive.
    static Rect inscribed(double aspect, const Rect& r);
    // The first window of `owner` on layer 0 at least 100 × 100, from a list ordered front to back.
    static std::optional<Rect> frontWindow(const std::vector<DesktopWindow>& frontToBack, const std::string& owner);

private:
    DisplayId resolveDisplayID(const std::optional<Rect>& window) const;

    double aspect_;
    std::shared_ptr<Executor> main_;
    std::shared_ptr<DisplayServices> displays_;
    FrontWindowProvider frontWindow_;
    std::unique_ptr<Timer> timer_;
    TabletMappingArea area_ = TabletMappingArea::fullScreen;
    std::optional<Rect> customRect_;
    DisplayId preferredDisplayID_ = 0;
    Rect region_;
    DisplayId targetDisplayID_ = 0;
};

}  // namespace kelvo
