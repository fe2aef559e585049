// How far a two-finger drag on the tablet scrolls a real text view on the X server: the whole
// input road (touch frames → touch-mode recognizer → scroll synthesizer → XTest wheel clicks)
// into a Qt text edit running on the test's own server, whose scroll bar tells the distance.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/input/input_scheduler.hpp"
#include "core/input/input_service.hpp"
#include "core/input/touch_frame.hpp"
#include "testing/x_server.hpp"
#include "platform/x11/xtest_event_sink.hpp"

namespace kelvo {
namespace {

struct Measured {
    double fingersPx;  // how far the fingers moved, in desktop pixels
    double contentPx;  // how far the text moved
};

class ScrollDistance : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string whyNot;
        server_ = XServer::start(XServer::Want::any, &whyNot).release();
        if (!server_) {
            whyNot_ = new std::string(whyNot);
            return;
        }
        setenv("DISPLAY", server_->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "scroll_distance";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        delete server_;
    }
    void SetUp() override {
        if (!server_) GTEST_SKIP() << *whyNot_;
    }

    // A two-finger drag of `distance` tablet points upwards, slow and held still before the lift
    // (no momentum), on a tablet of `tabletPoints` showing `region` of the desktop.
    Measured drag(double distance, Size tabletPoints, Rect region) {
        QTextEdit view;
        QString text;
        for (int i = 0; i < 3000; ++i) text += QString("Line %1 of a long text to scroll through\n").arg(i);
        view.setPlainText(text);
        view.setGeometry(100, 100, 700, 600);
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
        QScrollBar* bar = view.verticalScrollBar();
        bar->setValue(bar->maximum() / 2);
        QApplication::processEvents();
        const int before = bar->value();

        auto sink = XTestEventSink::connect(server_->display());
        EXPECT_TRUE(sink.ok());
        std::shared_ptr<EventSink> shared(std::move(sink).value());
        auto scheduler = std::make_shared<ManualScheduler>(0);
        InputParams params;
        auto service = std::make_shared<InputService>(shared, CoordinateMapper{region, tabletPoints}, params,
                                                      ResolvedProfile{}, InputMode::touch, scheduler->queue(), scheduler);
        // The fingers start over the middle of the view.
        const Point start{(450 - region.x) / region.width * tabletPoints.width,
                          (400 - region.y) / region.height * tabletPoints.height};
        uint64_t t = 0;
        auto frame = [&](TouchPhase phase, double moved) {
            std::vector<TouchSample> touches;
            for (uint8_t id : {1, 2}) {
                const Point p{start.x + (id == 1 ? -30 : 30), start.y - moved};
                touches.push_back({id, phase, 1, {p.x / tabletPoints.width, p.y / tabletPoints.height}, 8, 2});
            }
            if (t > scheduler->nowUs()) scheduler->advance(t - scheduler->nowUs());
            service->handle({static_cast<uint8_t>(MsgType::touchFrame), 0, TouchFrame{t, std::move(touches)}.encode()});
            scheduler->queue()->runUntilIdle();
        };
        frame(TouchPhase::began, 0);
        constexpr int steps = 60;  // one second at 60 Hz
        for (int i = 1; i <= steps; ++i) {
            t += 16'667;
            frame(TouchPhase::moved, distance * i / steps);
        }
        for (int i = 0; i < 12; ++i) {  // held still for 200 ms
            t += 16'667;
            frame(TouchPhase::stationary, distance);
        }
        t += 16'667;
        frame(TouchPhase::ended, distance);
        scheduler->advance(2'000'000);  // any momentum runs out
        scheduler->queue()->post([&] { service->stop(); });  // it waits for its queue: run it there
        scheduler->queue()->runUntilIdle();

        // The clicks are in the server once each post returned; let the view take them all.
        int last = -1;
        for (int quiet = 0; quiet < 20;) {
            QTest::qWait(20);
            quiet = bar->value() == last ? quiet + 1 : 0;
            last = bar->value();
        }
        return {distance * region.width / tabletPoints.width, double(std::abs(bar->value() - before))};
    }

    static XServer* server_;
    static std::string* whyNot_;
    static QApplication* app_;
};
XServer* ScrollDistance::server_ = nullptr;
std::string* ScrollDistance::whyNot_ = nullptr;
QApplication* ScrollDistance::app_ = nullptr;

TEST_F(ScrollDistance, TwoFingerDragScrollsATextViewAboutAsFarAsTheFingersMoved) {
    const struct {
        const char* what;
        Size tablet;
        Rect region;
    } cases[] = {
        // The 1024 × 768 preset made at twice its points, on a tablet of as many points.
        {"preset on a tablet of its points", {1024, 768}, {0, 0, 2048, 1536}},
        // The largest preset on a tablet of 1366 × 1024 points.
        {"largest preset", {1366, 1024}, {0, 0, 2732, 2048}},
        // A 1920 × 1080 monitor shown on a tablet of 1366 × 768 points.
        {"monitor shown as it is", {1366, 768}, {0, 0, 1920, 1080}},
    };
    for (const auto& c : cases) {
        const Measured m = drag(150, c.tablet, c.region);
        const double ratio = m.contentPx / m.fingersPx;
        std::printf("scroll distance, %s: fingers %.0f px, text %.0f px, ratio %.2f (%d px of scroll a wheel click)\n",
                    c.what, m.fingersPx, m.contentPx, ratio, XTestEventSink::pixelsPerWheelStep);
        EXPECT_GE(ratio, 0.5) << c.what;
        EXPECT_LE(ratio, 2.0) << c.what;
    }
}

}  // namespace
}  // namespace kelvo
