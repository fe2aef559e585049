#include "platform/x11/pen_tablet_event_sink.hpp"

#include <gtest/gtest.h>
#include <linux/input.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>
#include <sys/uio.h>

#include <cstring>

#include "core/runtime/manual_executor.hpp"
#include "testing/x_server.hpp"
#include "platform/x11/xcb_session.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Matrix = std::array<float, 9>;

TEST(PenMapping, MatrixMapsTheDeviceOntoItsMonitorOfTheWholeScreen) {
    // A 1920 × 1080 monitor, a 1280 × 1024 one to its right (lower), a 3200 × 1104 screen.
    const SizeD screen{3200, 1104};
    const struct {
        Rect area;
        Matrix want;
    } cases[] = {
        {{0, 0, 1920, 1080}, {0.6f, 0, 0, 0, 1080.f / 1104, 0, 0, 0, 1}},
        {{1920, 80, 1280, 1024}, {0.4f, 0, 0.6f, 0, 1024.f / 1104, 80.f / 1104, 0, 0, 1}},
        {{0, 0, 3200, 1104}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {{0, 0, 0, 1080}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},  // nothing to map onto: identity
    };
    for (const auto& c : cases) {
        auto m = coordinateTransformMatrix(c.area, screen);
        for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(m[i], c.want[i]) << "area x " << c.area.x << " item " << i;
    }
    EXPECT_EQ(coordinateTransformMatrix({0, 0, 100, 100}, {0, 0}), (Matrix{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    const std::vector<Rect> monitors = {{0, 0, 1920, 1080}, {1920, 80, 1280, 1024}, {1920, 80, 800, 600}};
    EXPECT_EQ(monitorAt(monitors, 100, 100), monitors[0]);
    EXPECT_EQ(monitorAt(monitors, 2000, 100), monitors[2]) << "the smaller monitor lying over another";
    EXPECT_EQ(monitorAt(monitors, 3000, 1000), monitors[1]);
    EXPECT_EQ(monitorAt(monitors, 3000, 20), monitors[0]) << "off every monitor: the first";
    EXPECT_EQ(monitorAt({}, 0, 0), std::nullopt);
}

// The devices made and the events written into them.
struct PenRecording {
    int made = 0;
    std::vector<std::array<int32_t, 3>> events;
    struct Writer : PenEventWriter {
        explicit Writer(PenRecording& r) : r(r) {}
        bool write(uint16_t type, uint16_t code, int32_t value) override {
            r.events.push_back({type, code, value});
            return true;
        }
        PenRecording& r;
    };
    PenWriterFactory factory() {
        return [this](const PenDeviceSetup&) -> std::unique_ptr<PenEventWriter> {
            ++made;
            return std::make_unique<Writer>(*this);
        };
    }
    // (x, y, pressure) of every position report.
    std::vector<std::array<int32_t, 3>> positions() const {
        std::vector<std::array<int32_t, 3>> out;
        for (size_t i = 0; i + 2 < events.size(); ++i) {
            if (events[i][0] == EV_ABS && events[i][1] == ABS_X) out.push_back({events[i][2], events[i + 1][2], events[i + 2][2]});
        }
        return out;
    }
};

class PenSink : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot);
        if (!server_) GTEST_SKIP() << whyNot;
        probe_ = XcbSession::open(server_->display());
        ASSERT_TRUE(probe_);
    }
    std::shared_ptr<PenTabletEventSink> makeSink(PenWriterFactory factory) {
        auto xtest = XTestEventSink::connect(server_->display());
        EXPECT_TRUE(xtest.ok());
        auto mapping = X11PenMapping::open(server_->display(), PenDevice::deviceName);
        EXPECT_TRUE(mapping);
        return std::make_shared<PenTabletEventSink>(std::move(xtest).value(), std::move(factory), std::move(mapping),
                                                    queue_);
    }
    uint16_t pointerMask() {
        auto* c = probe_.connection.get();
        XcbReply<xcb_query_pointer_reply_t> r(xcb_query_pointer_reply(c, xcb_query_pointer(c, probe_.root), nullptr));
        return r ? r->mask : 0xffff;
    }

    std::unique_ptr<XServer> server_;
    XcbSession probe_;
    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>("kv.input");
};

// A request of two parts written out by hand: the generated bindings of this libxcb miscount
// the length of requests with variable parts, and the library then aborts.
void send(xcb_connection_t* c, uint8_t opcode, xcb_extension_t* ext, void* head, size_t headSize, void* body,
          size_t bodySize) {
    const xcb_protocol_request_t request = {2, ext, opcode, 1};
    iovec parts[4];  // xcb_send_request uses the two before the request's own parts
    parts[2] = {head, headSize};
    parts[3] = {body, bodySize};
    xcb_send_request(c, 0, parts + 2, &request);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// The X side of a uinput pen, as udev and the input driver bring it to the server a moment after
// the device is made: an XInput master device of the pen's name, whose XTEST pointer (named
// "Kelvo Pen XI XTEST pointer") takes a matrix as a real pen does.
void listPenDevice(const std::string& display) {
    auto session = XcbSession::open(display);
    auto* c = session.connection.get();
    // Of a whole number of 4-byte units, so that the request needs no padding.
    const std::string name = std::string(PenDevice::deviceName) + " XI";
    std::vector<uint8_t> change(sizeof(xcb_input_add_master_t) + (name.size() + 3) / 4 * 4);
    xcb_input_add_master_t head{XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER, uint16_t(change.size() / 4),
                                uint16_t(name.size()), 1, 1};
    std::memcpy(change.data(), &head, sizeof head);
    std::memcpy(change.data() + sizeof head, name.data(), name.size());
    xcb_input_xi_change_hierarchy_request_t request{};
    request.num_changes = 1;
    send(c, XCB_INPUT_XI_CHANGE_HIERARCHY, &xcb_input_id, &request, sizeof request, change.data(), change.size());
}

TEST_F(PenSink, PenEventsGoToThePenDeviceRelativeToTheMonitorUnderThePen) {
    listPenDevice(server_->display());  // known to the server from the start
    PenRecording rec;
    auto sink = makeSink(rec.factory());
    sink->post(synth::Proximity{true, false}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::down, {960, 270}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::drag, {1920, 1080}, 0, 0, 1}, EventFlag::none);
    EXPECT_EQ(pointerMask() & XCB_BUTTON_MASK_1, 0) << "not through XTest";
    sink->post(synth::Tablet{TabletAction::drag, {1000, 500}, 0, 0, 1}, EventFlag::shift);
    EXPECT_EQ(pointerMask() & XCB_MOD_MASK_SHIFT, XCB_MOD_MASK_SHIFT) << "a sidebar modifier is held while drawing";
    sink->post(synth::Tablet{TabletAction::up, {480, 540}, 0, 0, 0}, EventFlag::none);
    EXPECT_EQ(pointerMask() & XCB_MOD_MASK_SHIFT, 0);
    const std::vector<std::array<int32_t, 3>> want = {
        {32768, 16384, 2048}, {65535, 65535, 4095}, {34133, 30340, 4095}, {16384, 32768, 0}};
    EXPECT_EQ(rec.positions(), want) << "fractions of the test server's 1920 × 1080 monitor";

    sink->post(synth::Tablet{TabletAction::down, {100, 100}, 0, 0, 0.5}, EventFlag::none);
    size_t before = rec.events.size();
    sink->setLocked(true);
    EXPECT_GT(rec.events.size(), before) << "locking lifts the pen";
    before = rec.events.size();
    sink->post(synth::Tablet{TabletAction::down, {100, 100}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Proximity{true, true}, EventFlag::none);
    EXPECT_EQ(rec.events.size(), before) << "nothing is injected while locked";
    EXPECT_EQ(rec.made, 1);
}

// A pressure-only stroke: no proximity events come, so the contact brings the pen in and its end
// takes it out again; the device made by the first stroke is mapped before that stroke is written,
// the strokes posted meanwhile wait whole for it, and the queue's timer lets them out.
TEST_F(PenSink, PressureOnlyStrokeLeavesProximityAtItsEndAndIsMappedFromTheFirstStroke) {
    // A monitor on the right half of the top half: the pen's matrix differs from the identity.
    auto* c = probe_.connection.get();
    xcb_randr_monitor_info_t monitor{internAtoms(c, {"PEN-TEST"})[0], 0, 1, 0, 960, 0, 960, 540, 254, 143};
    xcb_randr_set_monitor_request_t setMonitor{};
    setMonitor.window = probe_.root;
    send(c, XCB_RANDR_SET_MONITOR, &xcb_randr_id, &setMonitor, sizeof setMonitor, &monitor, sizeof monitor);

    auto probe = X11PenMapping::open(server_->display(), "unused");
    ASSERT_TRUE(probe);
    PenRecording rec;
    std::optional<Matrix> matrixAtFirstWrite;
    auto recording = rec.factory();
    auto sink = makeSink([&](const PenDeviceSetup& setup) {
        auto writer = recording(setup);
        struct Checking : PenEventWriter {
            bool write(uint16_t type, uint16_t code, int32_t value) override {
                if (first) *matrix = probe->matrix(PenDevice::deviceName).value_or(Matrix{});
                first = false;
                return inner->write(type, code, value);
            }
            std::unique_ptr<PenEventWriter> inner;
            X11PenMapping* probe;
            std::optional<Matrix>* matrix;
            bool first = true;
        };
        auto checking = std::make_unique<Checking>();
        checking->inner = std::move(writer);
        checking->probe = probe.get();
        checking->matrix = &matrixAtFirstWrite;
        return checking;
    });

    for (int stroke = 0; stroke < 2; ++stroke) {
        sink->post(synth::Tablet{TabletAction::down, {1200, 270}, 0, 0, 0.5}, EventFlag::none);
        sink->post(synth::Tablet{TabletAction::drag, {1440, 405}, 0, 0, 1}, EventFlag::none);
        sink->post(synth::Tablet{TabletAction::up, {1440, 405}, 0, 0, 0}, EventFlag::none);
    }
    EXPECT_TRUE(rec.events.empty()) << "held while the server does not list the device";
    listPenDevice(server_->display());
    queue_->advance(PenTabletEventSink::kDeviceCheckUs);
    const std::vector<std::array<int32_t, 3>> stroke = {
        {EV_KEY, BTN_TOOL_PEN, 1}, {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_X, 16384}, {EV_ABS, ABS_Y, 32768}, {EV_ABS, ABS_PRESSURE, 2048}, {EV_KEY, BTN_TOUCH, 1}, {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_X, 32768}, {EV_ABS, ABS_Y, 49151}, {EV_ABS, ABS_PRESSURE, 4095}, {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_X, 32768}, {EV_ABS, ABS_Y, 49151}, {EV_ABS, ABS_PRESSURE, 0}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0},
        {EV_KEY, BTN_TOOL_PEN, 0}, {EV_SYN, SYN_REPORT, 0},
    };
    auto want = stroke;
    want.insert(want.end(), stroke.begin(), stroke.end());
    EXPECT_EQ(rec.events, want) << "the pen leaves proximity with each stroke's end";
    EXPECT_EQ(rec.made, 1);
    ASSERT_TRUE(matrixAtFirstWrite);
    EXPECT_EQ(*matrixAtFirstWrite, coordinateTransformMatrix({960, 0, 960, 540}, {1920, 1080}))
        << "mapped onto its monitor before the first stroke is written";
}

// Everything posted after the new device keeps its place behind the pen's events, XTest's too,
// and the next post after the server lists the device lets it all out.
TEST_F(PenSink, PostsWhileTheNewDeviceIsUnlistedWaitAndFollowInOrderOnceListed) {
    PenRecording rec;
    auto sink = makeSink(rec.factory());
    sink->post(synth::Proximity{true, false}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::down, {960, 270}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::drag, {1920, 1080}, 0, 0, 1}, EventFlag::shift);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(pointerMask() & XCB_MOD_MASK_SHIFT, 0) << "the modifier waits with the stroke";

    listPenDevice(server_->display());
    sink->post(synth::Tablet{TabletAction::up, {480, 540}, 0, 0, 0}, EventFlag::shift);
    const std::vector<std::array<int32_t, 3>> want = {{32768, 16384, 2048}, {65535, 65535, 4095}, {16384, 32768, 0}};
    EXPECT_EQ(rec.positions(), want);
    EXPECT_EQ(pointerMask() & XCB_MOD_MASK_SHIFT, XCB_MOD_MASK_SHIFT);
    EXPECT_EQ(queue_->armedTimers(), 0u) << "nothing left to check";
}

