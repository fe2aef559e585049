#include "platform/uinput/pen_device.hpp"

#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>


namespace kelvo {
namespace {

struct Written {
    uint16_t type, code;
    int32_t value;
    friend bool operator==(const Written&, const Written&) = default;
};

// The devices made and the events each one was given.
struct Recording {
    std::vector<PenDeviceSetup> made;
    std::vector<Written> events;
    int failAfter = -1;  // writes that succeed before the device "disappears"; -1: never

    PenWriterFactory factory() {
        return [this](const PenDeviceSetup& setup) -> std::unique_ptr<PenEventWriter> {
            made.push_back(setup);
            return std::make_unique<Writer>(*this);
        };
    }
    std::vector<Written> take() { return std::exchange(events, {}); }

    struct Writer : PenEventWriter {
        explicit Writer(Recording& r) : r(r) {}
        bool write(uint16_t type, uint16_t code, int32_t value) override {
            if (r.failAfter == 0) return false;
            if (r.failAfter > 0) --r.failAfter;
            r.events.push_back({type, code, value});
            return true;
        }
        Recording& r;
    };
};

constexpr Written syn{EV_SYN, SYN_REPORT, 0};
Written key(uint16_t code, int32_t v) { return {EV_KEY, code, v}; }
Written abs(uint16_t code, int32_t v) { return {EV_ABS, code, v}; }

TEST(PenDevice, StrokeWritesToolPositionPressureAndContact) {
    Recording rec;
    PenDevice pen(rec.factory());
    pen.proximity(true, false);
    pen.tablet(TabletAction::down, 0.5, 0.25, 0.5);
    pen.tablet(TabletAction::drag, 1.5, -1, 1);  // clamped to the area
    pen.tablet(TabletAction::up, 0.75, 0.25, 0.9);
    pen.proximity(false, false);
    const std::vector<Written> want = {
        key(BTN_TOOL_PEN, 1), syn,
        abs(ABS_X, 32768), abs(ABS_Y, 16384), abs(ABS_PRESSURE, 2048), key(BTN_TOUCH, 1), syn,
        abs(ABS_X, 65535), abs(ABS_Y, 0), abs(ABS_PRESSURE, 4095), syn,
        abs(ABS_X, 49151), abs(ABS_Y, 16384), abs(ABS_PRESSURE, 0), key(BTN_TOUCH, 0), syn,
        key(BTN_TOOL_PEN, 0), syn,
    };
    EXPECT_EQ(rec.take(), want);
    ASSERT_EQ(rec.made.size(), 1u);
    EXPECT_EQ(rec.made[0].vendor, PenDevice::vendorKelvo);
    EXPECT_EQ(rec.made[0].maxPressure, PenDevice::maxPressure);
}

TEST(PenDevice, EraserVendorIdAndLiftingWhatIsHeld) {
    Recording rec;
    auto pen = std::make_unique<PenDevice>(rec.factory());
    // A contact without proximity brings the pen in first.
    pen->tablet(TabletAction::down, 0, 0, 0.5);
    EXPECT_EQ(rec.take().front(), key(BTN_TOOL_PEN, 1));

    // Turning to the eraser lifts the pen; the vendor id changes only with a new device, made
    // when the pen comes near again.
    pen->setSpoofWacom(true);
    pen->proximity(true, true);
    const std::vector<Written> swap = {
        abs(ABS_PRESSURE, 0), key(BTN_TOUCH, 0), syn, key(BTN_TOOL_PEN, 0), syn, key(BTN_TOOL_RUBBER, 1), syn,
    };
    EXPECT_EQ(rec.take(), swap);
    ASSERT_EQ(rec.made.size(), 2u);
    EXPECT_EQ(rec.made[1].vendor, PenDevice::vendorWacom);

    pen->tablet(TabletAction::down, 0, 0, 0.5);
    rec.take();
    pen.reset();
    const std::vector<Written> teardown = {abs(ABS_PRESSURE, 0), key(BTN_TOUCH, 0), syn, key(BTN_TOOL_RUBBER, 0), syn};
    EXPECT_EQ(rec.take(), teardown) << "teardown releases contact and tool";
}

TEST(PenDevice, LostDeviceIsMadeAgainAndReportedAsNotTaken) {
    Recording rec;
    PenDevice pen(rec.factory());
    EXPECT_TRUE(pen.tablet(TabletAction::down, 0.5, 0.5, 0.5));
    rec.failAfter = 0;
    EXPECT_FALSE(pen.tablet(TabletAction::drag, 0.5, 0.5, 0.5)) << "the caller falls back";
    EXPECT_FALSE(pen.inProximity());
    rec.failAfter = -1;
    EXPECT_FALSE(pen.tablet(TabletAction::drag, 0.5, 0.5, 0.5)) << "made again at the next contact only";
    EXPECT_EQ(rec.made.size(), 1u);
    rec.take();
    EXPECT_TRUE(pen.tablet(TabletAction::down, 0.5, 0.5, 0.5));
    EXPECT_EQ(rec.made.size(), 2u);

    PenDevice none([](const PenDeviceSetup&) { return nullptr; });
    EXPECT_FALSE(none.proximity(true, false));
    EXPECT_FALSE(none.tablet(TabletAction::down, 0.5, 0.5, 0.5));
}

TEST(PenDevice, UinputDeviceIsMadeWhereUinputIsWritable) {
    if (access("/dev/uinput", W_OK) != 0) GTEST_SKIP() << "skipped: /dev/uinput is not writable on this machine";
    PenDevice pen(uinputPenWriterFactory());
    EXPECT_TRUE(pen.proximity(true, false));
    EXPECT_TRUE(pen.tablet(TabletAction::down, 0.5, 0.5, 0.5));
    EXPECT_TRUE(pen.tablet(TabletAction::up, 0.5, 0.5, 0));
    PenDevice missing(uinputPenWriterFactory("/nonexistent/uinput"));
    EXPECT_FALSE(missing.proximity(true, false));
}

}  // namespace
}  // namespace kelvo
