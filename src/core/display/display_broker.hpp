#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display/display_configurator.hpp"
#include "core/display/display_source.hpp"
#include "core/runtime/executor.hpp"
#include "core/settings/settings_enums.hpp"

namespace kelvo {

// Holds the display the tablet shows across sessions: reuses it for the same tablet, keeps a
// released one for a grace period so a quick reconnection finds it again, and puts the other
// displays back in their modes when the server changes them as a virtual display appears.
// One per process (the application makes it and hands it to the sessions). Everything, delayed
// work included, runs on the main queue; destroying the broker cancels its timers and drops the
// held display. `services` and `factory` must outlive it.
class DisplayBroker {
public:
    // When the other displays' modes are checked after a virtual display is made.
    static constexpr std::array<uint64_t, 4> kRestoreChecksUs{300'000, 800'000, 1'500'000, 3'000'000};
    // Longest grace period honoured; a larger setting is cut to it.
    static constexpr double kMaxGraceSeconds = 3600;

    DisplayBroker(DisplayServices& services, VirtualDisplayFactory& factory, std::shared_ptr<Executor> mainQueue);
    ~DisplayBroker();
    DisplayBroker(const DisplayBroker&) = delete;
    DisplayBroker& operator=(const DisplayBroker&) = delete;

    // The held display when it fits the request (same key, orientation, kind and, for an
    // external display, id), else a new one: a virtual display with the catalog's modes, or the
    // external display `externalID`. Cancels a pending delayed release. On failure nothing is held.
    Expected<std::shared_ptr<DisplaySource>, DisplayError> acquire(const DeviceIdentity& identity,
                                                                  Orientation orientation, DisplaySourceKind kind,
                                                                  DisplayId externalID, SizeD landscapeMM,
                                                                  std::optional<DisplayPreset> preferred);

    // Restores the other displays to `snapshot` after each of `checksUs` (measured from now),
    // as long as `newDisplay` is still the held display. Displays offline by then are skipped.
    void keepOtherDisplays(DisplayModeSnapshot snapshot, DisplayId newDisplay, std::vector<uint64_t> checksUs);

    // Gives the held display back after `after` (clamped to 0…3600 s; NaN counts as 0), or at
    // once for 0. Nothing held: nothing happens.
    void release(std::chrono::duration<double> after);
    // Drops the held display now (onReleased follows when there was one).
    void releaseNow();

    bool isHoldingForGrace() const;
    const std::shared_ptr<DisplaySource>& active() const { return active_; }
    const std::optional<std::string>& activeKey() const { return activeKey_; }

    // Called after a held display was dropped.
    std::function<void()> onReleased;

private:
    void scheduleCheck(std::shared_ptr<DisplayModeSnapshot> snapshot, DisplayId newDisplay,
                       std::vector<uint64_t> checksUs, uint64_t startedUs);

    DisplayServices& services_;
    VirtualDisplayFactory& factory_;
    std::shared_ptr<Executor> main_;
    DisplayConfigurator configurator_;
    std::shared_ptr<DisplaySource> active_;
    std::optional<std::string> activeKey_;
    std::unique_ptr<Timer> releaseWork_;
    std::unique_ptr<Timer> restoreCheck_;
};

// Seconds as a decimal number that always shows a fraction: 5 gives "5.0", 2.5 "2.5".
std::string decimalSeconds(double seconds);

}  // namespace kelvo
