#include "core/video/cursor_service.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/protocol/records.hpp"
#include "core/runtime/manual_executor.hpp"
#include "core/video/cursor_source.hpp"
#include "support/png_reader.hpp"
#include "support/recording_peer.hpp"

namespace kelvo {
namespace {

struct FakeCursor final : CursorSource {
    uint64_t serial = 1;
    std::optional<CursorImage> current;
    std::optional<Point> at;
    int imageReads = 0;
    int locationReads = 0;

    uint64_t shapeSerial() override { return serial; }
    std::optional<CursorImage> image() override {
        ++imageReads;
        return current;
    }
    std::optional<Point> location() override {
        ++locationReads;
        return at;
    }
};

// A 32 × 32 image with a gradient of colours and alphas, premultiplied as the desktop gives it.
CursorImage arrow(int hotX = 5, int hotY = 10, uint32_t tint = 0) {
    CursorImage image{32, 32, hotX, hotY, {}};
    for (uint32_t y = 0; y < 32; ++y) {
        for (uint32_t x = 0; x < 32; ++x) {
            uint32_t alpha = (x * 8 + y) & 0xff;
            uint32_t straight = alpha << 24 | ((x * 7 + tint) & 0xff) << 16 | (y * 7 & 0xff) << 8 | ((x ^ y) * 5 & 0xff);
            image.argb.push_back(test::premultiply(straight));
        }
    }
    return image;
}

class CursorServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tablet_.host);
        cursor_->current = arrow();
        cursor_->at = Point{600, 300};
    }
    void TearDown() override {
        if (service_) service_->stop();
        queue_->runUntilIdle();
    }

    void make(Rect region, int streamWidth, bool hideOnTouch = false) {
        service_ = CursorService::make(tablet_.host, region, streamWidth, hideOnTouch, queue_, cursor_);
    }
    void advance(uint64_t us) { queue_->advance(us); }

    std::vector<KVCursorShapeHeader> shapes() const { return tablet_.records<KVCursorShapeHeader>(MsgType::cursorShape); }
    std::vector<KVCursorState> states() const { return tablet_.records<KVCursorState>(MsgType::cursorState); }

    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>("kv.cursor", 0);
    test::RecordingPeer tablet_{queue_};
    std::vector<WireMessage>& received_ = tablet_.received;
    std::shared_ptr<FakeCursor> cursor_ = std::make_shared<FakeCursor>();
    std::shared_ptr<CursorService> service_;
};

