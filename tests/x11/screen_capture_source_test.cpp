#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "core/runtime/manual_executor.hpp"
#include "testing/x_server.hpp"
#include "core/util/clock.hpp"
#include "core/video/h264_encoder.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/screen_capture_source.hpp"
#include "platform/x11/screen_grabber.hpp"
#include "pointer_control.hpp"
#include "support/test_support.hpp"

namespace kelvo {
using test::LogCapture;
using test::waitUntil;
namespace {

struct Rgb {
    int r, g, b;
};

// Another program drawing on the desktop: each rectangle is an unmanaged window of one colour.
class Painter {
public:
    explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    }
    ~Painter() { xcb_disconnect(c_); }
    void fill(int x, int y, int w, int h, Rgb colour) {
        xcb_window_t window = xcb_generate_id(c_);
        uint32_t values[] = {uint32_t(colour.r << 16 | colour.g << 8 | colour.b), 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen_->root, int16_t(x), int16_t(y), uint16_t(w),
                          uint16_t(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window);
        sync();
    }

private:
    void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
    xcb_connection_t* c_;
    xcb_screen_t* screen_;
};

// BT.709, video range.
struct Yuv {
    double y, cb, cr;
};
Yuv expected(Rgb c) {
    double y = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return {16 + y * 219 / 255, 128 + (c.b - y) / 1.8556 * 224 / 255, 128 + (c.r - y) / 1.5748 * 224 / 255};
}
Yuv sample(const PixelBuffer& f, int x, int y) {
    const uint8_t* uv = f.plane(1) + f.stride(1) * size_t(y / 2) + size_t(x / 2) * 2;
    return {double(f.plane(0)[f.stride(0) * size_t(y) + size_t(x)]), double(uv[0]), double(uv[1])};
}
void expectColour(const PixelBuffer& f, int x, int y, Rgb c) {
    Yuv want = expected(c), got = sample(f, x, y);
    EXPECT_NEAR(got.y, want.y, 2) << "Y at " << x << "," << y;
    EXPECT_NEAR(got.cb, want.cb, 2) << "Cb at " << x << "," << y;
    EXPECT_NEAR(got.cr, want.cr, 2) << "Cr at " << x << "," << y;
}

// Frames as they arrive, from the capture queue.
struct Frames {
    void operator()(const PixelBufferRef& buffer, uint64_t captureUs) {
        std::lock_guard g(m);
        last = buffer;
        lastUs = captureUs;
        ++count;
    }
    size_t seen() {
        std::lock_guard g(m);
        return count;
    }
    void reset() {
        std::lock_guard g(m);
        last = nullptr;
        count = 0;
    }
    PixelBufferRef latest() {
        std::lock_guard g(m);
        return last;
    }
    std::mutex m;
    PixelBufferRef last;
    uint64_t lastUs = 0;
    size_t count = 0;
};

struct Outcome {
    std::atomic<bool> done{false};
    std::mutex m;
    std::optional<SourceError> error;
    ScreenCaptureSource::StartCompletion completion() {
        return [this](std::optional<SourceError> e) {
            std::lock_guard g(m);
            error = std::move(e);
            done = true;
        };
    }
    std::string text() {
        std::lock_guard g(m);
        return error ? error->description : "";
    }
};

constexpr Rgb kBackground{40, 40, 40};
constexpr Rgb kRed{230, 20, 20}, kGreen{20, 200, 60}, kBlue{30, 60, 220}, kWhite{255, 255, 255};
constexpr Rgb kMagenta{255, 0, 255};

class ScreenCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot).release();
        if (!server_) {
            skipReason_ = new std::string(whyNot);
            return;
        }
        auto connected = RandrDisplayServices::connect(server_->display());
        if (connected.ok()) holder_ = new std::shared_ptr<DisplayServices>(std::move(connected).value());
        // Its windows last as long as its connection: the whole suite.
        painter_ = new Painter(server_->display());
        painter_->fill(0, 0, 1920, 1080, kBackground);
        painter_->fill(100, 100, 400, 300, kRed);
        painter_->fill(1200, 500, 400, 300, kGreen);
        painter_->fill(600, 300, 320, 200, kBlue);
    }
    static void TearDownTestSuite() {
        delete painter_;
        painter_ = nullptr;
        delete holder_;
        holder_ = nullptr;
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (!server_) GTEST_SKIP() << *skipReason_;
        ASSERT_TRUE(holder_);
        auto online = (*holder_)->onlineDisplays();
        ASSERT_FALSE(online.empty());
        display_ = online[0];
    }
    std::shared_ptr<ScreenCaptureSource> make(int width, int height, std::optional<Rect> part = std::nullopt,
                                              int fps = 30, bool showsCursor = false, bool sharedMemory = true) {
        ScreenCaptureSource::Options options{display_, width, height, fps, showsCursor, part};
        auto source = ScreenCaptureSource::make(
            options, {server_->display(), ScreenCaptureSource::boundsFrom(*holder_), 100'000, sharedMemory});
        source->setOnFrame([this](const PixelBufferRef& b, uint64_t us) { frames_(b, us); });
        return source;
    }
    // A 192×108 capture at 10 fps on `queue`, which the test drives.
    std::shared_ptr<ScreenCaptureSource> makeOn(const std::shared_ptr<ManualExecutor>& queue) {
        ScreenCaptureSource::Environment env{server_->display(), ScreenCaptureSource::boundsFrom(*holder_)};
        env.makeQueue = [queue](const std::string&) -> std::shared_ptr<Executor> { return queue; };
        auto source = ScreenCaptureSource::make({display_, 192, 108, 10, false, std::nullopt}, env);
        source->setOnFrame([this](const PixelBufferRef& b, uint64_t us) { frames_(b, us); });
        return source;
    }
    // makeOn(), started, its first frame (read at once) delivered; null when that failed.
    std::shared_ptr<ScreenCaptureSource> startedOn(const std::shared_ptr<ManualExecutor>& queue) {
        auto source = makeOn(queue);
        Outcome start;
        source->start(start.completion());
        queue->runUntilIdle();
        if (!start.done || start.text() != "") return nullptr;
        queue->advance(0);
        return frames_.seen() == 1u ? source : nullptr;
    }
    // Whether the capture on `queue` took notice of a drawing: the server's notice reaches its
    // connection in its own time.
    static bool noticed(ManualExecutor& queue) {
        return waitUntil([&] {
            queue.runUntilIdle();
            return queue.armedTimers() > 0;
        });
    }
    void startAndWaitForFrame(ScreenCaptureSource& source) {
        Outcome start;
        source.start(start.completion());
        ASSERT_TRUE(waitUntil([&] { return start.done.load(); }));
        ASSERT_EQ(start.text(), "");
        ASSERT_TRUE(waitUntil([&] { return frames_.seen() > 0; })) << testing::PrintToString(log_.messages());
    }

    static inline XServer* server_ = nullptr;
    static inline std::string* skipReason_ = nullptr;
    static inline Painter* painter_ = nullptr;
    static inline std::shared_ptr<DisplayServices>* holder_ = nullptr;
    DisplayId display_ = 0;
    LogCapture log_;
    Frames frames_;
};

TEST_F(ScreenCapture, ColourRectanglesComeOutAsBt709Nv12) {
    ASSERT_TRUE(test::noThreadNamed("kv.convert")) << "workers of an earlier test live on";
    for (bool sharedMemory : {true, false}) {
        SCOPED_TRACE(sharedMemory ? "shared memory" : "plain GetImage");
        frames_.reset();
        auto source = make(1920, 1080, std::nullopt, 30, false, sharedMemory);
        uint64_t before = Clock::nowUs();
        startAndWaitForFrame(*source);
        if (HasFatalFailure()) return;
        // Converted in bands, on workers scheduled as the capture's queue is, which go with it.
        auto workers = test::threadsNamed("kv.convert");
        EXPECT_EQ(workers.empty(), EncoderTuning::threads() == 1);
        for (auto w : workers) {
            EXPECT_EQ(w.policy, SCHED_OTHER);
            EXPECT_EQ(w.nice, ::getpriority(PRIO_PROCESS, 0));
        }
        source->stop();
        EXPECT_TRUE(test::noThreadNamed("kv.convert")) << "joined with the source";
        auto frame = frames_.latest();
        ASSERT_EQ(frame->format(), PixelFormat::nv12);
        ASSERT_EQ(frame->width(), 1920);
        ASSERT_EQ(frame->height(), 1080);
        EXPECT_GE(frames_.lastUs, before);
        EXPECT_LE(frames_.lastUs, Clock::nowUs());
        expectColour(*frame, 300, 150, kRed);
        expectColour(*frame, 1400, 650, kGreen);
        expectColour(*frame, 760, 400, kBlue);
        expectColour(*frame, 1800, 100, kBackground);
    }
}

// The pointer is part of the picture only when asked for, and its moves alone make new frames.
TEST_F(ScreenCapture, PointerIsDrawnInWhenAskedAndItsMovesMakeFrames) {
    test::PointerControl pointer(server_->display());
    ASSERT_TRUE(pointer.defineArgbCursor(16, 16, 0, 0, std::vector<uint32_t>(16 * 16, 0xffff00ffu)));
    pointer.warp(1700, 150);
    for (bool showsCursor : {false, true}) {
        SCOPED_TRACE(showsCursor ? "pointer drawn in" : "no pointer");
        frames_.reset();
        auto source = make(1920, 1080, std::nullopt, 60, showsCursor);
        startAndWaitForFrame(*source);
        if (HasFatalFailure()) return;
        expectColour(*frames_.latest(), 1708, 158, showsCursor ? kMagenta : kBackground);
        expectColour(*frames_.latest(), 1730, 158, kBackground);
        if (showsCursor) {
            pointer.warp(1750, 950);
            ASSERT_TRUE(waitUntil([&] { return frames_.seen() > 1; })) << "a move alone is a change";
            auto frame = frames_.latest();
            expectColour(*frame, 1758, 958, kMagenta);
            expectColour(*frame, 1708, 158, kBackground);
        }
        source->stop();
        pointer.warp(1700, 150);
    }
}

// The part is read and scaled to the output size; moving the capture takes it to another part.
TEST_F(ScreenCapture, SourceRectangleCropsAndScales) {
    auto source = make(160, 100, Rect{600, 300, 320, 200});
    startAndWaitForFrame(*source);
    if (HasFatalFailure()) return;
    auto frame = frames_.latest();
    for (auto [x, y] : {std::pair{2, 2}, {157, 2}, {2, 97}, {157, 97}, {80, 50}}) expectColour(*frame, x, y, kBlue);

    size_t seen = frames_.seen();
    Outcome moved;
    source->update(display_, Rect{1200, 500, 400, 300}, moved.completion());
    ASSERT_TRUE(waitUntil([&] { return moved.done.load(); }));
    EXPECT_EQ(moved.text(), "");
    // A new part is read even though nothing was drawn.
    ASSERT_TRUE(waitUntil([&] { return frames_.seen() > seen; }));
    expectColour(*frames_.latest(), 80, 50, kGreen);
    source->stop();

    Outcome late;
    source->update(display_, std::nullopt, late.completion());
    EXPECT_TRUE(late.done);  // at once, on this thread
    EXPECT_EQ(late.text(), "display " + std::to_string(display_) + " did not appear on the X screen");
}

TEST_F(ScreenCapture, UnchangedScreenGivesNoFramesAndAChangeGivesOne) {
    auto source = make(480, 270, std::nullopt, 60);
    startAndWaitForFrame(*source);
    if (HasFatalFailure()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some 18 ticks
    EXPECT_EQ(frames_.seen(), 1u);

    painter_->fill(1700, 900, 100, 100, kWhite);
    ASSERT_TRUE(waitUntil([&] { return frames_.seen() > 1; }));
    expectColour(*frames_.latest(), 1750 / 4, 950 / 4, kWhite);

    source->stop();
    size_t atStop = frames_.seen();
    painter_->fill(100, 900, 100, 100, kWhite);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(frames_.seen(), atStop);
}

// What capture waits on between frames: a descriptor that stays quiet while nothing is drawn.
TEST_F(ScreenCapture, DrawingIsAnnouncedOnTheGrabbersDescriptorAndPeekingResetsNothing) {
    auto connected = ScreenGrabber::connect(server_->display());
    ASSERT_TRUE(connected.ok()) << connected.error();
    auto grabber = std::move(connected).value();
    const int fd = grabber->damageFd();
    ASSERT_GE(fd, 0);
    auto readable = [fd](int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
    };
    grabber->takeDamage();  // whatever was drawn before
    EXPECT_FALSE(readable(200));
    EXPECT_FALSE(grabber->damagePending());

    painter_->fill(1700, 100, 50, 50, kMagenta);
    ASSERT_TRUE(readable(60'000));
    EXPECT_TRUE(grabber->damagePending());
    EXPECT_TRUE(grabber->damagePending()) << "peeking keeps the damage for the next frame";
    EXPECT_TRUE(grabber->takeDamage());
    EXPECT_FALSE(grabber->damagePending());
    EXPECT_FALSE(readable(200));
}

// A stop() while the display is still being looked for, or just after it was found: the start
// reports "stopped", and nothing is captured.
TEST_F(ScreenCapture, StopDuringStartReportsStoppedAndDeliversNothing) {
    for (bool foundWhenStopped : {false, true}) {
        SCOPED_TRACE(foundWhenStopped ? "stopped as the display was found" : "stopped while looking");
        auto weak = std::make_shared<std::weak_ptr<ScreenCaptureSource>>();
        std::atomic<int> lookups{0};
        auto bounds = ScreenCaptureSource::boundsFrom(*holder_);
        ScreenCaptureSource::Environment env{
            server_->display(),
            [&, weak, bounds](DisplayId id) -> std::optional<Rect> {
                ++lookups;
                if (auto source = weak->lock()) source->stop();
                return foundWhenStopped ? bounds(id) : std::nullopt;
            },
            1000};
        auto source = ScreenCaptureSource::make({display_, 320, 180, 30, false, std::nullopt}, env);
        *weak = source;
        source->setOnFrame([this](const PixelBufferRef& b, uint64_t us) { frames_(b, us); });
        Outcome start;
        source->start(start.completion());
        ASSERT_TRUE(waitUntil([&] { return start.done.load(); }));
        EXPECT_EQ(start.text(), "stopped");
        EXPECT_EQ(lookups.load(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(frames_.seen(), 0u);
    }
}

// On queues the test drives: a frame comes with the queue's clock, only when the timer fires and
// something changed, and none after stop().
TEST_F(ScreenCapture, QueuesFromTheEnvironmentRunInVirtualTime) {
    auto queue = std::make_shared<ManualExecutor>("kv.capture", 5'000'000);
    auto source = makeOn(queue);
    Outcome start;
    source->start(start.completion());
    EXPECT_FALSE(start.done);
    queue->runUntilIdle();
    ASSERT_TRUE(start.done);
    ASSERT_EQ(start.text(), "");
    queue->advance(0);
    ASSERT_EQ(frames_.seen(), 1u);
    EXPECT_EQ(frames_.lastUs, 5'000'000u);

    queue->advance(1'000'000);  // ten ticks over a still screen
    EXPECT_EQ(frames_.seen(), 1u);
    painter_->fill(1000, 100, 50, 50, kWhite);
    // The server's damage report reaches the capture's connection in its own time.
    ASSERT_TRUE(waitUntil([&] {
        queue->advance(100'000);
        return frames_.seen() > 1;
    }));
    // Stamped by the queue's clock, on the frame period the last advance crossed.
    EXPECT_LE(frames_.lastUs, queue->nowUs());
    EXPECT_GE(frames_.lastUs, queue->nowUs() - 100'000);

    source->stop();
    painter_->fill(1100, 100, 50, 50, kWhite);
    queue->advance(1'000'000);
    EXPECT_EQ(frames_.seen(), 2u);
    EXPECT_EQ(queue->armedTimers(), 0u);
}

// Frames follow the drawing, on the queue's clock: nothing wakes while nothing is drawn, a frame
// comes once the screen has been still a moment after a drawing, and however often the screen is
// drawn on, no faster than the frame rate.
TEST_F(ScreenCapture, FramesFollowTheDrawingAtMostAtTheFrameRate) {
    auto queue = std::make_shared<ManualExecutor>("kv.capture", 1'000'000);
    auto source = startedOn(queue);
    ASSERT_TRUE(source);

    queue->advance(1'000'000);
    EXPECT_EQ(frames_.seen(), 1u);
    EXPECT_EQ(queue->armedTimers(), 0u) << "nothing wakes while nothing is drawn";

    painter_->fill(1000, 200, 50, 50, kWhite);
    ASSERT_TRUE(noticed(*queue));
    const uint64_t noticeUs = queue->nowUs();
    queue->advance(499);
    EXPECT_EQ(frames_.seen(), 1u);
    queue->advance(1);
    ASSERT_EQ(frames_.seen(), 2u);
    EXPECT_EQ(frames_.lastUs, noticeUs + 500);

    // At 10 fps the next frame takes its turn: about a period later, with 5 % to catch up.
    painter_->fill(1100, 200, 50, 50, kRed);
    ASSERT_TRUE(noticed(*queue));
    queue->advance(90'000);
    EXPECT_EQ(frames_.seen(), 2u);
    queue->advance(10'000);
    EXPECT_EQ(frames_.seen(), 3u);
    expectColour(*frames_.latest(), 1125 / 10, 225 / 10, kRed);

    // Drawn at another phase of the period: the frame follows it, not a clock of its own.
    queue->advance(150'000);
    painter_->fill(1200, 200, 50, 50, kGreen);
    ASSERT_TRUE(noticed(*queue));
    const uint64_t lateUs = queue->nowUs();
    queue->advance(500);
    ASSERT_EQ(frames_.seen(), 4u);
    EXPECT_EQ(frames_.lastUs, lateUs + 500);

    source->stop();
    EXPECT_EQ(queue->armedTimers(), 0u);
}

// A drawing still going on when its frame is due holds the frame back until the screen is still,
// so that the frame has all of it; a screen that is never still holds it back half a period at most.
TEST_F(ScreenCapture, AFrameWaitsUntilTheScreenIsStill) {
    auto queue = std::make_shared<ManualExecutor>("kv.capture", 1'000'000);
    auto source = startedOn(queue);
    ASSERT_TRUE(source);
    queue->advance(1'000'000);

    // Made after the capture's: its notice of a drawing comes after the capture's.
    auto connected = ScreenGrabber::connect(server_->display());
    ASSERT_TRUE(connected.ok()) << connected.error();
    auto observer = std::move(connected).value();
    observer->takeDamage();
    auto drawAndSee = [&](int x, Rgb colour) {
        painter_->fill(x, 400, 40, 40, colour);
        for (int waited = 0; !observer->takeDamageAndSync(); waited += 100) {
            if (waited >= 60'000) return false;
            pollfd p{observer->damageFd(), POLLIN, 0};
            ::poll(&p, 1, 100);
        }
        return true;
    };

    painter_->fill(1000, 400, 40, 40, kWhite);
    ASSERT_TRUE(noticed(*queue));
    const uint64_t noticeUs = queue->nowUs();
    ASSERT_TRUE(drawAndSee(1040, kRed));
    queue->advance(500);
    EXPECT_EQ(frames_.seen(), 1u) << "drawn on since the notice";
    queue->advance(500);
    ASSERT_EQ(frames_.seen(), 2u);
    EXPECT_EQ(frames_.lastUs, noticeUs + 1'000);
    expectColour(*frames_.latest(), 1060 / 10, 420 / 10, kRed);

    // Drawn on at every look: at 10 fps the frame comes 50 ms after the notice all the same.
    queue->advance(200'000);
    painter_->fill(1000, 460, 40, 40, kGreen);
    ASSERT_TRUE(noticed(*queue));
    const uint64_t busyUs = queue->nowUs();
    for (int i = 0; frames_.seen() == 2u && i < 200; ++i) {
        ASSERT_TRUE(drawAndSee(1000 + i % 2 * 40, i % 2 ? kBlue : kGreen));
        queue->advance(500);
    }
    ASSERT_EQ(frames_.seen(), 3u);
    EXPECT_EQ(frames_.lastUs, busyUs + 50'000);

    source->stop();
}

}  // namespace

// A missing display is looked for 20 times, 100 ms apart, on the lookup queue's clock.
TEST(ScreenCaptureLookup, LookupsFollowTheControlQueueClock) {
    auto queue = std::make_shared<ManualExecutor>("kv.capture.control", 0);
    int lookups = 0;
    ScreenCaptureSource::Environment env{"", [&](DisplayId) -> std::optional<Rect> {
                                             ++lookups;
                                             return std::nullopt;
                                         }};
    env.makeQueue = [queue](const std::string&) -> std::shared_ptr<Executor> { return queue; };
    auto source = ScreenCaptureSource::make({4242, 640, 480, 30, false, std::nullopt}, env);
    Outcome start;
    source->start(start.completion());
    queue->runUntilIdle();
    EXPECT_EQ(lookups, 1);
    queue->advance(uint64_t(ScreenCaptureSource::kLookups - 1) * 100'000 - 1);
    EXPECT_EQ(lookups, ScreenCaptureSource::kLookups - 1);
    EXPECT_FALSE(start.done);
    queue->advance(1);
    EXPECT_EQ(lookups, ScreenCaptureSource::kLookups);
    ASSERT_TRUE(start.done);
    EXPECT_EQ(start.text(), "display 4242 did not appear on the X screen");
}

// Ended while a lookup's timer task runs, which holds the source: the release lets it go as that
// task ends, while the lookup it came from is still listed. The start completes once all the same.
TEST(ScreenCaptureLookup, AStartEndedDuringALookupCompletesOnce) {
    for (bool stops : {true, false}) {
        SCOPED_TRACE(stops ? "stopped and released" : "released");
        auto queue = std::make_shared<ManualExecutor>("kv.capture.control", 0);
        std::shared_ptr<ScreenCaptureSource> source;
        int lookups = 0;
        ScreenCaptureSource::Environment env{"", [&](DisplayId) -> std::optional<Rect> {
                                                 if (++lookups == 2) {
                                                     if (stops) source->stop();
                                                     source.reset();
                                                 }
                                                 return std::nullopt;
                                             }};
        env.makeQueue = [queue](const std::string&) -> std::shared_ptr<Executor> { return queue; };
        source = ScreenCaptureSource::make({4242, 640, 480, 30, false, std::nullopt}, env);
        std::vector<std::string> completions;
        source->start([&](std::optional<SourceError> e) { completions.push_back(e ? e->description : ""); });
        queue->runUntilIdle();
        queue->advance(100'000);
        queue->advance(uint64_t(ScreenCaptureSource::kLookups) * 100'000);
        EXPECT_EQ(lookups, 2);
        EXPECT_EQ(completions, std::vector<std::string>{"stopped"});
        EXPECT_EQ(queue->armedTimers(), 0u);
    }
}

// No server needed: the lookup never finds the display.
TEST(ScreenCaptureLookup, AMissingDisplayFailsAfterTwentyLookups) {
    std::atomic<int> lookups{0};
    ScreenCaptureSource::Environment env{"", [&](DisplayId) -> std::optional<Rect> {
                                             ++lookups;
                                             return std::nullopt;
                                         },
                                         1000};
    auto source = ScreenCaptureSource::make({4242, 640, 480, 30, false, std::nullopt}, env);
    Outcome start;
    source->start(start.completion());
    ASSERT_TRUE(waitUntil([&] { return start.done.load(); }));
    EXPECT_EQ(start.text(), "display 4242 did not appear on the X screen");
    EXPECT_EQ(lookups.load(), ScreenCaptureSource::kLookups);

    Outcome again;
    source->start(again.completion());
    ASSERT_TRUE(waitUntil([&] { return again.done.load(); }));
    EXPECT_NE(again.text(), "");

    // Released while it waits to look again: the start still completes, as stopped.
    env.lookupDelayUs = 60'000'000;
    source = ScreenCaptureSource::make({4242, 640, 480, 30, false, std::nullopt}, env);
    Outcome released;
    source->start(released.completion());
    ASSERT_TRUE(waitUntil([&] { return lookups.load() > ScreenCaptureSource::kLookups; }));
    source.reset();
    ASSERT_TRUE(waitUntil([&] { return released.done.load(); }));
    EXPECT_EQ(released.text(), "stopped");
}

}  // namespace kelvo
