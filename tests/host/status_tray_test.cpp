// The tray icon and its menu on a real X server with a real tray host: the icon is shown, a
// click opens the menu, and a picture of the open menu is kept for a person to look at.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <set>

#include "core/session/session_manager.hpp"
#include "testing/fake_service_browser.hpp"
#include "host/app/status_menu_controller.hpp"
#include "host_test_support.hpp"
#include "x_desktop.hpp"

namespace kelvo {
namespace {

using test::processUntil;
using test::TestApp;

QImage screenshot() { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }

size_t distinctColours(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

// Clicks the tray icon, waits for the menu and keeps a picture of it as `name`.png; the menu's
// place on the screen, or an empty rectangle when it did not open.
QRect openMenuAndKeepAPicture(StatusMenuController& menu, const std::string& name) {
    QSystemTrayIcon& tray = menu.item();
    if (!processUntil([&] { return tray.isVisible() && !tray.geometry().isEmpty(); })) {
        ADD_FAILURE() << "the icon never showed";
        return {};
    }
    // The tray host embeds the icon, and the X server shows its paint, in their own time.
    QRect icon;
    if (!processUntil([&] {
            icon = tray.geometry();
            return distinctColours(screenshot().copy(icon)) > 1;
        })) {
        ADD_FAILURE() << "the icon's place is blank";
        return {};
    }

    const QPoint centre = icon.center();
    std::string click = "xdotool mousemove --sync " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) +
                        " click 1";
    EXPECT_EQ(std::system(click.c_str()), 0);
    if (!processUntil([&] { return menu.menu().isVisible() && menu.isMenuOpen(); })) {
        ADD_FAILURE() << "the menu did not open";
        return {};
    }
    // Its place and the screen read together, once the menu shows there painted: it may be
    // placed again as it is laid out, and its paint reaches the screen later.
    QRect shown;
    QImage screen;
    if (!processUntil([&] {
            shown = menu.menu().geometry();
            screen = screenshot();
            return distinctColours(screen.copy(shown)) > 8;
        })) {
        ADD_FAILURE() << "the menu's place shows no text";
    }
    EXPECT_FALSE(shown.intersects(icon)) << "the menu hides the icon it was opened from";
    // Every line is shown whole: the menu is as wide as its widest line and fits on the screen.
    EXPECT_TRUE(screen.rect().contains(shown)) << "the menu runs off the screen";

    mkdir(KELVO_ARTIFACT_DIR, 0755);
    const QRect area = shown.united(icon).adjusted(-12, -12, 12, 12) & screen.rect();
    const std::string path = std::string(KELVO_ARTIFACT_DIR) + "/" + name + ".png";
    EXPECT_TRUE(screen.copy(area).save(QString::fromStdString(path)));
    std::cout << "screenshot of the open menu: " << path << "\n";
    return shown;
}

TEST(StatusTray, IconIsShownAndAClickOpensTheMenu) {
    std::string whyNot;
    if (!test::XDesktop::get(&whyNot)) GTEST_SKIP() << whyNot;
    ASSERT_TRUE(test::haveProgram("xdotool")) << "xdotool is needed to click the tray icon";
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty()) << "no Chinese font for Qt";

    auto fake = test::makeFakeIPad("Studio iPad");
    FakeIPadCloser closer(fake);
    ASSERT_NE(fake, nullptr);
    TestApp host({.settings = TestApp::developerSettings(fake->ctrlPort(), fake->videoPort())});
    host.permissions().accessibilityAllowed = false;  // the warning line shows as well
    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::Connected>(); }))
        << host.manager().status().description();
    StatusMenuController& menu = host.menu();
    menu.refresh();

    const QRect shown = openMenuAndKeepAPicture(menu, "status_menu_open");
    EXPECT_GE(shown.height(), 250);  // 17 visible rows
    menu.menu().hide();
    EXPECT_FALSE(menu.isMenuOpen());
}

// Without a tablet, outside developer mode: the USB daemon not installed, then installed and at
// rest (Debian runs it only while a tablet is plugged in) with a paired tablet to look for on
// Wi-Fi. The header says what to do on this computer.
TEST(StatusTray, TheMenuWithoutATabletSaysWhatToCheckHere) {
    std::string whyNot;
    if (!test::XDesktop::get(&whyNot)) GTEST_SKIP() << whyNot;
    ASSERT_TRUE(test::haveProgram("xdotool")) << "xdotool is needed to click the tray icon";

    test::TempDir dir;
    std::atomic<bool> installed{false};
    Settings settings;
    settings.launchAtLogin = false;
    settings.wireless = true;
    TestApp host({.settings = settings, .adjust = [&](SessionEnvironment& env) {
                      env.usbmuxSocketPath = dir.file("usbmuxd");
                      env.usbmuxdInstalled = [&] { return installed.load(); };
                      env.makeServiceBrowser = [] { return std::make_shared<FakeServiceBrowser>(); };
                  }});
    StatusMenuController& menu = host.menu();
    auto header = [&] { return menu.items().statusHeader->text().toStdString(); };

    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::UsbmuxUnavailable>(); }))
        << host.manager().status().description();
    menu.refresh();
    EXPECT_EQ(header(), "usbmuxd 服务不可用 · 请安装 usbmuxd（apt install usbmuxd）");
    openMenuAndKeepAPicture(menu, "status_menu_usbmuxd");
    menu.menu().hide();

    installed = true;
    host.pairing().save({"00008030-001A", "Studio iPad", "kelvo-studio", std::vector<uint8_t>(32, 7),
                         std::chrono::system_clock::now()});
    ASSERT_TRUE(processUntil([&] { return host.manager().status().is<HostStatus::SearchingWireless>(); }))
        << host.manager().status().description();
    menu.refresh();
    EXPECT_EQ(header(), "正在查找无线 iPad… · 查找局域网设备");
    EXPECT_EQ(menu.item().toolTip().toStdString(), "Kelvo · 未插 USB，正在无线查找已配对的 iPad…");
    openMenuAndKeepAPicture(menu, "status_menu_searching");
    menu.menu().hide();
}

}  // namespace
}  // namespace kelvo
