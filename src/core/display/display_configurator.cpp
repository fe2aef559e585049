#include "core/display/display_configurator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/display/display_source.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {

// Whole part of a size or rate from the server, safe for any double.
int64_t whole(double v) {
    if (!std::isfinite(v)) return 0;
    constexpr double kLimit = 9.0e18;
    return static_cast<int64_t>(std::clamp(v, -kLimit, kLimit));
}

// Nearest whole rate, halves away from zero, so 59.94 Hz and 60 Hz count as one rate.
int64_t roundedHz(double hz) { return whole(std::round(hz)); }

std::string num(int64_t v) { return std::to_string(v); }

}  // namespace

std::string DisplayModeInfo::description() const {
    std::string s = num(whole(mode.width)) + "×" + num(whole(mode.height)) + " pt  " + num(whole(mode.pixelWidth)) +
                    "×" + num(whole(mode.pixelHeight)) + " px  @" + num(whole(mode.refreshHz)) + "Hz";
    if (isHiDPI()) s += "  HiDPI";
    if (!mode.usableForDesktop) s += "  (不可用于桌面)";
    return s;
}

std::vector<DisplayId> DisplayConfigurator::onlineDisplays() const { return services_.onlineDisplays(); }

std::vector<DisplayModeInfo> DisplayConfigurator::modes(DisplayId display) const {
    std::vector<DisplayModeInfo> out;
    for (auto& m : services_.modes(display)) out.push_back({m});
    return out;
}

std::optional<DisplayModeInfo> DisplayConfigurator::currentMode(DisplayId display) const {
    auto m = services_.currentMode(display);
    if (!m) return std::nullopt;
    return DisplayModeInfo{*m};
}

Rect DisplayConfigurator::bounds(DisplayId display) const { return services_.bounds(display); }
DisplayId DisplayConfigurator::mainDisplay() const { return services_.mainDisplay(); }

std::optional<DisplayError> DisplayConfigurator::apply(const DisplayModeSpec& wanted, DisplayId display) const {
    auto matches = [&](const DisplayMode& m) {
        return whole(m.width) == wanted.pointWidth && whole(m.height) == wanted.pointHeight &&
               whole(m.pixelWidth) == wanted.pixelWidth() && whole(m.pixelHeight) == wanted.pixelHeight();
    };
    // Heights count too: two presets may share a width in the other orientation.
    if (auto current = services_.currentMode(display); current && matches(*current)) return std::nullopt;

    auto all = services_.modes(display);
    auto it = std::find_if(all.begin(), all.end(), [&](const DisplayMode& m) { return matches(m) && m.usableForDesktop; });
    if (it == all.end()) return DisplayError::modeNotFound(wanted.description());

    auto config = services_.beginConfiguration();
    if (!config) return DisplayError::configureFailed(-1);
    if (int32_t rc = config.value()->configureMode(display, *it); rc != kDisplayConfigSuccess) {
        config.value()->cancel();
        return DisplayError::configureFailed(rc);
    }
    if (int32_t rc = config.value()->complete(); rc != kDisplayConfigSuccess) return DisplayError::configureFailed(rc);
    Log::i("display", "display " + std::to_string(display) + " → " + wanted.description());
    return std::nullopt;
}

DisplayModeSnapshot DisplayConfigurator::snapshotModes(const std::set<DisplayId>& excluding) const {
    DisplayModeSnapshot out;
    for (DisplayId id : services_.onlineDisplays()) {
        if (excluding.count(id)) continue;
        auto m = services_.currentMode(id);
        if (!m) continue;
        out[id] = SavedDisplayMode{whole(m->width), whole(m->height), whole(m->pixelWidth), whole(m->pixelHeight),
                                   m->refreshHz};
    }
    return out;
}

