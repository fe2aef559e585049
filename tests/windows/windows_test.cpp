#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "app/known_stats.hpp"
#include "core/app/diagnostics_model.hpp"
#include "host/windows/diagnostics_view.hpp"
#include "host/windows/onboarding_view.hpp"
#include "host/windows/settings_view.hpp"
#include "host/windows/step_symbol.hpp"
#include "window_test_host.hpp"

namespace kelvo {

using test::child;

namespace {

PairingRecord record(const std::string& udid, const std::string& name) {
    return {udid, name, "kelvo-" + udid, std::vector<uint8_t>(32, 7), std::chrono::system_clock::now()};
}

}  // namespace

class WindowsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsConditionalRowsFollowTheirFields() {
        test::WindowTestHost host;
        SettingsView view(host.manager, host.settings);
        QWidget* brightness = child<QWidget>(&view, "brightnessOffsetRow");
        QWidget* external = child<QWidget>(&view, "externalDisplayIDRow");
        QVERIFY(!brightness->isHidden());
        QVERIFY(external->isHidden());

        host.settings.update([](Settings& s) {
            s.followBrightness = false;
            s.brightnessOffset = 0.2;
        });
        QVERIFY(brightness->isHidden());
        child<QCheckBox>(&view, "followBrightness")->click();
        QVERIFY(!brightness->isHidden());
        QCOMPARE(host.settings.settings().brightnessOffset, 0.2);
        QCOMPARE(child<QLabel>(&view, "brightnessOffsetLabel")->text(), QString("亮度偏移 +20%"));

        auto* source = child<QComboBox>(&view, "displaySource");
        Q_EMIT source->activated(1);  // "指定外接显示器"
        QCOMPARE(host.settings.settings().displaySource, DisplaySourceKind::external);
        QVERIFY(!external->isHidden());
        auto* displays = child<QComboBox>(&view, "externalDisplayID");
        QCOMPARE(displays->count(), 2);
        QVERIFY(displays->itemText(1).endsWith(" (#2)"));
        QCOMPARE(displays->currentIndex(), -1);  // 0 is no display online
        Q_EMIT displays->activated(1);
        QCOMPARE(host.settings.settings().externalDisplayID, 2u);

        host.settings.update([](Settings& s) { s.displaySource = DisplaySourceKind::virtual_; });
        QVERIFY(external->isHidden());
        QCOMPARE(host.settings.settings().externalDisplayID, 2u);
    }

