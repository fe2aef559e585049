// The host's one-line status: what the manager derives from a session or from discovery, the
// exact texts the user sees, and the retry delays after sessions that never streamed.

#include <gtest/gtest.h>

#include "core/session/host_status.hpp"
#include "core/session/session_manager.hpp"

namespace kelvo {
namespace {

using State = DeviceSession::State;
using Inputs = SessionManager::StatusInputs;

Inputs withSession(State state, std::optional<ProbeSelection> selection = std::nullopt,
                   std::optional<int64_t> fpsCap = std::nullopt) {
    Inputs in;
    in.session = Inputs::Session{std::move(state), "Studio", "USB", std::move(selection), fpsCap};
    return in;
}

ProbeSelection selection(int64_t width, int64_t height, int64_t maxFps) {
    ProbeSelection s;
    s.width = width;
    s.height = height;
    s.maxFps = maxFps;
    return s;
}

TEST(HostStatusDerivation, FollowsTheSessionOrTheFirstMatchingDiscoveryRule) {
    struct Case {
        const char* what;
        Inputs in;
        HostStatus expected;
    };
    auto noSession = [](auto change) {
        Inputs in;
        change(in);
        return in;
    };
    const std::vector<Case> cases{
        {"streaming with stats", withSession(State::streaming(), selection(2048, 1536, 60), 45),
         HostStatus::Connected{"Studio", "USB", "2048×1536", 45}},
        {"streaming without stats", withSession(State::streaming(), selection(2048, 1536, 30)),
         HostStatus::Connected{"Studio", "USB", "2048×1536", 30}},
        {"streaming without selection", withSession(State::streaming()), HostStatus::Connected{"Studio", "USB", "?", 60}},
        {"paused", withSession(State::paused("iPad 不在前台")), HostStatus::Paused{"Studio", "iPad 不在前台"}},
        {"closed", withSession(State::closed("x")), HostStatus::NoDevice{}},
        {"handshaking", withSession(State::handshaking()), HostStatus::Connecting{"Studio"}},
        {"connecting video", withSession(State::connectingVideo()), HostStatus::Connecting{"Studio"}},
        {"starting display", withSession(State::startingDisplay()), HostStatus::Connecting{"Studio"}},
        {"probing", withSession(State::probing()), HostStatus::Probing{"Studio"}},
        {"nothing at all", Inputs{}, HostStatus::NoDevice{}},
        {"permission wait beats a missing daemon", noSession([](Inputs& in) {
             in.waitingForScreenPermission = true;
             in.usbmux = UsbmuxAvailability::unusable;
         }),
         HostStatus::NeedsScreenPermission{}},
        {"direct mode refused", noSession([](Inputs& in) {
             in.directMode = true;
             in.waitingName = "direct:127.0.0.1:47100";
         }),
         HostStatus::WaitingForApp{"direct"}},
        {"direct mode ignores the daemon", noSession([](Inputs& in) {
             in.directMode = true;
             in.usbmux = UsbmuxAvailability::unusable;
         }),
         HostStatus::NoDevice{}},
        {"daemon down beats pairings", noSession([](Inputs& in) {
             in.usbmux = UsbmuxAvailability::unusable;
             in.searchingWireless = true;
         }),
         HostStatus::UsbmuxUnavailable{}},
        // Debian's daemon runs only while a tablet is plugged in: its absence is no fault.
        {"daemon at rest, pairings", noSession([](Inputs& in) {
             in.usbmux = UsbmuxAvailability::atRest;
             in.searchingWireless = true;
         }),
         HostStatus::SearchingWireless{}},
        {"daemon at rest, nothing to search", noSession([](Inputs& in) { in.usbmux = UsbmuxAvailability::atRest; }),
         HostStatus::NoDevice{}},
        {"daemon not installed beats pairings", noSession([](Inputs& in) {
             in.usbmux = UsbmuxAvailability::notInstalled;
             in.searchingWireless = true;
         }),
         HostStatus::UsbmuxUnavailable{.notInstalled = true}},
        {"cabled tablet", noSession([](Inputs& in) { in.usbDevices = in.usbDevicesUsable = 1; }),
         HostStatus::Connecting{"iPad"}},
        {"cabled tablet refusing", noSession([](Inputs& in) {
             in.usbDevices = in.usbDevicesUsable = 1;
             in.waitingName = "udid-1";
         }),
         HostStatus::WaitingForApp{"udid-1"}},
        // Nothing is tried for a tablet the user disconnected: it is not "connecting" for ever.
        {"only suppressed tablets", noSession([](Inputs& in) {
             in.usbDevices = 2;
             in.searchingWireless = true;
         }),
         HostStatus::NoDevice{}},
        {"one of two suppressed", noSession([](Inputs& in) {
             in.usbDevices = 2;
             in.usbDevicesUsable = 1;
         }),
         HostStatus::Connecting{"iPad"}},
        {"searching Wi-Fi", noSession([](Inputs& in) { in.searchingWireless = true; }), HostStatus::SearchingWireless{}},
    };
    for (const auto& c : cases) EXPECT_EQ(SessionManager::deriveStatus(c.in), c.expected) << c.what;
}

TEST(HostStatusText, IsTheUserFacingLineOfEachCase) {
    const std::vector<std::pair<HostStatus, std::string>> cases{
        {HostStatus::WaitingForApp{"x"}, "等待 iPad 打开 Kelvo Display"},
        {HostStatus::Connecting{"Studio"}, "正在连接 Studio…"},
        {HostStatus::Probing{"Studio"}, "正在检测解码能力…"},
        {HostStatus::Connected{"Studio", "USB", "2048×1536", 45}, "已连接：Studio（USB）· 2048×1536 · 45 fps"},
        {HostStatus::Paused{"Studio", "iPad 不在前台"}, "已连接：Studio · iPad 不在前台"},
        {HostStatus::UsbmuxUnavailable{}, "usbmuxd 不可用"},
        {HostStatus::NoDevice{}, "未检测到 iPad"},
        {HostStatus::OtherDeviceConnected{}, "已连接另一台 iPad"},
        {HostStatus::NeedsScreenPermission{}, "需要录屏权限（X 服务器不让读取屏幕，如 XWayland 或远程 X 连接）"},
        {HostStatus::SearchingWireless{}, "未插 USB，正在无线查找已配对的 iPad…"},
    };
    for (const auto& [status, text] : cases) EXPECT_EQ(status.description(), text);
    // The value of waitingForApp is not shown, yet a change of it is a change of status.
    EXPECT_NE(HostStatus(HostStatus::WaitingForApp{"x"}), HostStatus(HostStatus::WaitingForApp{"y"}));
    // So is the daemon's cause: the menu then says how to install it.
    EXPECT_NE(HostStatus(HostStatus::UsbmuxUnavailable{}), HostStatus(HostStatus::UsbmuxUnavailable{.notInstalled = true}));
}

TEST(ReconnectBackoff, DoublesFromOneSecondUpToTen) {
    const std::vector<std::pair<int, double>> cases{{0, 1}, {1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 10}, {6, 10}, {1000, 10}};
    for (auto [failures, seconds] : cases) EXPECT_EQ(SessionManager::backoffSeconds(failures), seconds) << failures;
}

}  // namespace
}  // namespace kelvo