std::vector<DisplayId> DisplayConfigurator::restoreModes(const DisplayModeSnapshot& snapshot) const {
    std::unique_ptr<DisplayConfiguration> config;
    std::vector<DisplayId> restored;
    for (const auto& entry : snapshot) {
        DisplayId id = entry.first;
        const SavedDisplayMode& saved = entry.second;  // named, not bound: the lambda below needs it
        auto current = services_.currentMode(id);
        if (!current) continue;
        if (whole(current->width) == saved.width && whole(current->height) == saved.height &&
            whole(current->pixelWidth) == saved.pixelWidth && roundedHz(current->refreshHz) == roundedHz(saved.hz)) {
            continue;
        }
        auto all = services_.modes(id);
        auto it = std::find_if(all.begin(), all.end(), [&](const DisplayMode& m) {
            return whole(m.width) == saved.width && whole(m.height) == saved.height &&
                   whole(m.pixelWidth) == saved.pixelWidth && whole(m.pixelHeight) == saved.pixelHeight &&
                   roundedHz(m.refreshHz) == roundedHz(saved.hz) && m.usableForDesktop;
        });
        if (it == all.end()) continue;
        if (!config) {
            auto begun = services_.beginConfiguration();
            if (!begun) return {};
            config = std::move(begun).value();
        }
        if (config->configureMode(id, *it) != kDisplayConfigSuccess) continue;
        restored.push_back(id);
        Log::i("display", "display " + std::to_string(id) + " 被系统改成 " + num(whole(current->width)) + "×" +
                              num(whole(current->height)) + "，改回 " + num(saved.width) + "×" + num(saved.height) +
                              " @" + num(whole(saved.hz)) + "Hz");
    }
    if (!config) return {};
    if (restored.empty()) {
        config->cancel();
        return {};
    }
    if (config->complete() != kDisplayConfigSuccess) return {};
    return restored;
}

void DisplayConfigurator::setMirroring(DisplayId display, std::optional<DisplayId> master) const {
    auto config = services_.beginConfiguration();
    if (!config) return;
    config.value()->configureMirror(display, master.value_or(0));
    config.value()->complete();
}

bool DisplayConfigurator::isMirrored(DisplayId display) const { return services_.mirrorMaster(display) != 0; }

std::string DisplayConfigurator::name(DisplayId display) const {
    if (display == services_.mainDisplay()) return "主屏（" + std::to_string(display) + "）";
    if (services_.isBuiltin(display)) return "内建显示器（" + std::to_string(display) + "）";
    return "显示器 " + std::to_string(display);
}

std::vector<MappingDisplayInfo> DisplayConfigurator::mappingDisplays(DisplayId excluding) const {
    std::vector<MappingDisplayInfo> out;
    DisplayId main = services_.mainDisplay();
    for (DisplayId id : services_.onlineDisplays()) {
        if (excluding != 0 && id == excluding) continue;
        if (services_.mirrorMaster(id) != 0) continue;
        Rect b = services_.bounds(id);
        if (!(b.width > 0) || !(b.height > 0)) continue;
        std::string base;
        if (auto screen = services_.screenName(id)) {
            // Every virtual display this system makes carries the product word first.
            if (screen->rfind("Kelvo", 0) == 0) continue;
            base = *screen;
        } else if (id == main) {
            base = "主屏";
        } else if (services_.isBuiltin(id)) {
            base = "内建显示器";
        } else {
            base = "显示器 " + std::to_string(id);
        }
        std::string title = base;
        if (id == main) title += " (主屏)";
        title += " · " + num(whole(b.width)) + "×" + num(whole(b.height));
        out.push_back({id, title});
    }
    return out;
}

struct DisplayReconfigurationObserver::State {
    std::shared_ptr<Executor> main;
    Handler handler;
};

DisplayReconfigurationObserver::DisplayReconfigurationObserver(DisplayServices& services,
                                                               std::shared_ptr<Executor> mainQueue, Handler handler)
    : services_(services), state_(std::make_shared<State>(State{std::move(mainQueue), std::move(handler)})) {
    // The registry holds the state weakly: a notification racing our destruction finds nothing.
    registration_ = services_.addReconfigurationCallback(
        [weak = std::weak_ptr<State>(state_)](DisplayId display, uint32_t flags) {
            if (flags & DisplayChange::beginConfiguration) return;
            auto state = weak.lock();
            if (!state) return;
            auto deliver = [weak, display, flags] {
                if (auto s = weak.lock(); s && s->handler) s->handler(display, flags);
            };
            if (state->main->isCurrent()) {
                deliver();
            } else {
                state->main->post(deliver);
            }
        });
}

DisplayReconfigurationObserver::~DisplayReconfigurationObserver() {
    // Waits for a notification running on another thread; posted ones then find no state.
    services_.removeReconfigurationCallback(registration_);
}

}  // namespace kelvo
