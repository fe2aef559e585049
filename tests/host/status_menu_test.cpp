// The status menu over a real session manager in developer mode, with the simulated tablet as
// the peer and a simulated display server: what it shows per status and where choices land.
#include "host/app/status_menu_controller.hpp"

#include <gtest/gtest.h>

#include <QImage>
#include <QPointer>

#include "core/session/device_session.hpp"
#include "core/session/session_manager.hpp"
#include "host_test_support.hpp"

namespace kelvo {
namespace {

using test::processPending;
using test::processUntil;
using test::TestApp;

// The item at "submenu>title" or "title", by the text the user sees.
QAction* findItem(StatusMenuController& menu, const std::string& path) {
    QMenu* in = &menu.menu();
    std::string rest = path;
    for (;;) {
        auto slash = rest.find('>');
        std::string name = rest.substr(0, slash);
        QAction* found = nullptr;
        for (QAction* action : in->actions()) {
            if (action->text().replace("&&", "&").toStdString() == name) found = action;
        }
        if (!found || slash == std::string::npos) return found;
        in = found->menu();
        rest = rest.substr(slash + 1);
        if (!in) return nullptr;
    }
}

std::string text(const QPointer<QAction>& action) { return action ? action->text().toStdString() : "<gone>"; }

bool sameImage(const QIcon& a, const QIcon& b) {
    return a.pixmap(QSize(22, 16)).toImage() == b.pixmap(QSize(22, 16)).toImage();
}

// A port nothing listens on: the simulated tablet's, once it has closed.
std::pair<uint16_t, uint16_t> closedPorts() {
    auto fake = test::makeFakeIPad("gone");
    std::pair ports{fake->ctrlPort(), fake->videoPort()};
    fake->close();
    return ports;
}

TEST(StatusMenu, HeaderTextsPerStatus) {
    const std::string name18 = "abcdefghijklmnopqr", name19 = "abcdefghijklmnopqrs";
    struct Case {
        HostStatus status;
        std::string header;
    } cases[] = {
        {HostStatus::WaitingForApp{"direct"}, "等待打开应用 · 请在 iPad 上打开 Kelvo"},
        {HostStatus::Connecting{name18}, "正在连接：" + name18 + "… · 建立控制与视频通道"},
        {HostStatus::Probing{name19}, "正在连接：abcdefghijk…opqrs… · 检测硬件解码能力"},
        {HostStatus::Connected{" Studio\n", "USB", "2048×1536", 45}, "已连接：Studio · USB · 2048×1536 · 45 fps"},
        {HostStatus::Paused{"Studio", "iPad 不在前台"}, "已暂停：Studio · iPad 不在前台"},
        {HostStatus::UsbmuxUnavailable{}, "usbmuxd 服务不可用 · 插上 iPad 时自动启动（systemctl status usbmuxd）"},
        {HostStatus::UsbmuxUnavailable{.notInstalled = true}, "usbmuxd 服务不可用 · 请安装 usbmuxd（apt install usbmuxd）"},
        {HostStatus::NoDevice{}, "未连接 iPad · 插上数据线或开启无线连接"},
        {HostStatus::OtherDeviceConnected{}, "未连接 · 当前已连接另一台设备"},
        {HostStatus::NeedsScreenPermission{}, "缺少录屏权限 · X 服务器不让读取屏幕（XWayland、远程 X 连接）"},
        {HostStatus::SearchingWireless{}, "正在查找无线 iPad… · 查找局域网设备"},
        {HostStatus::Paused{"Studio", ""}, "已暂停：Studio"},
    };
    for (const auto& c : cases) {
        auto [title, subtitle] = StatusMenuController::statusDisplayStrings(c.status);
        EXPECT_EQ(StatusMenuController::headerText(title, subtitle), c.header);
    }
    // A tablet waited for is a device key: named after its profile when there is one, never shown.
    DeviceProfileStore profiles(nullptr);
    profiles.update("00008030-001A2C3E0E8B802E", " Studio\n", [](DeviceProfile&) {});
    for (auto [key, header] : {std::pair{"00008030-001A2C3E0E8B802E", "等待打开应用 · 请在 Studio 上打开 Kelvo"},
                               std::pair{"00008030-0000000000000000", "等待打开应用 · 请在 iPad 上打开 Kelvo"},
                               std::pair{"direct", "等待打开应用 · 请在 iPad 上打开 Kelvo"}}) {
        auto [title, subtitle] = StatusMenuController::statusDisplayStrings(HostStatus::WaitingForApp{key}, &profiles);
        EXPECT_EQ(StatusMenuController::headerText(title, subtitle), header) << key;
    }
    EXPECT_EQ(StatusMenuController::missingPermissionsText(false, false), "录屏 / 辅助功能");
    EXPECT_EQ(StatusMenuController::missingPermissionsText(true, false), "辅助功能");
    EXPECT_EQ(StatusMenuController::missingPermissionsText(true, true), "");
}

TEST(StatusMenu, FollowsTheSessionThroughItsStatuses) {
    auto [closedCtrl, closedVideo] = closedPorts();
    TestApp host({.settings = TestApp::developerSettings(closedCtrl, closedVideo)});
    auto& menu = host.menu();
    ASSERT_EQ(menu.menuItemTitles().size(), 18u);

    // Nobody listens: the tablet's app is not open.
    ASSERT_TRUE(processUntil([&] { return host.manager().status() == HostStatus::WaitingForApp{"direct"}; }));
    ASSERT_TRUE(processUntil([&] { return text(menu.items().statusHeader) == "等待打开应用 · 请在 iPad 上打开 Kelvo"; }));
    EXPECT_FALSE(menu.items().pause->isVisible());
    EXPECT_EQ(text(menu.items().sessionControl), "重新连接");
    EXPECT_TRUE(sameImage(menu.item().icon(), StatusMenuController::glyph(false)));

    // The tablet's name is the user's text: its '&' is shown, not taken as a shortcut mark.
    auto fake = test::makeFakeIPad("Tom & Jerry");
    FakeIPadCloser closer(fake);
    ASSERT_NE(fake, nullptr);
    host.settings().update([&](Settings& s) {
        s.directCtrlPort = fake->ctrlPort();
        s.directVideoPort = fake->videoPort();
    });
    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::Connected>(); }))
        << host.manager().status().description();
    ASSERT_TRUE(processUntil([&] { return text(menu.items().statusHeader).starts_with("已连接：Tom && Jerry · TCP"); }))
        << text(menu.items().statusHeader);
    EXPECT_EQ(menu.menuItemTitles()[0].substr(0, std::string("已连接：Tom & Jerry").size()), "已连接：Tom & Jerry");
    EXPECT_TRUE(menu.items().pause->isVisible());
    EXPECT_EQ(text(menu.items().pause), "暂停串流");
    EXPECT_EQ(text(menu.items().sessionControl), "断开");
    EXPECT_FALSE(menu.items().permissionWarning->isVisible());
    EXPECT_TRUE(sameImage(menu.item().icon(), StatusMenuController::glyph(true)));
    EXPECT_EQ(menu.item().toolTip().toStdString(), "Kelvo · " + host.manager().status().description());

    // A permission lost while connected: the warning icon and the warning line.
    host.permissions().screenCaptureAllowed = false;
    menu.refresh();
    EXPECT_TRUE(sameImage(menu.item().icon(), StatusMenuController::warningGlyph()));
    EXPECT_TRUE(menu.items().permissionWarning->isVisible());
    EXPECT_EQ(text(menu.items().permissionWarning), "⚠️ 缺少权限：录屏（点击查看…）");
    host.permissions().screenCaptureAllowed = true;

    // The resolution chosen for a connected tablet is kept in its profile, which then decides.
    const std::string key = host.manager().session()->connector()->deviceKey();
    findItem(menu, "分辨率>看起来像 1280×960")->trigger();
    ASSERT_TRUE(processUntil([&] { return host.settings().settings().preset == DisplayPreset::evenMore; }));
    ASSERT_TRUE(host.profiles().profile(key).has_value());
    EXPECT_EQ(host.profiles().profile(key)->preset, DisplayPreset::evenMore);
    EXPECT_EQ(host.profiles().profile(key)->name, "Tom & Jerry");
    host.settings().update([](Settings& s) { s.preset = DisplayPreset::most; });
    processPending();
    EXPECT_TRUE(findItem(menu, "分辨率>看起来像 1280×960")->isChecked());
    EXPECT_FALSE(findItem(menu, "分辨率>看起来像 1366×1024")->isChecked());

    // Pause and resume act on the session current when chosen.
    menu.items().pause->trigger();
    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::Paused>(); }));
    ASSERT_TRUE(processUntil([&] { return text(menu.items().statusHeader).starts_with("已暂停：Tom && Jerry"); }));
    EXPECT_EQ(text(menu.items().pause), "恢复串流");
    EXPECT_TRUE(sameImage(menu.item().icon(), StatusMenuController::glyph(true)));
    menu.items().pause->trigger();
    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::Connected>(); }));

    // Disconnect: the tablet hears why, and nothing reconnects until asked.
    menu.items().sessionControl->trigger();
    ASSERT_TRUE(processUntil([&] { return fake->snapshot().lastBye == "user"; }));
    ASSERT_TRUE(processUntil([&] { return text(menu.items().statusHeader) == "未连接 iPad · 插上数据线或开启无线连接"; }));
    EXPECT_FALSE(menu.items().pause->isVisible());
    EXPECT_EQ(text(menu.items().sessionControl), "重新连接");
    menu.items().sessionControl->trigger();
    ASSERT_TRUE(processUntil([&] { return fake->snapshot().sessions == 2 && host.manager().session(); }));
}

