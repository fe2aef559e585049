#include "platform/x11/xfixes_cursor_source.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xtest.h>

#include "core/protocol/records.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/x_server.hpp"
#include "core/video/cursor_service.hpp"
#include "pointer_control.hpp"
#include "support/png_reader.hpp"
#include "support/recording_peer.hpp"

namespace kelvo {
namespace {

// Premultiplied pixels with every alpha from clear to opaque.
std::vector<uint32_t> pattern(int width, int height, uint32_t seed) {
    std::vector<uint32_t> out;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint32_t a = uint32_t(x * 11 + y * 3) & 0xff;
            out.push_back(test::premultiply(a << 24 | ((uint32_t(x * 9) + seed) & 0xff) << 16 |
                                            uint32_t(y * 10 & 0xff) << 8 | (seed * 3 & 0xff)));
        }
    }
    return out;
}

class XfixesCursor : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot);
        if (!server_) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(tablet_.host);
    }

    std::unique_ptr<XServer> server_;
    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>("kv.cursor", 0);
    test::RecordingPeer tablet_{queue_};
};

TEST_F(XfixesCursor, RootPointerAndWarpsReachTheTabletAsShapesAndPositions) {
    test::PointerControl pointer(server_->display());
    auto pixels = pattern(24, 24, 1);
    ASSERT_TRUE(pointer.defineArgbCursor(24, 24, 3, 7, pixels));
    pointer.warp(480, 270);

    auto source = XfixesCursorSource::connect(server_->display());
    ASSERT_TRUE(source.ok()) << source.error();
    auto service = CursorService::make(tablet_.host, Rect{0, 0, 1920, 1080}, 1920, false, queue_,
                                       std::shared_ptr<CursorSource>(std::move(source).value()));
    service->start();
    queue_->advance(20'000);

    auto shapes = tablet_.ofType(MsgType::cursorShape);
    ASSERT_EQ(shapes.size(), 1u);
    auto header = *shapes[0].load<KVCursorShapeHeader>();
    EXPECT_EQ(header, (KVCursorShapeHeader{1, 8192, 19114, 819, 1456, header.pngLength}));  // 3/24, 7/24, 24/1920, 24/1080
    auto png = test::decodePng(std::span(shapes[0].payload).subspan(KVCursorShapeHeader::kSize), true);
    EXPECT_EQ(png, (test::DecodedPng{24, 24, pixels}));

    auto states = tablet_.ofType(MsgType::cursorState);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(*states[0].load<KVCursorState>(), (KVCursorState{1, 16384, 16384, 1}));  // a quarter across and down

    pointer.warp(1440, 810);
    queue_->advance(10'000);
    states = tablet_.ofType(MsgType::cursorState);
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(*states[1].load<KVCursorState>(), (KVCursorState{1, 49151, 49151, 1}));

    // A new image is noticed by the poll and sent under the next id.
    ASSERT_TRUE(pointer.defineArgbCursor(16, 16, 0, 0, pattern(16, 16, 2)));
    queue_->advance(60'000);
    shapes = tablet_.ofType(MsgType::cursorShape);
    ASSERT_EQ(shapes.size(), 2u);
    EXPECT_EQ(shapes[1].load<KVCursorShapeHeader>()->shapeId, 2u);
    service->stop();
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

TEST_F(XfixesCursor, MotionIsAnnouncedOnTheDescriptorAndAStillPointerKeepsItQuiet) {
    test::PointerControl pointer(server_->display());
    auto made = XfixesCursorSource::connect(server_->display());
    ASSERT_TRUE(made.ok()) << made.error();
    auto source = std::move(made).value();
    const int fd = source->changeFd();
    ASSERT_GE(fd, 0) << "the test server has XInput 2";
    source->takeMotion();
    EXPECT_FALSE(readable(fd, 200));
    EXPECT_FALSE(source->takeMotion());

    // A warp, as another program makes it.
    pointer.warp(300, 200);
    ASSERT_TRUE(readable(fd, 10'000));
    EXPECT_TRUE(source->takeMotion());
    EXPECT_FALSE(source->takeMotion());
    EXPECT_EQ(source->location(), (Point{300, 200}));

    // Motion of a device, as injected input makes it.
    xcb_connection_t* c = xcb_connect(server_->display().c_str(), nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, 400, 250, 0);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
    ASSERT_TRUE(readable(fd, 10'000));
    EXPECT_TRUE(source->takeMotion());
    EXPECT_EQ(source->location(), (Point{400, 250}));
    queue_->runUntilIdle();  // the fixture's tablet channels
}

}  // namespace
}  // namespace kelvo
