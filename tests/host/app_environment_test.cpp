// The environment the program builds: every part of it is wired, and the USB daemon's socket
// follows USBMUXD_SOCKET_ADDRESS as the daemon's own tools read it.
#include "host/wiring/app_environment.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "core/display/display_broker.hpp"
#include "core/session/permissions.hpp"
#include "testing/x_server.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(AppEnvironment, EveryPartOfTheProgramsEnvironmentIsWired) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;
    MainLoop loop;
    AppEnvironment app = makeAppEnvironment(loop.sharedExecutor(), server->display());
    ASSERT_TRUE(app.hasDesktop);
    const SessionEnvironment& env = app.session;

    EXPECT_TRUE(env.main);
    EXPECT_TRUE(env.makeQueue);
    EXPECT_TRUE(env.displayServices);
    EXPECT_TRUE(env.displays);
    EXPECT_TRUE(env.power);
    EXPECT_TRUE(env.permissions);
    EXPECT_TRUE(env.makeScreenSource);
    EXPECT_TRUE(env.makeEventSink);
    EXPECT_TRUE(env.makeFrontAppObserver);
    EXPECT_TRUE(env.frontWindowBounds);
    EXPECT_TRUE(env.makeCursorSource);
    EXPECT_TRUE(env.makeEncoder);
    EXPECT_TRUE(env.makeServiceBrowser);
    EXPECT_FALSE(env.usbmuxSocketPath.empty());
    env.displays->releaseNow();
}

TEST(AppEnvironment, WithoutAnXServerTheProgramStillHasItsQueuesAndDiscovery) {
    MainLoop loop;
    test::LogCapture log;
    AppEnvironment app = makeAppEnvironment(loop.sharedExecutor(), ":9999999");
    EXPECT_FALSE(app.hasDesktop);
    EXPECT_TRUE(app.session.main && app.session.makeQueue && app.session.permissions);
    EXPECT_FALSE(app.session.permissions->screenCapture());
    EXPECT_TRUE(app.session.makeServiceBrowser);
    EXPECT_TRUE(log.contains("no X server", "app"));
}

TEST(AppEnvironment, UsbmuxSocketFollowsTheDaemonsAddressVariable) {
    test::LogCapture log;
    {
        ScopedEnv unset("USBMUXD_SOCKET_ADDRESS", nullptr);
        EXPECT_EQ(usbmuxSocketPathFromEnvironment(), "/var/run/usbmuxd");
    }
    {
        ScopedEnv set("USBMUXD_SOCKET_ADDRESS", "UNIX:/tmp/kelvo-test/usbmuxd");
        EXPECT_EQ(usbmuxSocketPathFromEnvironment(), "/tmp/kelvo-test/usbmuxd");
        EXPECT_TRUE(log.contains("daemon socket /tmp/kelvo-test/usbmuxd (USBMUXD_SOCKET_ADDRESS)", "usbmux"));
    }
    {
        // The daemon's TCP form is not ours: said once, the standard socket kept.
        ScopedEnv tcp("USBMUXD_SOCKET_ADDRESS", "127.0.0.1:27015");
        EXPECT_EQ(usbmuxSocketPathFromEnvironment(), "/var/run/usbmuxd");
        EXPECT_TRUE(log.contains("USBMUXD_SOCKET_ADDRESS ignored (not a UNIX:/path address)", "usbmux"));
    }
}

}  // namespace
}  // namespace kelvo