TEST_F(CursorServiceTest, ShapeCarriesItsPixelsHotSpotAndSizeThenThePositionFollows) {
    make({100, 50, 1000, 500}, 1920);
    service_->start();
    advance(20'000);

    ASSERT_GE(received_.size(), 2u);
    ASSERT_EQ(received_[0].type(), MsgType::cursorShape);
    auto header = *received_[0].load<KVCursorShapeHeader>();
    EXPECT_EQ(header.shapeId, 1u);
    EXPECT_EQ(header.hotX, 10240);   // 5/32 of the width
    EXPECT_EQ(header.hotY, 20480);   // 10/32 of the height
    EXPECT_EQ(header.width, 2097);   // 32 of 1000 points
    EXPECT_EQ(header.height, 4194);  // 32 of 500 points
    ASSERT_EQ(header.pngLength, received_[0].payload.size() - KVCursorShapeHeader::kSize);
    auto png = test::decodePng(std::span(received_[0].payload).subspan(KVCursorShapeHeader::kSize), true);
    EXPECT_EQ(png, (test::DecodedPng{32, 32, arrow().argb}));

    ASSERT_EQ(received_[1].type(), MsgType::cursorState);
    auto state = *received_[1].load<KVCursorState>();
    EXPECT_EQ(state, (KVCursorState{1, 32768, 32768, 1}));
    EXPECT_EQ(shapes().size(), 1u);
    EXPECT_EQ(states().size(), 1u) << "a pointer that stays still is sent once";
}

TEST_F(CursorServiceTest, BeforeAnyShapeOnlyAHiddenPointerIsSentAndOnlyOnce) {
    cursor_->current.reset();
    make({0, 0, 1000, 1000}, 1920);
    service_->start();
    advance(100'000);
    EXPECT_TRUE(received_.empty()) << "the tablet has no image to draw yet";

    cursor_->at = Point{1500, 20};
    advance(100'000);
    ASSERT_EQ(states().size(), 1u);
    EXPECT_EQ(states()[0], (KVCursorState{0, 0, 0, 0}));

    cursor_->current = arrow();
    cursor_->serial = 2;
    cursor_->at = Point{1600, 20};
    advance(100'000);
    ASSERT_EQ(states().size(), 2u) << "the new shape's id makes the hidden state new";
    EXPECT_EQ(states()[1], (KVCursorState{1, 0, 0, 0}));
}

TEST_F(CursorServiceTest, MovesUnderAQuarterOfAStreamPixelAreNotSent) {
    // One point of this region is one normalised unit; at 1920 pixels a quarter pixel is 8.53.
    struct Case {
        double dx, dy;
        bool sent;
    } cases[] = {{8, 8, false}, {-8, 8, false}, {9, 0, true}, {0, 9, true}, {-9, 0, true}, {0, -9, true}};
    for (const Case& c : cases) {
        received_.clear();
        cursor_->at = Point{30000, 30000};
        make({0, 0, 65535, 65535}, 1920);
        service_->start();
        advance(10'000);
        ASSERT_EQ(states().size(), 1u);
        cursor_->at = Point{30000 + c.dx, 30000 + c.dy};
        advance(10'000);
        EXPECT_EQ(states().size(), c.sent ? 2u : 1u) << "move " << c.dx << "," << c.dy;
        service_->stop();
    }
}

TEST_F(CursorServiceTest, TouchHidesThePointerUntilItMovesOnceTheHideTimeHasPassed) {
    for (bool hideOnTouch : {true, false}) {
        SCOPED_TRACE(hideOnTouch ? "hiding on touch" : "not hiding on touch");
        received_.clear();
        cursor_->at = Point{100, 100};
        make({0, 0, 1000, 1000}, 1920, hideOnTouch);
        service_->start();
        advance(10'000);
        auto visible = [&] { return states().back().visible == 1; };
        ASSERT_TRUE(visible());

        service_->touchActivity(true);
        advance(10'000);
        EXPECT_EQ(visible(), !hideOnTouch) << "a finger down hides the pointer at once";
        service_->touchActivity(false);
        advance(1'000'000);
        cursor_->at = Point{200, 100};
        advance(10'000);
        EXPECT_EQ(visible(), !hideOnTouch) << "a move within 1.5 s of the lift keeps it hidden";
        advance(1'000'000);
        EXPECT_EQ(visible(), !hideOnTouch) << "a pointer that stays still stays hidden";
        cursor_->at = Point{300, 100};
        advance(10'000);
        EXPECT_TRUE(visible()) << "a move after 1.5 s shows it";
        service_->stop();
    }
}

TEST_F(CursorServiceTest, ShapesAreKnownByTheirPixelsAndHotSpot) {
    make({0, 0, 1000, 1000}, 1920);
    service_->start();
    advance(10'000);
    ASSERT_EQ(shapes().size(), 1u);

    struct Step {
        std::optional<CursorImage> image;
        uint32_t shapeId;  // the state's shape id after the step
        size_t shapesSent;
    } steps[] = {
        {arrow(), 1, 1},         // another cursor with the same pixels and hot spot
        {arrow(6, 10), 2, 2},    // same pixels, another hot spot
        {arrow(5, 10, 9), 3, 3},  // other pixels
        {arrow(), 1, 3},         // back to the first: already on the tablet
        {CursorImage{}, 1, 3},   // an empty image makes no shape
    };
    int moveX = 100;
    for (const Step& step : steps) {
        cursor_->current = step.image;
        ++cursor_->serial;
        cursor_->at = Point{double(moveX += 50), 100};
        advance(60'000);
        EXPECT_EQ(shapes().size(), step.shapesSent);
        EXPECT_EQ(states().back().shapeId, step.shapeId);
    }

    int reads = cursor_->imageReads;
    advance(500'000);
    EXPECT_EQ(cursor_->imageReads, reads) << "an unchanged serial is not read again";
}

TEST_F(CursorServiceTest, NewRegionSendsTheShapeAgainUnderANewId) {
    make({0, 0, 1000, 1000}, 1920);
    service_->start();
    advance(10'000);
    service_->setRegion({500, 200, 500, 250}, 1280);
    advance(10'000);
    auto sent = shapes();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].shapeId, 2u);
    EXPECT_EQ(sent[1].width, 4194);   // 32 of 500 points
    EXPECT_EQ(sent[1].height, 8388);  // 32 of 250 points
    ASSERT_EQ(states().size(), 2u);
    EXPECT_EQ(states()[1], (KVCursorState{2, 13107, 26214, 1}));
}

TEST_F(CursorServiceTest, NothingIsReadOrSentAfterStopOrRelease) {
    make({0, 0, 1000, 1000}, 1920);
    service_->start();
    advance(10'000);
    service_->stop();
    service_->touchActivity(true);
    service_->setRegion({0, 0, 10, 10}, 10);
    service_->resendAll();
    size_t before = received_.size();
    int reads = cursor_->locationReads + cursor_->imageReads;
    cursor_->at = Point{700, 700};
    ++cursor_->serial;
    advance(1'000'000);
    EXPECT_EQ(received_.size(), before);
    EXPECT_EQ(cursor_->locationReads + cursor_->imageReads, reads);
    EXPECT_EQ(queue_->armedTimers(), 0u);

    // Without a pointer to read, nothing at all.
    service_ = CursorService::make(tablet_.host, {0, 0, 1000, 1000}, 1920, false, queue_, nullptr);
    service_->start();
    service_->setRegion({0, 0, 500, 500}, 1280);
    advance(100'000);
    EXPECT_EQ(received_.size(), before);
    EXPECT_EQ(queue_->armedTimers(), 0u);

    // Released without stop(): its timers find nothing.
    make({0, 0, 1000, 1000}, 1920);
    service_->start();
    advance(10'000);
    before = received_.size();
    service_.reset();
    cursor_->at = Point{10, 10};
    advance(1'000'000);
    EXPECT_EQ(received_.size(), before);
}

// A pointer that announces its changes on a pipe, as the desktop's does: one byte per event.
struct AnnouncingCursor final : CursorSource {
    AnnouncingCursor() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            readEnd = UniqueFd(fds[0]);
            writeEnd = UniqueFd(fds[1]);
        }
    }
    void moveTo(Point p) {
        at = p;
        announce('m');
    }
    void newImage(CursorImage image) {
        current = std::move(image);
        ++serial;
        announce('s');
    }
    void announce(char what) { ASSERT_EQ(::write(writeEnd.get(), &what, 1), 1); }

    uint64_t shapeSerial() override { return serial; }
    std::optional<CursorImage> image() override { return current; }
    std::optional<Point> location() override {
        ++locationReads;
        return at;
    }
    int changeFd() override { return readEnd.get(); }
    bool takeMotion() override {
        bool moved = false;
        char what;
        while (::read(readEnd.get(), &what, 1) == 1) moved |= what == 'm';
        return moved;
    }

    UniqueFd readEnd, writeEnd;
    uint64_t serial = 1;
    std::optional<CursorImage> current = arrow();
    std::optional<Point> at = Point{100, 100};
    int locationReads = 0;
};

class AnnouncedCursorTest : public CursorServiceTest {
protected:
    void SetUp() override {
        CursorServiceTest::SetUp();
        ASSERT_TRUE(pointer_->readEnd);
        service_ = CursorService::make(tablet_.host, {0, 0, 1000, 1000}, 1920, true, queue_, pointer_);
        service_->start();
        advance(1'000);
    }
    std::shared_ptr<AnnouncingCursor> pointer_ = std::make_shared<AnnouncingCursor>();
};

TEST_F(AnnouncedCursorTest, AStillPointerIsReadOnlyByTheSlowWarpCheck) {
    ASSERT_EQ(states().size(), 1u);
    const int reads = pointer_->locationReads;
    advance(10'000'000);
    EXPECT_EQ(pointer_->locationReads - reads, 40) << "four reads a second, not 120";
    EXPECT_EQ(states().size(), 1u);
    EXPECT_EQ(queue_->armedTimers(), 1u) << "only the warp check waits";

    // A warp, which nothing announces, is seen within that period.
    pointer_->at = Point{500, 500};
    advance(CursorService::kWarpPollUs);
    ASSERT_EQ(states().size(), 2u);
    EXPECT_EQ(states()[1], (KVCursorState{1, 32768, 32768, 1}));
}

TEST_F(AnnouncedCursorTest, MotionIsSentAtOnceButReadAtMostOncePerSamplingPeriod) {
    advance(100'000);
    const int reads = pointer_->locationReads;
    pointer_->moveTo({200, 100});
    queue_->runUntilIdle();
    ASSERT_EQ(states().size(), 2u) << "the first move after a pause goes out without waiting";
    EXPECT_EQ(states()[1].x, 13107);

    // A burst of motion within one period: one more read, of where the pointer ended.
    for (int x = 201; x <= 260; ++x) pointer_->moveTo({double(x), 100});
    queue_->runUntilIdle();
    EXPECT_EQ(pointer_->locationReads - reads, 1);
    advance(CursorService::kPositionIntervalUs);
    EXPECT_EQ(pointer_->locationReads - reads, 2);
    ASSERT_EQ(states().size(), 3u);
    EXPECT_EQ(states()[2].x, 17039);  // 260 of 1000 points
    advance(100'000);
    EXPECT_EQ(pointer_->locationReads - reads, 2) << "no motion, no reads";
}

TEST_F(AnnouncedCursorTest, ShapesTouchesAndRegionsAreSentWithoutWaitingForMotion) {
    pointer_->newImage(arrow(6, 10));
    advance(10'000);
    ASSERT_EQ(shapes().size(), 2u);
    EXPECT_EQ(states().back().shapeId, 2u) << "the position goes out again under the new shape";

    service_->touchActivity(true);
    advance(10'000);
    EXPECT_EQ(states().back().visible, 0) << "a finger down hides the pointer at once";

    service_->setRegion({0, 0, 500, 500}, 1280);
    advance(10'000);
    EXPECT_EQ(states().back(), (KVCursorState{3, 13107, 13107, 0}));

    const size_t waits = queue_->pendingWaits();  // the tablet's channels wait too
    service_->stop();
    const size_t sent = received_.size();
    pointer_->moveTo({300, 300});
    advance(1'000'000);
    EXPECT_EQ(received_.size(), sent);
    EXPECT_EQ(queue_->pendingWaits(), waits - 1) << "stop ends the watch";
    EXPECT_EQ(queue_->armedTimers(), 0u);
}

}  // namespace
}  // namespace kelvo
