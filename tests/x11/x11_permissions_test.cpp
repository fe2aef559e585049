#include "platform/x11/x11_permissions.hpp"

#include <gtest/gtest.h>

#include "testing/x_server.hpp"
#include "platform/x11/dpms_state.hpp"

namespace kelvo {
namespace {

TEST(X11HostEnvironment, PermissionsAndDisplayPowerOnARealServer) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;

    X11Permissions permissions(server->display());
    EXPECT_TRUE(permissions.screenCapture());
    EXPECT_TRUE(permissions.accessibility());
    EXPECT_TRUE(permissions.requestAccessibility());
    permissions.declareUserActivity();

    // The test servers do not manage display power: their displays are on.
    EXPECT_EQ(DpmsState(server->display()).displaysAsleep(), false);
}

TEST(X11HostEnvironment, NothingIsPermittedOrReadableWithoutAServer) {
    const std::string nowhere = ":65000";
    X11Permissions permissions(nowhere);
    EXPECT_FALSE(permissions.screenCapture());
    EXPECT_FALSE(permissions.accessibility());
    EXPECT_FALSE(permissions.requestScreenCapture());
    permissions.declareUserActivity();
    EXPECT_EQ(DpmsState(nowhere).displaysAsleep(), std::nullopt);
}

}  // namespace
}  // namespace kelvo
