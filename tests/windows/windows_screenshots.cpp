// Shows each window on a real X server and saves what the server shows of it, so that a person
// can check the texts are whole and the Chinese glyphs drawn. Run under kelvo-with-xserver.
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include "app/known_stats.hpp"
#include "host/windows/diagnostics_view.hpp"
#include "host/windows/onboarding_view.hpp"
#include "host/windows/settings_view.hpp"
#include "window_test_host.hpp"

namespace kelvo {

class WindowsScreenshots : public QObject {
    Q_OBJECT

    QString dir_;

    void save(QWidget& window, const QString& name) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(300);  // let the window manager-less server settle the first paint
        QPixmap shot = window.screen()->grabWindow(window.winId());
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(dir_ + "/" + name + ".png"));
    }

private Q_SLOTS:
    void initTestCase() {
        dir_ = qEnvironmentVariable("KELVO_ARTIFACTS_DIR", QDir::currentPath() + "/artifacts/windows");
        QVERIFY(QDir().mkpath(dir_));
    }

    void shots() {
        test::WindowTestHost host;
        host.pairing.save({"00008030-001A", "Studio iPad", "kelvo-studio", std::vector<uint8_t>(32, 7),
                           std::chrono::system_clock::now()});
        LiveStats s = test::knownStats();
        for (double fps : {60.0, 59.0, 52.0, 47.0, 55.0, 60.0, 58.0, 58.7}) {
            s.fps = fps;
            host.stats.push(s);
        }
        auto now = std::chrono::system_clock::now();
        host.log.append(LogLevel::info, "app", "Kelvo Host started", LogOrigin::mac, now);
        host.log.append(LogLevel::info, "session", "hello from Studio iPad (protocol 1)", LogOrigin::mac, now);
        host.log.append(LogLevel::info, "decoder", "format 2048x1536 high@4.2", LogOrigin::ipad, now);
        host.log.append(LogLevel::warn, "video", "cap 60 → 45 fps: 解码变慢", LogOrigin::mac, now);

        SettingsView settings(host.manager, host.settings);
        const char* tabs[] = {"general", "display", "touch", "draw", "sidebar", "diagnostics"};
        for (int i = 0; i < settings.tabs()->count(); ++i) {
            settings.tabs()->setCurrentIndex(i);
            save(settings, QString("settings-%1-%2").arg(i + 1).arg(tabs[i]));
        }
        settings.close();

        DiagnosticsView diagnostics(host.manager, host.stats, host.log);
        save(diagnostics, "diagnostics");
        diagnostics.close();

        host.permissions->screenCaptureAllowed = false;  // both steps with their buttons: the longest texts
        host.permissions->accessibilityAllowed = false;
        OnboardingView onboarding(host.permissions);
        save(onboarding, "onboarding");
    }
};

}  // namespace kelvo

QTEST_MAIN(kelvo::WindowsScreenshots)
#include "windows_screenshots.moc"
