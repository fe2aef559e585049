#include "core/video/adaptive_policy.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace kelvo {
namespace {

constexpr uint64_t kSec = 1'000'000;
const std::string kSerious = "iPad 热状态 serious";

// One row of a timeline: either a device report or an evaluation with its expected decision.
struct Row {
    double atSec;
    std::optional<std::string> thermal = std::nullopt;
    std::optional<double> battery = std::nullopt;
    std::optional<bool> charging = std::nullopt;
    bool eval = false;
    std::optional<double> decodeMs = std::nullopt;
    std::optional<double> ackMs = std::nullopt;
    AdaptivePolicy::Decision expect = {};
};

Row report(double t, std::optional<std::string> thermal, std::optional<double> battery = std::nullopt,
           std::optional<bool> charging = std::nullopt) {
    return Row{t, std::move(thermal), battery, charging};
}
Row eval(double t, AdaptivePolicy::Decision expect, std::optional<double> decodeMs = std::nullopt,
         std::optional<double> ackMs = std::nullopt) {
    return Row{t, std::nullopt, std::nullopt, std::nullopt, true, decodeMs, ackMs, std::move(expect)};
}

struct Timeline {
    explicit Timeline(int baseFps) : policy(baseFps) {
        policy.onToast = [this](const std::string& text) { toasts.push_back(text); };
    }
    void run(const std::vector<Row>& rows) {
        for (const Row& r : rows) {
            const uint64_t now = static_cast<uint64_t>(r.atSec * kSec);
            if (!r.eval) {
                policy.updateDevice(r.thermal, r.battery, r.charging, now);
                continue;
            }
            const auto d = policy.evaluate(now, r.decodeMs, r.ackMs);
            EXPECT_EQ(d.fps, r.expect.fps) << "at " << r.atSec << " s";
            EXPECT_DOUBLE_EQ(d.bitrateScale, r.expect.bitrateScale) << "at " << r.atSec << " s";
            EXPECT_EQ(d.reason, r.expect.reason) << "at " << r.atSec << " s";
        }
    }
    AdaptivePolicy policy;
    std::vector<std::string> toasts;
};

TEST(AdaptivePolicy, ThermalCapsApplyAtOnceAndOnlyBelowTheBaseRate) {
    Timeline t60(60);
    t60.run({eval(0, {60, 1.0, ""}), report(1, "serious"), eval(1, {30, 0.7, kSerious}),
             report(2, "fair"), eval(2, {30, 0.7, kSerious}),  // cooling takes 30 s
             report(3, "Critical"), eval(3, {30, 0.7, kSerious})});  // wrong case: ignored
    EXPECT_TRUE(t60.toasts.empty());

    Timeline t30(30);
    t30.run({report(0, "serious"), eval(0, {30, 0.7, ""})});

    Timeline t0(0);
    t0.run({eval(0, {1, 1.0, ""})});
}

TEST(AdaptivePolicy, CoolsOneLevelPerThirtySecondsAndWarnsOncePerCriticalStay) {
    Timeline t(60);
    t.run({
        report(0, "critical"), report(0.5, "critical"),
        eval(0, {20, 0.5, "iPad 热状态 critical"}),
        report(1, "nominal"),
        eval(30.9, {20, 0.5, "iPad 热状态 critical"}),
        eval(31, {30, 0.7, kSerious}),
        eval(60, {30, 0.7, kSerious}),
        eval(61, {45, 1.0, "iPad 热状态 fair"}),
        eval(91, {60, 1.0, ""}),
    });
    EXPECT_EQ(t.toasts, (std::vector<std::string>{"iPad 过热，已降低帧率和码率"}));

    t.run({report(100, "critical"), eval(100, {20, 0.5, "iPad 热状态 critical"})});
    EXPECT_EQ(t.toasts.size(), 2u);  // a new stay at level 3 warns again
}

TEST(AdaptivePolicy, RunningCoolingTimeIsNotRestartedByAFurtherDrop) {
    Timeline t(60);
    t.run({report(0, "serious"), report(5, "fair"), report(15, "nominal"),
           eval(34.9, {30, 0.7, kSerious}), eval(35, {45, 1.0, "iPad 热状态 fair"}),
           eval(64.9, {45, 1.0, "iPad 热状态 fair"}), eval(65, {60, 1.0, ""})});
}

TEST(AdaptivePolicy, ReheatingToTheLevelInForceClearsTheCoolingTime) {
    Timeline t(60);
    t.run({report(0, "critical"), report(1, "nominal"), report(20, "critical"),
           eval(40, {20, 0.5, "iPad 热状态 critical"}),
           report(45, "nominal"),
           // Cooling counts from 45 s, not from the first drop at 1 s.
           eval(50, {20, 0.5, "iPad 热状态 critical"}),
           eval(74.9, {20, 0.5, "iPad 热状态 critical"}),
           eval(75, {30, 0.7, kSerious})});
    EXPECT_EQ(t.toasts.size(), 1u);
}

TEST(AdaptivePolicy, SlowDecodeAndCongestionStepDownThenRecover) {
    test::LogCapture log;
    Timeline t(60);
    t.run({
        eval(0, {60, 1.0, ""}, 25.0), eval(1, {60, 1.0, ""}, 25.0), eval(2, {60, 1.0, ""}, 25.0),
        eval(3, {45, 1.0, "iPad 解码慢"}, 25.0),
        // The condition timer starts over after a step.
        eval(4, {45, 1.0, "iPad 解码慢"}, 25.0), eval(6, {45, 1.0, "iPad 解码慢"}, 25.0),
        eval(7, {30, 1.0, "iPad 解码慢"}, 25.0),
        // Step 2 is the floor: no third step, no log.
        eval(8, {30, 1.0, "iPad 解码慢"}, 30.0), eval(11, {30, 1.0, "iPad 解码慢"}, 30.0),
        // Still high but not long enough: no recovery either.
        eval(17.5, {30, 1.0, "iPad 解码慢"}, 30.0),
        // 22.0 is not high; 11 s after the last step one step recovers.
        eval(18, {45, 1.0, "iPad 解码慢"}, 22.0),
    });
    EXPECT_EQ(log.count("帧率上限降到", "adapt"), 2u);
    EXPECT_TRUE(log.contains("iPad 解码慢：帧率上限降到 45", "adapt"));
    EXPECT_TRUE(log.contains("iPad 解码慢：帧率上限降到 30", "adapt"));
    EXPECT_EQ(t.policy.perfStep(), 1);
}

TEST(AdaptivePolicy, CongestionStepsAfterTwoSecondsAndRecoversAfterTenQuietSeconds) {
    Timeline t(60);
    t.run({
        eval(0, {60, 1.0, ""}, std::nullopt, 80.0), eval(1, {60, 1.0, ""}, std::nullopt, 80.0),
        eval(2, {45, 1.0, "链路拥塞"}, std::nullopt, 80.0),
        eval(3, {45, 1.0, "链路拥塞"}, std::nullopt, 60.0),  // 60.0 is not high
        eval(11.9, {45, 1.0, "链路拥塞"}),
        eval(12, {60, 1.0, ""}),
    });
    EXPECT_EQ(t.policy.perfStep(), 0);
}

TEST(AdaptivePolicy, LowBatteryNotChargingCapsAtThirty) {
    Timeline t(60);
    t.run({report(0, std::nullopt, 0.15), eval(0, {60, 1.0, ""}),  // charging unknown
           report(1, std::nullopt, std::nullopt, false), eval(1, {30, 1.0, "iPad 电量低"}),
           report(2, "serious"), eval(2, {30, 0.7, kSerious}),  // already 30: thermal reason stays
           report(3, "unknown", 0.5), eval(3, {30, 0.7, kSerious})});
    Timeline charging(60);
    charging.run({report(0, std::nullopt, 0.1, true), eval(0, {60, 1.0, ""})});
}

}  // namespace
}  // namespace kelvo
