#include "core/video/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace kelvo {
namespace {

constexpr uint64_t kPeriod = 16'666;

// Plays drawings at the given times through a pacer, as capture does: a frame when allowed, else
// one when the wait is over (newer drawings in between join it). Returns when frames were taken.
std::vector<uint64_t> play(FramePacer& pacer, const std::vector<uint64_t>& drawnAt, uint64_t wakeUpUs = 0) {
    std::vector<uint64_t> taken;
    std::optional<uint64_t> pending;  // a frame waiting for the pacer
    for (uint64_t drawn : drawnAt) {
        if (pending && *pending <= drawn) {
            pacer.taken(*pending);
            taken.push_back(*pending);
            pending.reset();
        }
        if (pending) continue;
        const uint64_t at = drawn + wakeUpUs;
        if (uint64_t wait = pacer.delayUs(at)) {
            pending = at + wait;
        } else {
            pacer.taken(at);
            taken.push_back(at);
        }
    }
    if (pending) taken.push_back(*pending);
    return taken;
}

TEST(FramePacer, ContentDrawnAtTheFrameRateIsTakenAtOnceWhateverItsPhaseAndLateWakeUpsDoNotAddUp) {
    FramePacer pacer(kPeriod);
    pacer.taken(1'000'000 - 1'000);  // the first frame of a capture, just before the content's first
    std::vector<uint64_t> drawn;
    for (uint64_t i = 0; i < 600; ++i) drawn.push_back(1'000'000 + i * 16'667);  // a clock a little slower
    // Every wake-up 0.9 ms late: a pacer that counted from its last frame would fall behind by
    // that much each frame and soon skip one; one that kept to a grid would hold every frame to
    // the phase of that first frame.
    auto taken = play(pacer, drawn, 900);
    ASSERT_EQ(taken.size(), drawn.size());
    for (size_t i = 20; i < drawn.size(); ++i) EXPECT_EQ(taken[i], drawn[i] + 900) << "frame " << i;
}

TEST(FramePacer, FasterContentIsTakenAtMostOncePerPeriodOnAverage) {
    FramePacer pacer(kPeriod);
    std::vector<uint64_t> drawn;
    for (uint64_t i = 0; i < 1200; ++i) drawn.push_back(i * 8'333);  // 120 Hz for ten seconds
    auto taken = play(pacer, drawn);
    EXPECT_LE(taken.size(), 632u) << "1.05 times the rate at most";
    EXPECT_GE(taken.size(), 590u);
    for (size_t i = 1; i < taken.size(); ++i) EXPECT_GE(taken[i] - taken[i - 1], kPeriod * 7 / 10) << "frame " << i;
}

TEST(FramePacer, AfterAPauseTheFirstDrawingIsTakenAtOnceAndANewPeriodAppliesToTheNext) {
    FramePacer pacer(kPeriod);
    EXPECT_EQ(pacer.delayUs(5'000), 0u) << "nothing taken yet";
    pacer.taken(5'000);
    EXPECT_EQ(pacer.delayUs(6'000), kPeriod - kPeriod / 4 - 1'050);
    EXPECT_EQ(pacer.delayUs(5'000 + kPeriod), 0u);

    pacer.taken(2'000'000);  // a second later: no more than a quarter period kept
    EXPECT_EQ(pacer.delayUs(2'000'000 + kPeriod - kPeriod / 4), 0u);
    EXPECT_GT(pacer.delayUs(2'000'000 + 1'000), 0u);

    pacer.setInterval(33'333);
    pacer.taken(2'000'000 + kPeriod);
    EXPECT_GT(pacer.delayUs(2'000'000 + kPeriod + 20'000), 0u) << "the new, longer period";
    EXPECT_EQ(pacer.delayUs(2'000'000 + kPeriod + 43'000), 0u);
}

}  // namespace
}  // namespace kelvo