TEST(StatusMenu, ChoicesWithoutATabletReachTheSettings) {
    auto [ctrl, video] = closedPorts();
    TestApp host({.settings = TestApp::developerSettings(ctrl, video)});
    auto& menu = host.menu();
    const DisplayId side = host.displays().onlineDisplays().at(1);
    struct Case {
        std::string item;
        std::function<bool(const Settings&)> expected;
        bool checkedAfter;  // as the rebuilt menu shows it
    } cases[] = {
        {"模式>画板", [](const Settings& s) { return s.startMode == InputMode::draw; }, true},
        // Mapping needs a tablet: without one the start mode stays.
        {"模式>数位板映射", [](const Settings& s) { return s.startMode == InputMode::draw; }, false},
        {"方向>竖屏", [](const Settings& s) { return s.orientation == OrientationSetting::portrait; }, true},
        {"方向>自动", [](const Settings& s) { return s.orientation == OrientationSetting::auto_; }, true},
        {"镜像主屏", [](const Settings& s) { return s.mirrorMain; }, true},
        {"无线连接（未插线时走 Wi\u2011Fi）", [](const Settings& s) { return !s.wireless; }, false},
        {"映射目标屏幕>Side · 1280×1024", [&](const Settings& s) { return s.mappingDisplayID == side; }, true},
        {"映射目标屏幕>跟随系统主屏", [](const Settings& s) { return s.mappingDisplayID == 0; }, true},
        {"分辨率>看起来像 1152×864", [](const Settings& s) { return s.preset == DisplayPreset::more; }, true},
    };
    for (const auto& c : cases) {
        QAction* item = findItem(menu, c.item);
        ASSERT_NE(item, nullptr) << c.item;
        item->trigger();
        processPending();
        EXPECT_TRUE(c.expected(host.settings().settings())) << c.item;
        QAction* again = findItem(menu, c.item);
        ASSERT_NE(again, nullptr) << c.item;
        EXPECT_EQ(again->isChecked(), c.checkedAfter) << c.item;
    }
    EXPECT_TRUE(host.profiles().all().empty());  // no tablet, no profile

    // The mapping targets are present but hidden outside tablet mapping, and counted.
    EXPECT_FALSE(menu.items().mappingTargetSubmenu->isVisible());
    EXPECT_EQ(menu.menuItemTitles().size(), 18u);
    host.settings().update([](Settings& s) { s.startMode = InputMode::tabletMapping; });
    processPending();
    EXPECT_TRUE(menu.items().mappingTargetSubmenu->isVisible());
    EXPECT_TRUE(findItem(menu, "模式>数位板映射")->isChecked());

    findItem(menu, "退出 Kelvo Host")->trigger();
    EXPECT_EQ(host.quits, 1);
}

