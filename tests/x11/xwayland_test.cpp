#include "platform/x11/xwayland.hpp"

#include <gtest/gtest.h>

#include "testing/x_server.hpp"
#include "platform/x11/xcb_session.hpp"

namespace kelvo {
namespace {

TEST(XWayland, KnownByItsExtensionOrItsOutputNames) {
    EXPECT_TRUE(looksLikeXWayland(true, {}));
    EXPECT_TRUE(looksLikeXWayland(false, {"XWAYLAND0"}));
    EXPECT_TRUE(looksLikeXWayland(false, {"DUMMY0", "XWAYLAND12"}));
    EXPECT_FALSE(looksLikeXWayland(false, {}));
    EXPECT_FALSE(looksLikeXWayland(false, {"eDP-1", "HDMI-1", "DUMMY0", "xwayland0"}));
}

TEST(XWayland, AnXorgOrXvfbServerIsNotXWayland) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;
    XcbSession x = XcbSession::open(server->display());
    ASSERT_TRUE(x);
    EXPECT_FALSE(isXWayland(x.connection.get(), x.root));
}

}  // namespace
}  // namespace kelvo
