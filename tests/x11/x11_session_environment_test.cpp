#include <gtest/gtest.h>

#include <atomic>

#include "core/display/display_broker.hpp"
#include "testing/x_server.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "host/wiring/app_environment.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// The desktop's environment on a server of the test's own: a virtual display made through the
// broker is captured by the environment's screen source, and the sink reaches the server.
TEST(X11SessionEnvironmentTest, BrokerDisplayIsCapturedThroughTheEnvironment) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;
    MainLoop loop;
    auto made = makeX11SessionEnvironment(loop.sharedExecutor(), server->display());
    ASSERT_TRUE(made.ok()) << made.error();
    SessionEnvironment env = std::move(made).value();
    ASSERT_TRUE(env.displays && env.displayServices && env.power && env.permissions);
    EXPECT_EQ(env.makeQueue("kv.s.video")->label(), "kv.s.video");
    EXPECT_TRUE(env.makeEventSink(env.makeQueue("kv.input")));

    DisplayId display = env.displayServices->mainDisplay();
    if (server->resizable()) {
        auto acquired = env.displays->acquire({"key-1", "Tablet"}, Orientation::landscape, DisplaySourceKind::virtual_,
                                              0, {197, 148}, DisplayPreset::standard);
        ASSERT_TRUE(acquired.ok()) << acquired.error().description();
        display = acquired.value()->displayID();
    }
    auto source = env.makeScreenSource({display, 320, 240, 30, false, std::nullopt});
    ASSERT_TRUE(source);
    std::atomic<int> frames{0};
    std::atomic<bool> started{false};
    source->setOnFrame([&](const PixelBufferRef&, uint64_t) { ++frames; });
    source->start([&](std::optional<SourceError> error) {
        EXPECT_FALSE(error) << error->description;
        started = true;
    });
    EXPECT_TRUE(test::waitUntil([&] { return started && frames > 0; }));
    source->stop();
    env.displays->releaseNow();
}

TEST(X11SessionEnvironmentTest, UnreachableServerIsAnError) {
    MainLoop loop;
    auto made = makeX11SessionEnvironment(loop.sharedExecutor(), ":9999999");
    EXPECT_FALSE(made.ok());
}

}  // namespace
}  // namespace kelvo