TEST(StatusMenu, AnItemsOwnChoiceDoesNotDeleteIt) {
    auto [ctrl, video] = closedPorts();
    TestApp host({.settings = TestApp::developerSettings(ctrl, video)});
    // As a delegate that refreshes the menu inside the settings change would.
    auto observer = host.settings().observe([&](const Settings&, const Settings&) { host.menu().refresh(); });
    QPointer<QAction> mirror = host.menu().items().mirror;
    mirror->trigger();
    EXPECT_FALSE(mirror.isNull());  // still running its action when the menu was rebuilt
    EXPECT_TRUE(host.menu().items().mirror->isChecked());
    processPending();
    EXPECT_TRUE(mirror.isNull());
    host.settings().removeObserver(observer);
}

TEST(StatusMenu, OpenMenuIsUpdatedInPlace) {
    auto [ctrl, video] = closedPorts();
    Settings settings = TestApp::developerSettings(ctrl, video);
    settings.startMode = InputMode::tabletMapping;
    TestApp host({.settings = settings});
    auto& menu = host.menu();
    auto& displays = host.displays();
    // A display named by the user: '&' shown as itself.
    const DisplayId side = displays.onlineDisplays().at(1);
    displays.removeDisplay(side);
    const DisplayId named = displays.addDisplay({{SimulatedDisplayServer::mode(1280, 1024)}, 0, 1920, 0, false, "A&B"});
    menu.refresh();
    ASSERT_NE(findItem(menu, "映射目标屏幕>A&B · 1280×1024"), nullptr);

    menu.menu().popup(QPoint(0, 0));
    ASSERT_TRUE(menu.isMenuOpen());
    const auto before = menu.items();
    QPointer<QAction> firstTarget = findItem(menu, "映射目标屏幕>A&B · 1280×1024");

    host.settings().update([&](Settings& s) {
        s.orientation = OrientationSetting::portrait;
        s.mappingDisplayID = named;
    });
    processPending();
    EXPECT_EQ(menu.items().orientationSubmenu, before.orientationSubmenu);  // the same items
    EXPECT_TRUE(findItem(menu, "方向>竖屏")->isChecked());
    EXPECT_FALSE(findItem(menu, "方向>横屏")->isChecked());
    EXPECT_EQ(findItem(menu, "映射目标屏幕>A&B · 1280×1024"), firstTarget.data());  // same list: re-checked only
    EXPECT_TRUE(firstTarget->isChecked());

    // Another display in its place: as many targets as before, but not the same ones.
    displays.removeDisplay(named);
    const DisplayId other = displays.addDisplay({{SimulatedDisplayServer::mode(1024, 768)}, 0, 1920, 0, false, "Other"});
    menu.refresh();
    processPending();
    EXPECT_TRUE(firstTarget.isNull());
    QAction* otherItem = findItem(menu, "映射目标屏幕>Other · 1024×768");
    ASSERT_NE(otherItem, nullptr);
    EXPECT_FALSE(otherItem->isChecked());
    host.settings().update([&](Settings& s) { s.mappingDisplayID = other; });
    processPending();
    EXPECT_TRUE(otherItem->isChecked());
    EXPECT_EQ(menu.items().statusHeader, before.statusHeader);

    menu.menu().hide();
    EXPECT_FALSE(menu.isMenuOpen());
}

}  // namespace
}  // namespace kelvo
