#include "core/video/preset_controller.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvo {
namespace {

constexpr double kPeriodMs = 1000.0 / 60;
constexpr uint64_t kFrameUs = 16'667;

TEST(PresetController, StepsDownWhenFramesNearThePeriodAndBackOnlyAfterStayingWellBelow) {
    struct Phase {
        const char* what;
        double encodeMs;
        double seconds;
        EncoderPreset expected;
        int steps;  // steps taken during the phase
    };
    const std::vector<Phase> phases = {
        {"comfortable times keep the best preset", 5.0, 3.0, EncoderPreset::veryfast, 0},
        {"too slow: one step per ten frames down to the fastest", 8.0, 1.0, EncoderPreset::ultrafast, 2},
        {"the fastest is the floor", 9.0, 2.0, EncoderPreset::ultrafast, 0},
        {"well below, but not for long enough yet", 2.0, 5.0, EncoderPreset::ultrafast, 0},
        {"well below for five seconds: one step back", 2.0, 1.5, EncoderPreset::superfast, 1},
        {"between the two thresholds: stays", 4.0, 10.0, EncoderPreset::superfast, 0},
        {"a single slow frame moves nothing", 2.0, 0.0, EncoderPreset::superfast, 0},
        {"well below again: back to the best", 2.0, 7.0, EncoderPreset::veryfast, 1},
        {"which was too slow at once", 8.0, 0.07, EncoderPreset::superfast, 1},
        {"so the next step back waits twice as long", 2.0, 9.0, EncoderPreset::superfast, 0},
        {"and then comes", 2.0, 2.5, EncoderPreset::veryfast, 1},
    };
    PresetController c;
    uint64_t nowUs = 1'000'000;
    for (const auto& phase : phases) {
        int steps = 0;
        const int frames = std::max(1, static_cast<int>(phase.seconds * 60));
        for (int i = 0; i < frames; ++i) {
            nowUs += kFrameUs;
            const double ms = phase.seconds == 0 && i == 0 ? 30.0 : phase.encodeMs;
            if (auto step = c.add(nowUs, ms, kPeriodMs)) {
                steps += 1;
                EXPECT_EQ(step->to, c.preset());
                EXPECT_NEAR(step->periodMs, kPeriodMs, 1e-9);
            }
        }
        EXPECT_EQ(c.preset(), phase.expected) << phase.what;
        EXPECT_EQ(steps, phase.steps) << phase.what;
    }
}

TEST(PresetController, AStepDownReportsTheTimesThatCausedIt) {
    PresetController c;
    std::optional<PresetController::Step> step;
    for (int i = 1; i <= 10 && !step; ++i) step = c.add(uint64_t(i) * kFrameUs, 14.0 + i * 0.1, kPeriodMs);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->from, EncoderPreset::veryfast);
    EXPECT_EQ(step->to, EncoderPreset::superfast);
    EXPECT_NEAR(step->p95Ms, 15.0, 1e-9);
    EXPECT_EQ(std::string(encoderPresetName(step->to)), "superfast");
}

}  // namespace
}  // namespace kelvo
