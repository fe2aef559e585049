#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Decides once a second the frame-rate cap and bitrate factor of one video stream from the
// tablet's thermal state and battery, its decode latency and the acknowledgement latency.
// Not thread-safe: used only on its streamer's queue. Times are caller-supplied monotonic
// microseconds that never go backwards.
class AdaptivePolicy {
public:
    struct Decision {
        int fps = 0;               // cap to apply, at least 1
        double bitrateScale = 1.0; // factor on the configured bitrate
        std::string reason;        // user-facing; empty when nothing lowers the rate below baseFps
        bool operator==(const Decision&) const = default;
    };

    explicit AdaptivePolicy(int baseFps);

    // The configured frame rate; caps only ever lower it.
    int baseFps;
    // User-facing warning, called inside updateDevice on the caller's queue.
    std::function<void(const std::string&)> onToast;

    int thermalLevel() const { return thermalLevel_; }
    int perfStep() const { return perfStep_; }

    // Absent values keep what was stored; an unknown thermal name changes only battery/charging.
    void updateDevice(std::optional<std::string_view> thermal, std::optional<double> battery,
                      std::optional<bool> charging, uint64_t nowUs);
    // Advances cooling and the performance steps to `nowUs` and returns the decision in force.
    Decision evaluate(uint64_t nowUs, std::optional<double> decodeP95Ms, std::optional<double> ackP90Ms);

    // Thermal level of a name reported by the tablet ("nominal" … "critical"), exact case.
    static std::optional<int> thermalLevelOf(std::string_view name);

private:
    void stepDown(uint64_t nowUs, const std::string& reason);

    int reportedThermal_ = 0;
    int thermalLevel_ = 0;
    std::optional<uint64_t> coolingSinceUs_;
    bool criticalToastShown_ = false;
    int perfStep_ = 0;
    std::optional<uint64_t> decodeHighSinceUs_;
    std::optional<uint64_t> ackHighSinceUs_;
    uint64_t lastPerfChangeUs_ = 0;
    std::string perfReason_;
    std::optional<double> battery_;
    std::optional<bool> charging_;
};

}  // namespace kelvo
