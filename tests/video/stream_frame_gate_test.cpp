#include "core/video/frame_gate.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo {
namespace {

struct Started {
    int frame;
    uint64_t ptsUs;
    bool key;
    bool operator==(const Started&) const = default;
};

// A gate over plain ints that records every start.
struct RecordingGate {
    explicit RecordingGate(int window) : gate(window) {
        gate.encode = [this](const int& f, uint64_t pts, bool key) { started.push_back({f, pts, key}); };
    }
    FrameGate<int> gate;
    std::vector<Started> started;
};

TEST(FrameGate, NewestPendingFrameWinsAndOnlyItStartsOnUnpause) {
    RecordingGate r(4);
    r.gate.setPaused(true);
    r.gate.submit(1, 100);
    r.gate.submit(2, 200);
    r.gate.submit(3, 300);
    EXPECT_TRUE(r.started.empty());
    EXPECT_EQ(r.gate.droppedBeforeEncode(), 2);
    EXPECT_TRUE(r.gate.hasPending());

    r.gate.forceKeyframe(999);  // paused: only marks the next frame
    EXPECT_TRUE(r.started.empty());
    r.gate.setPaused(false);
    EXPECT_EQ(r.started, (std::vector<Started>{{3, 300, true}}));
    EXPECT_EQ(r.gate.inFlight(), 1);

    r.gate.submit(4, 400);  // the key request was used up by frame 3
    EXPECT_EQ(r.started.back(), (Started{4, 400, false}));
}

TEST(FrameGate, FullWindowHoldsTheFrameUntilOneFinishes) {
    RecordingGate r(4);
    for (int i = 1; i <= 5; ++i) r.gate.submit(i, i * 10u);
    EXPECT_EQ(r.started.size(), 4u);
    EXPECT_TRUE(r.gate.hasPending());
    r.gate.submit(6, 60);  // replaces 5
    EXPECT_EQ(r.gate.droppedBeforeEncode(), 1);

    r.gate.frameFinished();
    EXPECT_EQ(r.started.back(), (Started{6, 60, false}));
    EXPECT_EQ(r.gate.inFlight(), 4);
    EXPECT_FALSE(r.gate.hasPending());

    // Changing the window does not pump by itself.
    r.gate.submit(7, 70);
    r.gate.window = 8;
    EXPECT_EQ(r.started.size(), 5u);
    r.gate.setPaused(false);  // unpausing an unpaused gate still pumps
    EXPECT_EQ(r.started.back().frame, 7);
}

TEST(FrameGate, FinishingWithNothingInFlightStaysAtZeroAndStillPumps) {
    RecordingGate r(0);
    r.gate.submit(1, 10);
    EXPECT_TRUE(r.started.empty());
    r.gate.frameFinished();
    EXPECT_EQ(r.gate.inFlight(), 0);
    r.gate.window = 1;
    r.gate.frameFinished();
    EXPECT_EQ(r.started, (std::vector<Started>{{1, 10, false}}));
}

TEST(FrameGate, ForcedKeyFramesIgnoreTheWindow) {
    RecordingGate r(0);  // blocks every normal start
    r.gate.submit(1, 10);
    r.gate.forceKeyframe(50);
    EXPECT_EQ(r.started, (std::vector<Started>{{1, 10, true}}));

    // Nothing pending: the last frame is encoded again, stamped with the given time.
    r.gate.forceKeyframe(77);
    EXPECT_EQ(r.started.back(), (Started{1, 77, true}));
    EXPECT_EQ(r.gate.inFlight(), 2);
}

TEST(FrameGate, ForceWithNothingEverStartedMarksTheNextFrame) {
    RecordingGate r(4);
    r.gate.forceKeyframe(5);
    EXPECT_TRUE(r.started.empty());
    r.gate.submit(1, 10);
    r.gate.submit(2, 20);
    EXPECT_EQ(r.started, (std::vector<Started>{{1, 10, true}, {2, 20, false}}));

    r.gate.reset();
    EXPECT_EQ(r.gate.inFlight(), 0);
    EXPECT_FALSE(r.gate.lastSubmitted().has_value());
    r.gate.forceKeyframe(30);  // after reset there is no last frame to repeat
    EXPECT_EQ(r.started.size(), 2u);
    r.gate.submit(3, 40);
    EXPECT_EQ(r.started.back(), (Started{3, 40, true}));
}

TEST(FrameGate, ResetKeepsDropCountAndPause) {
    RecordingGate r(4);
    r.gate.setPaused(true);
    r.gate.submit(1, 1);
    r.gate.submit(2, 2);
    r.gate.requestKeyframeOnNext();
    r.gate.reset();
    EXPECT_EQ(r.gate.droppedBeforeEncode(), 1);
    EXPECT_TRUE(r.gate.paused());
    EXPECT_FALSE(r.gate.hasPending());
    r.gate.setPaused(false);
    r.gate.submit(3, 3);
    EXPECT_EQ(r.started, (std::vector<Started>{{3, 3, false}}));  // reset cleared the key request
}

TEST(FrameGate, EncodeMayFinishSynchronouslyWithoutLoopingOrLosingFrames) {
    FrameGate<int> gate(1);
    std::vector<int> started;
    gate.encode = [&](const int& f, uint64_t, bool) {
        started.push_back(f);
        gate.frameFinished();  // as the streamer does when it has no encoder
    };
    gate.submit(1, 1);
    gate.submit(2, 2);
    EXPECT_EQ(started, (std::vector<int>{1, 2}));
    EXPECT_EQ(gate.inFlight(), 0);
    EXPECT_EQ(*gate.lastSubmitted(), 2);
}

TEST(FrameGate, BusyEncoderLeavesTheNewestFrameInThePendingSlot) {
    RecordingGate r(4);
    r.gate.encoderDepth = 1;
    r.gate.submit(1, 10);
    r.gate.submit(2, 20);
    r.gate.submit(3, 30);  // replaces 2 while 1 is being encoded
    EXPECT_EQ(r.started, (std::vector<Started>{{1, 10, false}}));
    EXPECT_EQ(r.gate.droppedBeforeEncode(), 1);

    r.gate.encodeEnded();
    EXPECT_EQ(r.started.back(), (Started{3, 30, false}));
    EXPECT_EQ(r.gate.inFlight(), 2);  // the window still counts both until they are finished

    // A forced key frame waits for the encoder too, then takes the newest frame.
    r.gate.forceKeyframe(35);
    EXPECT_EQ(r.started.size(), 2u);
    r.gate.submit(4, 40);
    r.gate.encodeEnded();
    EXPECT_EQ(r.started.back(), (Started{4, 40, true}));
    // With nothing newer it repeats the last frame, stamped with the time it was asked for.
    r.gate.forceKeyframe(45);
    r.gate.encodeEnded();
    EXPECT_EQ(r.started.back(), (Started{4, 45, true}));
    // Only once, and a full window does not hold it back.
    r.gate.window = 0;
    r.gate.encodeEnded();
    EXPECT_EQ(r.started.size(), 4u);

    // Pausing turns a key frame waiting for the encoder into a mark on the next frame; after a
    // new stream nothing counts as in the encoder.
    r.gate.window = 8;
    r.gate.submit(5, 50);
    r.gate.forceKeyframe(55);
    r.gate.setPaused(true);
    r.gate.resetInFlight();
    r.gate.setPaused(false);
    EXPECT_EQ(r.started.size(), 5u);
    r.gate.submit(6, 60);
    EXPECT_EQ(r.started.back(), (Started{6, 60, true}));
    EXPECT_EQ(r.gate.encoding(), 1);
}

}  // namespace
}  // namespace kelvo
