#include "core/video/adaptive_policy.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "core/util/log.hpp"

namespace kelvo {
namespace {

constexpr int kNoCap = std::numeric_limits<int>::max();

struct ThermalRow {
    std::string_view name;
    int fpsCap;
    double bitrateScale;
};

constexpr std::array<ThermalRow, 4> kThermal{{
    {"nominal", kNoCap, 1.0},
    {"fair", 45, 1.0},
    {"serious", 30, 0.7},
    {"critical", 20, 0.5},
}};

constexpr std::array<int, 3> kPerfCaps{kNoCap, 45, 30};
constexpr int kMaxPerfStep = 2;

constexpr uint64_t kCoolingStepUs = 30'000'000;
constexpr uint64_t kSlowDecodeUs = 3'000'000;
constexpr uint64_t kCongestionUs = 2'000'000;
constexpr uint64_t kRecoveryUs = 10'000'000;
constexpr double kDecodeHighMs = 22.0;
constexpr double kAckHighMs = 60.0;
constexpr double kLowBattery = 0.2;
constexpr int kLowBatteryFps = 30;

// Elapsed time that stays 0 should a caller's clock ever step back.
uint64_t elapsedUs(uint64_t nowUs, uint64_t sinceUs) { return nowUs > sinceUs ? nowUs - sinceUs : 0; }

const std::string kCriticalToast = "iPad 过热，已降低帧率和码率";
const std::string kSlowDecodeReason = "iPad 解码慢";
const std::string kCongestionReason = "链路拥塞";
const std::string kLowBatteryReason = "iPad 电量低";

}  // namespace

AdaptivePolicy::AdaptivePolicy(int baseFps) : baseFps(baseFps) {}

std::optional<int> AdaptivePolicy::thermalLevelOf(std::string_view name) {
    for (size_t i = 0; i < kThermal.size(); ++i) {
        if (kThermal[i].name == name) return static_cast<int>(i);
    }
    return std::nullopt;
}

void AdaptivePolicy::updateDevice(std::optional<std::string_view> thermal, std::optional<double> battery,
                                  std::optional<bool> charging, uint64_t nowUs) {
    if (battery) battery_ = battery;
    if (charging) charging_ = charging;
    if (!thermal) return;
    std::optional<int> level = thermalLevelOf(*thermal);
    if (!level) return;

    reportedThermal_ = *level;
    if (*level > thermalLevel_) {
        thermalLevel_ = *level;
        coolingSinceUs_.reset();
        if (*level == 3 && !criticalToastShown_) {
            criticalToastShown_ = true;
            if (onToast) onToast(kCriticalToast);
        }
    } else if (*level < thermalLevel_) {
        if (!coolingSinceUs_) coolingSinceUs_ = nowUs;
    } else {
        // Back at the level in force: the tablet heated again, so earlier cooling no longer counts.
        coolingSinceUs_.reset();
    }
}

AdaptivePolicy::Decision AdaptivePolicy::evaluate(uint64_t nowUs, std::optional<double> decodeP95Ms,
                                                  std::optional<double> ackP90Ms) {
    if (reportedThermal_ < thermalLevel_ && coolingSinceUs_ && elapsedUs(nowUs, *coolingSinceUs_) >= kCoolingStepUs) {
        thermalLevel_ -= 1;
        if (reportedThermal_ < thermalLevel_) {
            coolingSinceUs_ = nowUs;
        } else {
            coolingSinceUs_.reset();
        }
    }
    if (thermalLevel_ <= 2) criticalToastShown_ = false;

    const bool decodeHigh = decodeP95Ms && *decodeP95Ms > kDecodeHighMs;
    if (decodeHigh) {
        if (!decodeHighSinceUs_) decodeHighSinceUs_ = nowUs;
    } else {
        decodeHighSinceUs_.reset();
    }
    const bool ackHigh = ackP90Ms && *ackP90Ms > kAckHighMs;
    if (ackHigh) {
        if (!ackHighSinceUs_) ackHighSinceUs_ = nowUs;
    } else {
        ackHighSinceUs_.reset();
    }

    if (decodeHigh && elapsedUs(nowUs, *decodeHighSinceUs_) >= kSlowDecodeUs) {
        stepDown(nowUs, kSlowDecodeReason);
        decodeHighSinceUs_.reset();
    } else if (ackHigh && elapsedUs(nowUs, *ackHighSinceUs_) >= kCongestionUs) {
        stepDown(nowUs, kCongestionReason);
        ackHighSinceUs_.reset();
    }

    if (!decodeHigh && !ackHigh && perfStep_ >= 1 && elapsedUs(nowUs, lastPerfChangeUs_) >= kRecoveryUs) {
        perfStep_ -= 1;
        lastPerfChangeUs_ = nowUs;
    }

    Decision d;
    const ThermalRow& row = kThermal[static_cast<size_t>(thermalLevel_)];
    if (row.fpsCap < baseFps) {
        d.fps = row.fpsCap;
        d.reason = "iPad 热状态 " + std::string(row.name);
    } else {
        d.fps = baseFps;
    }
    if (perfStep_ >= 1 && kPerfCaps[static_cast<size_t>(perfStep_)] < d.fps) {
        d.fps = kPerfCaps[static_cast<size_t>(perfStep_)];
        d.reason = perfReason_;
    }
    if (battery_ && *battery_ < kLowBattery && charging_ && !*charging_ && d.fps > kLowBatteryFps) {
        d.fps = kLowBatteryFps;
        d.reason = kLowBatteryReason;
    } else {
        d.fps = std::max(d.fps, 1);
    }
    d.bitrateScale = row.bitrateScale;
    return d;
}

void AdaptivePolicy::stepDown(uint64_t nowUs, const std::string& reason) {
    if (perfStep_ >= kMaxPerfStep) return;
    perfStep_ += 1;
    perfReason_ = reason;
    lastPerfChangeUs_ = nowUs;
    Log::i("adapt", [&] {
        return reason + "：帧率上限降到 " + std::to_string(kPerfCaps[static_cast<size_t>(perfStep_)]);
    });
}

}  // namespace kelvo