    // Values the widgets cannot hold exactly stay exact, and showing them writes nothing.
    void settingsSyncFromTheStoreNeverWritesBack() {
        test::WindowTestHost host;
        int changes = 0;
        host.settings.observe([&](const Settings&, const Settings&) { ++changes; });
        SettingsView view(host.manager, host.settings);

        host.settings.update([](Settings& s) {
            s.brightnessOffset = -0.004;
            s.graceSeconds = 2.7;
            s.minPressure = 0.1234;
            s.fpsCap = 50;
            s.longPressAction = "cmd+shift+z";
            s.directCtrlPort = 5000;
            s.directHost = "tablet.local";
            s.orientation = OrientationSetting::portrait;
        });
        QCOMPARE(changes, 1);
        QVERIFY(view.model().settings() == host.settings.settings());
        QCOMPARE(child<QLabel>(&view, "brightnessOffsetLabel")->text(), QString("亮度偏移 0%"));
        QCOMPARE(child<QSlider>(&view, "brightnessOffset")->value(), 10);
        QCOMPARE(child<QLabel>(&view, "graceSecondsLabel")->text(), QString("断开宽限期：2 秒"));
        QCOMPARE(child<QLabel>(&view, "minPressureLabel")->text().left(9), QString("最小压力 0") + QLocale().decimalPoint() + "12");
        QCOMPARE(child<QComboBox>(&view, "fpsCap")->currentIndex(), -1);
        QCOMPARE(child<QComboBox>(&view, "longPressAction")->currentIndex(), -1);
        QCOMPARE(child<QComboBox>(&view, "orientation")->currentText(), QString("竖屏"));
        QCOMPARE(child<QLineEdit>(&view, "directCtrlPort")->text(), QString("5000"));
        QCOMPARE(child<QLineEdit>(&view, "directHost")->text(), QString("tablet.local"));
        QCOMPARE(host.settings.settings().brightnessOffset, -0.004);
        QCOMPARE(changes, 1);

        // One press moves the exact value one step; choosing the value shown writes nothing.
        child<QToolButton>(&view, "graceSecondsUp")->click();
        QCOMPARE(host.settings.settings().graceSeconds, 3.7);
        QCOMPARE(changes, 2);
        Q_EMIT child<QComboBox>(&view, "orientation")->activated(1);
        QCOMPARE(changes, 2);

        // A port that is not a whole number 0 … 65535 leaves the stored one.
        auto* port = child<QLineEdit>(&view, "directVideoPort");
        QCOMPARE(port->text(), QString("47101"));
        for (const char* typed : {"70000", "-1", "4x", ""}) {
            port->setText(typed);
            Q_EMIT port->editingFinished();
            QCOMPARE(host.settings.settings().directVideoPort, uint16_t(47101));
            QCOMPARE(port->text(), QString("47101"));
        }
        port->setText("5001");
        Q_EMIT port->editingFinished();
        QCOMPARE(host.settings.settings().directVideoPort, uint16_t(5001));
        QCOMPARE(changes, 3);
    }

    void forgetRefreshesThePairingList() {
        test::WindowTestHost host;
        host.pairing.save(record("A1", "Studio"));
        host.pairing.save(record("B2", "Kitchen"));
        SettingsView view(host.manager, host.settings);
        auto* list = child<PairingList>(&view, "pairingList");
        auto forgets = [&] { return list->findChildren<QPushButton*>("forget"); };
        QCOMPARE(forgets().size(), 2);
        QVERIFY(!list->findChild<QLabel*>("pairingHint"));

        forgets().first()->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(host.pairing.records().size(), size_t(1));
        QCOMPARE(forgets().size(), 1);
        QVERIFY(list->findChild<QWidget*>("pairing:B2"));

        forgets().first()->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(host.pairing.records().empty());
        QCOMPARE(forgets().size(), 0);
        QVERIFY(list->findChild<QLabel*>("pairingHint"));
    }

    void diagnosticsWithoutAStreamShowsTheStatusAndTheLog() {
        test::WindowTestHost host;
        host.log.append(LogLevel::info, "app", "Kelvo Host started", LogOrigin::mac, std::chrono::system_clock::now());
        DiagnosticsView view(host.manager, host.stats, host.log);
        QCOMPARE(child<QLabel>(&view, "status")->text(), QString("未检测到 iPad"));
        QVERIFY(!child<QPushButton>(&view, "keyframe")->isEnabled());
        QVERIFY(!child<QPushButton>(&view, "reprobe")->isEnabled());
        QVERIFY(!child<QPushButton>(&view, "askHistory")->isEnabled());
        QVERIFY(child<QPushButton>(&view, "copyLog")->isEnabled());
        QVERIFY(!child<QLabel>(&view, "noStream")->isHidden());
        QVERIFY(child<QWidget>(&view, "probeResults")->isHidden());
        QCOMPARE(child<QListView>(&view, "log")->model()->rowCount(), 1);
    }

