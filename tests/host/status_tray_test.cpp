// The tray icon and its menu on a real X server with a real tray host: the icon is shown, a
// click opens the menu, and a picture of the open menu is kept for a person to look at.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "core/session/session_manager.hpp"
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

void pause(int ms) {
    processUntil([] { return false; }, std::chrono::milliseconds(ms));
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

    QSystemTrayIcon& tray = menu.item();
    ASSERT_TRUE(processUntil([&] { return tray.isVisible() && !tray.geometry().isEmpty(); }));
    pause(300);  // the tray paints the icon it embedded
    const QRect icon = tray.geometry();
    EXPECT_GT(distinctColours(screenshot().copy(icon)), 1u) << "the icon's place is blank";

    const QPoint centre = icon.center();
    std::string click = "xdotool mousemove --sync " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) +
                        " click 1";
    ASSERT_EQ(std::system(click.c_str()), 0);
    ASSERT_TRUE(processUntil([&] { return menu.menu().isVisible() && menu.isMenuOpen(); }));
    pause(500);
    const QRect shown = menu.menu().geometry();
    EXPECT_GE(shown.height(), 250);  // 17 visible rows
    EXPECT_FALSE(shown.intersects(icon)) << "the menu hides the icon it was opened from";
    const QImage screen = screenshot();
    EXPECT_GT(distinctColours(screen.copy(shown)), 8u) << "the menu's place shows no text";

    mkdir(KELVO_ARTIFACT_DIR, 0755);
    const QRect area = shown.united(icon).adjusted(-12, -12, 12, 12) & screen.rect();
    const std::string path = std::string(KELVO_ARTIFACT_DIR) + "/status_menu_open.png";
    EXPECT_TRUE(screen.copy(area).save(QString::fromStdString(path)));
    std::cout << "screenshot of the open menu: " << path << "\n";

    menu.menu().hide();
    EXPECT_FALSE(menu.isMenuOpen());
}

}  // namespace
}  // namespace kelvo