// A device the server never lists: the held events go out when the wait is over, with one
// warning, and later posts no longer wait.
TEST_F(PenSink, HeldEventsOfADeviceNeverListedGoOutAtTheTimeOutWithOneWarning) {
    test::LogCapture log;
    PenRecording rec;
    auto sink = makeSink(rec.factory());
    sink->post(synth::Tablet{TabletAction::down, {960, 270}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::up, {960, 270}, 0, 0, 0}, EventFlag::none);
    queue_->advance(PenTabletEventSink::kDeviceWaitUs - PenTabletEventSink::kDeviceCheckUs);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(log.count("did not list the pen device", "inject"), 0u);

    queue_->advance(PenTabletEventSink::kDeviceCheckUs);
    const std::vector<std::array<int32_t, 3>> stroke = {{32768, 16384, 2048}, {32768, 16384, 0}};
    EXPECT_EQ(rec.positions(), stroke);
    sink->post(synth::Tablet{TabletAction::down, {960, 270}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::up, {960, 270}, 0, 0, 0}, EventFlag::none);
    queue_->advance(PenTabletEventSink::kDeviceWaitUs);
    EXPECT_EQ(rec.positions().size(), 4u);
    EXPECT_EQ(log.count("the X server did not list the pen device within 1500 ms", "inject"), 1u);
    EXPECT_EQ(rec.made, 1);
}