    void diagnosticsRowsFormatAKnownSnapshot() {
        test::WindowTestHost host;
        host.stats.push(test::knownStats());
        DiagnosticsView view(host.manager, host.stats, host.log);
        QVERIFY(child<QLabel>(&view, "noStream")->isHidden());
        auto want = test::knownRows();
        for (size_t i = 0; i < want.size(); ++i) {
            QCOMPARE(child<QLabel>(&view, qPrintable(QString("statLabel%1").arg(i)))->text(), QString::fromStdString(want[i].first));
            QCOMPARE(child<QLabel>(&view, qPrintable(QString("statValue%1").arg(i)))->text(), QString::fromStdString(want[i].second));
        }
        // The next snapshot arrives through the store's observer and the main queue.
        LiveStats next = test::knownStats();
        next.fps = 30;
        host.stats.push(next);
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&view, "statValue1")->text(),
                                  QString("30 fps · 12.3 Mbps · 在途 2 · 编码前丢弃 1"), test::kPatienceMs);
        QCOMPARE(child<FpsSparkline>(&view, "sparkline")->values(), (std::vector<double>{59.6, 30}));
    }

    // Once 500 entries are kept the count stops changing; the list still follows the newest.
    void logListFollowsTheNewestEntryPastTheLimit() {
        test::WindowTestHost host;
        for (int i = 0; i < 600; ++i) {
            host.log.append(LogLevel::info, "t", "host line " + std::to_string(i), i % 3 ? LogOrigin::mac : LogOrigin::ipad,
                            std::chrono::system_clock::now());
        }
        DiagnosticsView view(host.manager, host.stats, host.log);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* list = child<QListView>(&view, "log");
        QCOMPARE(list->model()->rowCount(), 500);
        list->scrollToTop();
        QCOMPARE(list->verticalScrollBar()->value(), 0);

        host.log.append(LogLevel::warn, "t", "newest", LogOrigin::mac, std::chrono::system_clock::now());
        QTRY_COMPARE_WITH_TIMEOUT(view.model().newestLogId(), uint64_t(601), test::kPatienceMs);
        QCOMPARE(list->model()->rowCount(), 500);
        QTRY_COMPARE_WITH_TIMEOUT(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum(),
                                  test::kPatienceMs);
        QVERIFY(list->verticalScrollBar()->maximum() > 0);
        QVERIFY(list->model()->index(499, 0).data().toString().endsWith("newest"));

        child<QCheckBox>(&view, "ipadOnly")->click();
        QCOMPARE(list->model()->rowCount(), 166);  // tablet lines among ids 102 … 601
        QCOMPARE(view.model().logs().size(), size_t(500));
    }

    void onboardingStepsFollowThePermissions() {
        auto permissions = std::make_shared<FakePermissions>();
        permissions->screenCaptureAllowed = false;
        permissions->accessibilityAllowed = false;
        OnboardingView view(permissions);
        QVERIFY(!child<StepSymbol>(&view, "step1Symbol")->done());
        QVERIFY(!child<QPushButton>(&view, "step2Button")->isHidden());
        QVERIFY(!view.findChild<QPushButton*>("step3Button"));
        // With both buttons taking their room, every text fits the window's size unclipped.
        QVERIFY(view.layout()->totalHeightForWidth(OnboardingView::kWidth) <= OnboardingView::kHeight);
        QCOMPARE(child<QPushButton>(&view, "step1Button")->text(), QString("重新检查"));  // nothing opens here

        child<QPushButton>(&view, "step1Button")->click();
        QCOMPARE(permissions->requests, 1);
        QCOMPARE(permissions->settingsOpened, 1);

        permissions->accessibilityAllowed = true;  // granted elsewhere
        QTRY_VERIFY_WITH_TIMEOUT(child<StepSymbol>(&view, "step2Symbol")->done(), test::kPatienceMs);
        QVERIFY(child<QPushButton>(&view, "step2Button")->isHidden());
        QVERIFY(!child<StepSymbol>(&view, "step1Symbol")->done());
        QVERIFY(!child<StepSymbol>(&view, "step3Symbol")->done());
        QVERIFY(!child<StepSymbol>(&view, "step4Symbol")->done());
    }
};

}  // namespace kelvo

QTEST_MAIN(kelvo::WindowsTest)
#include "windows_test.moc"
