// The diagnostics and settings windows over a live session with the simulated tablet on loopback.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTest>

#include "testing/fake_ipad.hpp"
#include "host/windows/diagnostics_view.hpp"
#include "host/windows/settings_view.hpp"
#include "window_test_host.hpp"

namespace kelvo {

using test::child;

class WindowsLiveTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The diagnostics window follows a session with the simulated tablet: the statistics rows
    // appear, the sparkline grows, and the tablet's own log lines join the merged log.
    void windowsFollowALiveSession() {
        auto made = FakeIPad::make({});
        QVERIFY2(made.ok(), made ? "" : made.error().description().c_str());
        std::shared_ptr<FakeIPad> ipad = made.value();
        Settings settings;
        settings.directMode = true;
        settings.directHost = "127.0.0.1";
        settings.directCtrlPort = ipad->ctrlPort();
        settings.directVideoPort = ipad->videoPort();
        HostOptions options;
        options.frameSource = HostOptions::FrameSourceKind::testPattern;
        options.inject = false;
        options.cursor = false;
        test::WindowTestHost host(settings, options, true);
        host.stats.reset();
        DiagnosticsView view(host.manager, host.stats, host.log);
        auto* noStream = child<QLabel>(&view, "noStream");
        auto* sparkline = child<FpsSparkline>(&view, "sparkline");
        auto* status = child<QLabel>(&view, "status");
        QVERIFY(!noStream->isHidden());

        host.manager->start();
        // A probe comes first: seconds under the sanitizers, and many more on a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(host.manager->status().is<HostStatus::Connected>(), 2 * test::kPatienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(noStream->isHidden(), test::kPatienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString::fromStdString(host.manager->status().description()),
                                  test::kPatienceMs);
        QVERIFY(child<QPushButton>(&view, "keyframe")->isEnabled());
        QVERIFY(child<QLabel>(&view, "statValue0")->text().contains(" fps"));
        QTRY_VERIFY_WITH_TIMEOUT(sparkline->values().size() >= 2, test::kPatienceMs);
        size_t samples = sparkline->values().size();
        QTRY_VERIFY_WITH_TIMEOUT(sparkline->values().size() > samples, test::kPatienceMs);

        ipad->sendLog(2, "decoder queue is long");
        auto* list = child<QListView>(&view, "log");
        auto hasTabletLine = [&] {
            for (int r = list->model()->rowCount() - 1; r >= 0; --r) {
                QString line = list->model()->index(r, 0).data().toString();
                if (line.contains("iPad W [ipad] decoder queue is long")) return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(hasTabletLine(), test::kPatienceMs);
        child<QCheckBox>(&view, "ipadOnly")->click();
        QVERIFY(hasTabletLine());
        for (int r = 0; r < list->model()->rowCount(); ++r)
            QVERIFY(list->model()->index(r, 0).data().toString().contains(" iPad "));

        // The settings window's preset picker does what the status menu does: the tablet's own
        // profile takes the choice, so an older preset stored there cannot override it.
        const auto& session = host.manager->session();
        QVERIFY(session && session->identity() && session->connector());
        std::string key = session->connector()->deviceKey();
        host.profiles.update(key, session->identity()->name, [](DeviceProfile& p) { p.preset = DisplayPreset::more; });
        SettingsView settingsView(host.manager, host.settings);
        auto* preset = child<QComboBox>(&settingsView, "preset");
        QCOMPARE(preset->currentIndex(), 1);  // the tablet's preset, not the setting's
        Q_EMIT preset->activated(3);
        QCOMPARE(host.profiles.profile(key)->preset, std::optional(DisplayPreset::most));
        QCOMPARE(host.settings.settings().preset, DisplayPreset::most);
        QCOMPARE(preset->currentIndex(), 3);

        host.manager->stop();
        ipad->close();
    }

    void cleanupTestCase() { IoPool::shared().stop(); }
};

}  // namespace kelvo

QTEST_MAIN(kelvo::WindowsLiveTest)
#include "windows_live_test.moc"