// Locking drops the posts held (the lock screen must not get them) but still lifts the pen that
// the held contact put down.
TEST_F(PenSink, LockingWhileHeldDropsTheHeldPostsAndLiftsThePen) {
    PenRecording rec;
    auto sink = makeSink(rec.factory());
    sink->post(synth::Tablet{TabletAction::down, {960, 270}, 0, 0, 0.5}, EventFlag::none);
    sink->post(synth::Tablet{TabletAction::drag, {1000, 300}, 0, 0, 1}, EventFlag::none);
    sink->setLocked(true);
    listPenDevice(server_->display());
    queue_->advance(PenTabletEventSink::kDeviceCheckUs);
    const std::vector<std::array<int32_t, 3>> want = {
        {EV_KEY, BTN_TOOL_PEN, 1}, {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_X, 32768}, {EV_ABS, ABS_Y, 16384}, {EV_ABS, ABS_PRESSURE, 2048}, {EV_KEY, BTN_TOUCH, 1}, {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_PRESSURE, 0}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0},
        {EV_KEY, BTN_TOOL_PEN, 0}, {EV_SYN, SYN_REPORT, 0},
    };
    EXPECT_EQ(rec.events, want);
}

TEST_F(PenSink, WithoutAPenDeviceStrokesGoThroughXTest) {
    auto sink = makeSink([](const PenDeviceSetup&) { return nullptr; });
    sink->post(synth::Tablet{TabletAction::down, {300, 200}, 0, 0, 0.5}, EventFlag::none);
    EXPECT_EQ(pointerMask() & XCB_BUTTON_MASK_1, XCB_BUTTON_MASK_1);
    sink->post(synth::Tablet{TabletAction::up, {300, 200}, 0, 0, 0}, EventFlag::none);
    EXPECT_EQ(pointerMask() & XCB_BUTTON_MASK_1, 0);
}

TEST_F(PenSink, MatrixIsSetOnTheNamedInputDevice) {
    auto mapping = X11PenMapping::open(server_->display(), "unused");
    ASSERT_TRUE(mapping);
    // The server's own XTest pointer stands in for the pen: it has the same property.
    const std::string device = "Virtual core XTEST pointer";
    const Matrix m = coordinateTransformMatrix({1920, 80, 1280, 1024}, {3200, 1104});
    ASSERT_TRUE(mapping->setMatrix(device, m));
    EXPECT_EQ(mapping->matrix(device), m);
    ASSERT_TRUE(mapping->setMatrix(device, coordinateTransformMatrix({0, 0, 1, 1}, {1, 1})));
    EXPECT_FALSE(mapping->setMatrix("No such device", m));
}

TEST(X11EventSinkFactory, FallsBackToXTestWhereUinputIsNotWritable) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;
    auto queue = std::make_shared<ManualExecutor>("kv.input");
    auto sink = makeX11EventSink(server->display(), queue, "/nonexistent/uinput");
    EXPECT_NE(dynamic_cast<XTestEventSink*>(sink.get()), nullptr);
    EXPECT_EQ(makeX11EventSink(":nonexistent", queue), nullptr);
}

}  // namespace
}  // namespace kelvo
