#include "core/input/tablet_mapping_controller.hpp"

#include <algorithm>
#include <cmath>

#include "core/display/display_configurator.hpp"

namespace kelvo {

namespace {

bool contains(const Rect& r, double x, double y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

// Empty (zero size) when the two do not overlap.
Rect intersection(const Rect& a, const Rect& b) {
    double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    double x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

// Origin rounded down, far edges rounded up, so the integral rectangle covers the given one.
Rect integral(const Rect& r) {
    double x0 = std::floor(r.x), y0 = std::floor(r.y);
    return {x0, y0, std::ceil(r.x + r.width) - x0, std::ceil(r.y + r.height) - y0};
}

bool atLeastMinimum(const Rect& r) {
    return r.width >= TabletMappingController::minimumWindowSide && r.height >= TabletMappingController::minimumWindowSide;
}

}  // namespace

TabletMappingController::TabletMappingController(double aspect, std::shared_ptr<Executor> main,
                                                 std::shared_ptr<DisplayServices> displays,
                                                 FrontWindowProvider frontWindow)
    : aspect_(aspect),
      main_(std::move(main)),
      displays_(std::move(displays)),
      frontWindow_(std::move(frontWindow)),
      targetDisplayID_(displays_ ? displays_->mainDisplay() : 0) {}

TabletMappingController::~TabletMappingController() { stop(); }

void TabletMappingController::start(TabletMappingArea area, std::optional<Rect> customRect, DisplayId preferredDisplayID) {
    area_ = area;
    customRect_ = customRect;
    preferredDisplayID_ = preferredDisplayID;
    refresh();
    stop();
    if (area != TabletMappingArea::frontWindow) return;
    timer_ = main_->makeTimer();
    // The timer is ours and cancelled on this queue, so it never runs after we are gone.
    timer_->scheduleRepeating(frontWindowIntervalUs, [this] { refresh(); });
}

void TabletMappingController::stop() {
    if (timer_) timer_->cancel();
    timer_.reset();
}

DisplayId TabletMappingController::resolveDisplayID(const std::optional<Rect>& window) const {
    DisplayConfigurator displays(*displays_);
    if (area_ == TabletMappingArea::frontWindow && window) {
        double cx = window->x + window->width / 2, cy = window->y + window->height / 2;
        for (DisplayId id : displays.onlineDisplays()) {
            if (contains(displays.bounds(id), cx, cy)) return id;
        }
    }
    if (preferredDisplayID_ == 0) return displays.mainDisplay();
    auto online = displays.onlineDisplays();
    if (std::find(online.begin(), online.end(), preferredDisplayID_) != online.end()) return preferredDisplayID_;
    return displays.mainDisplay();
}

void TabletMappingController::refresh() {
    std::optional<Rect> window;
    if (area_ == TabletMappingArea::frontWindow && frontWindow_) window = frontWindow_();
    DisplayId display = resolveDisplayID(window);
    Rect bounds = DisplayConfigurator(*displays_).bounds(display);

    Rect mapped = bounds;
    if (area_ == TabletMappingArea::custom && customRect_) {
        mapped = *customRect_;
    } else if (area_ == TabletMappingArea::frontWindow && window) {
        // A window mostly off its display is mapped whole rather than as a sliver.
        Rect overlap = intersection(*window, bounds);
        mapped = atLeastMinimum(overlap) ? overlap : *window;
    }

    Rect next = integral(inscribed(aspect_, mapped));
    bool same = next == region_ && display == targetDisplayID_;
    region_ = next;
    targetDisplayID_ = display;
    if (same || next.width <= 0) return;
    if (onRegionChange) onRegionChange(region_, targetDisplayID_);
}

Rect TabletMappingController::inscribed(double aspect, const Rect& r) {
    if (!(r.width > 0 && r.height > 0 && aspect > 0)) return r;
    double width = r.width, height = r.height;
    if (aspect < r.width / r.height) {
        width = aspect * r.height;
    } else {
        height = r.width / aspect;
    }
    return {r.x + (r.width - width) / 2, r.y + (r.height - height) / 2, width, height};
}

std::optional<Rect> TabletMappingController::frontWindow(const std::vector<DesktopWindow>& frontToBack,
                                                         const std::string& owner) {
    for (const auto& w : frontToBack) {
        if (w.owner == owner && w.layer == 0 && atLeastMinimum(w.bounds)) return w.bounds;
    }
    return std::nullopt;
}

}  // namespace kelvo
