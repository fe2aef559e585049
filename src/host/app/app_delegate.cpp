#include "host/app/app_delegate.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <ostream>

#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/permissions.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/file_user_defaults.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"
#include "host/app/status_menu_controller.hpp"
#include "host/windows/diagnostics_view.hpp"
#include "host/windows/onboarding_view.hpp"
#include "host/windows/settings_view.hpp"
#include "platform/desktop/control_bridge.hpp"
#include "platform/desktop/control_bus.hpp"
#include "platform/desktop/login_item.hpp"

namespace kelvo {

AppDelegate::AppDelegate(bool smokeTest, std::shared_ptr<Executor> main, AppServices services)
    : smokeTest_(smokeTest), main_(std::move(main)), services_(std::move(services)) {
    onQuit = [] { QCoreApplication::quit(); };
}

AppDelegate::~AppDelegate() {
    if (manager_) {
        manager_->onStatusChange = nullptr;
        manager_->onSessionChange = nullptr;
    }
}

std::optional<int> AppDelegate::applicationDidFinishLaunching(std::ostream& out) {
    const bool echo = smokeTest_ || (services_.logNeedsEcho && services_.logNeedsEcho());
    services_.log.setEchoLevel(echo ? std::optional(LogLevel::info) : std::nullopt);

    appProfiles_ = std::make_unique<AppProfileStore>(services_.defaults);
    environment_ = services_.makeEnvironment();
    const HostOptions options = services_.makeOptions();
    events_ = std::make_unique<CoreEvents>(main_, services_.settings, services_.stats, services_.log);

    manager_ = SessionManager::create(
        SessionManager::Stores{services_.settings, services_.profiles, *appProfiles_, services_.pairing, services_.stats},
        options, environment_.session);
    menu_ = std::make_unique<StatusMenuController>(*this);

    // The manager calls on the main queue, possibly from inside a menu item's action: the news
    // is handed on later, when that action has returned.
    manager_->onStatusChange = [events = events_.get()](const HostStatus& status) { events->statusChanged(status); };
    manager_->onSessionChange = [events = events_.get()](const std::shared_ptr<DeviceSession>& session) {
        events->sessionChanged(session);
    };
    statusSubscription_ = events_->onStatus([this](const HostStatus& status) {
        menu_->refresh();
        if (control_) control_->publish(status);
    });
    sessionSubscription_ = events_->onSession([this](const std::shared_ptr<DeviceSession>&) { menu_->refresh(); });
    settingsObserver_ = events_->onSettings([this](const Settings& old, const Settings& now) {
        if (old.launchAtLogin != now.launchAtLogin) applyLoginItem(now.launchAtLogin);
        menu_->refresh();
    });

    if (smokeTest_) return runSmokeTest(out);
    if (!environment_.hasDesktop) return 1;  // nothing to capture or inject: serve no tablet

    controlSuite_ = std::make_unique<FileUserDefaults>(ControlBridge::suiteFolder());
    control_ = std::make_unique<ControlBridge>(*manager_, controlSuite_.get(), [this] {
        if (controlBus_) controlBus_->announceChanged();
    });
    controlBus_ = ControlBus::open(*main_, [this] { control_->applyRequest(); });
    manager_->start();
    control_->publish(manager_->status());
    Log::i("app", "Kelvo Host started");
    auto& permissions = environment_.session.permissions;
    if (!permissions || !permissions->screenCapture() || !permissions->accessibility()) showOnboarding();
    return std::nullopt;
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_ || !manager_) return;
    terminated_ = true;
    std::weak_ptr<DeviceSession> ending = manager_->session();
    manager_->stop();
    // The session says its bye on its own queues; give it a moment to finish before the
    // process ends and those queues with it.
    QDeadlineTimer deadline(kByeWaitMs);
    while (!ending.expired() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

int AppDelegate::runSmokeTest(std::ostream& out) {
    menu_->refresh();
    const size_t items = menu_->menuItemTitles().size();
    auto& permissions = environment_.session.permissions;
    const bool screen = permissions && permissions->screenCapture();
    const bool accessibility = permissions && permissions->accessibility();
    out << "smoke: menu items = " << items << "\n"
        << "smoke: virtual display API available = " << (environment_.virtualDisplaysAvailable ? "true" : "false")
        << "\n"
        << "smoke: screen capture permission = " << (screen ? "true" : "false")
        << ", accessibility = " << (accessibility ? "true" : "false") << "\n"
        << (items >= 10 ? "smoke: OK" : "smoke: FAILED") << "\n";
    out.flush();
    return items >= 10 ? 0 : 1;
}

void AppDelegate::show(const std::string& key, const QString& title, QSize size,
                       const std::function<QWidget*()>& makeView) {
    windows_.show(key, title, size, makeView);
}

void AppDelegate::showOnboarding() {
    show(OnboardingView::kKey, OnboardingView::title(), {OnboardingView::kWidth, OnboardingView::kHeight},
         [this] { return new OnboardingView(environment_.session.permissions); });
}

void AppDelegate::showSettings() {
    show(SettingsView::kKey, SettingsView::title(), {SettingsView::kWidth, SettingsView::kHeight},
         [this] { return new SettingsView(manager_, services_.settings); });
}

void AppDelegate::showDiagnostics() {
    show(DiagnosticsView::kKey, DiagnosticsView::title(), {DiagnosticsView::kWidth, DiagnosticsView::kHeight},
         [this] { return new DiagnosticsView(manager_, services_.stats, services_.log); });
}

void AppDelegate::applyLoginItem(bool enabled) { LoginItem(services_.executable).apply(enabled); }

void AppDelegate::quit() {
    if (onQuit) onQuit();
}

}  // namespace kelvo
