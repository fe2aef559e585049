#include "host_test_support.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/session/host_options.hpp"
#include "core/display/display_broker.hpp"
#include "host/app/status_menu_controller.hpp"
#include "platform/runtime/asio_executor.hpp"

namespace kelvo::test {
namespace {

QApplication* application = nullptr;

std::vector<std::function<void()>>& afterApplication() {
    static std::vector<std::function<void()>> steps;
    return steps;
}

// Widgets and the X connection go before the process's statics do.
class QtApplicationTeardown : public ::testing::Environment {
public:
    void TearDown() override {
        if (application) processPending();
        delete application;
        application = nullptr;
        for (auto& step : afterApplication()) step();
        afterApplication().clear();
    }
};
[[maybe_unused]] auto* teardown = ::testing::AddGlobalTestEnvironment(new QtApplicationTeardown);

constexpr const char* kEnvironment[] = {"KELVO_CONFIG_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                        "DBUS_SESSION_BUS_ADDRESS"};

}  // namespace

QApplication& qtApplication() {
    if (!application) {
        static int argc = 1;
        static char name[] = "host_tests";
        static char* argv[] = {name, nullptr};
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        application = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    return *application;
}

void atTeardown(std::function<void()> step) { afterApplication().push_back(std::move(step)); }

void processPending() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool processUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return waitUntil(pred, timeout, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
}

Settings TestApp::developerSettings(uint16_t ctrlPort, uint16_t videoPort) {
    Settings s;
    s.directMode = true;
    s.directHost = "127.0.0.1";
    s.directCtrlPort = ctrlPort;
    s.directVideoPort = videoPort;
    s.launchAtLogin = false;
    s.graceSeconds = 0;
    return s;
}

TestApp::TestApp(Options options)
    : settings_(std::make_shared<MemoryUserDefaults>(), options.settings),
      profiles_(std::make_shared<MemoryUserDefaults>()),
      pairing_(std::nullopt),
      server_(std::make_shared<SimulatedDisplayServer>()),
      permissions_(std::make_shared<FakePermissions>()) {
    qtApplication();
    for (size_t i = 0; i < std::size(kEnvironment); ++i) {
        if (const char* value = getenv(kEnvironment[i])) savedEnvironment_[i] = value;
    }
    setenv("KELVO_CONFIG_DIR", folder_.file("config").c_str(), 1);
    setenv("XDG_CONFIG_HOME", folder_.file("xdg-config").c_str(), 1);
    setenv("XDG_DATA_HOME", folder_.file("xdg-data").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder_.file("no-bus")).c_str(), 1);

    server_->addDisplay({{SimulatedDisplayServer::mode(1920, 1080)}, 0, 0, 0, true, "Built-in"});
    server_->addDisplay({{SimulatedDisplayServer::mode(1280, 1024)}, 0, 1920, 0, false, "Side"});

    main_ = std::make_shared<QtMainExecutor>("main");
    AppServices services{
        .settings = settings_,
        .profiles = profiles_,
        .pairing = pairing_,
        .stats = stats_,
        .log = LogStore::shared(),
        .defaults = std::make_shared<MemoryUserDefaults>(),
        .makeOptions =
            [] {
                HostOptions o;
                o.frameSource = HostOptions::FrameSourceKind::testPattern;
                o.inject = false;
                o.cursor = false;
                // The probe encodes 30 frames of the tablet's full size per step, within 10 s each:
                // more than a busy machine gives the sanitized encoder. These tests are about the
                // menu and windows, not the probe.
                o.skipProbe = true;
                o.hostName = "Test Host";
                return o;
            },
        .makeEnvironment =
            [this, withoutPermissions = options.withoutPermissions, adjust = options.adjust] {
                AppEnvironment env;
                env.hasDesktop = true;
                env.virtualDisplaysAvailable = server_->isAvailable();
                env.session.main = main_;
                env.session.makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> {
                    return AsioExecutor::makeQueue(label);
                };
                env.session.displayServices = server_;
                env.session.displays = std::make_shared<DisplayBroker>(*server_, *server_, main_);
                if (!withoutPermissions) env.session.permissions = permissions_;
                if (adjust) adjust(env.session);
                return env;
            },
        .executable = "/opt/kelvo/kelvo-host",
        .logNeedsEcho = [echo = options.logNeedsEcho] { return echo; },
    };
    app_ = std::make_unique<AppDelegate>(options.smokeTest, main_, std::move(services));
    app_->onQuit = [this] { ++quits; };
    if (options.launch) {
        std::ostringstream out;
        app_->applicationDidFinishLaunching(out);
    }
}

TestApp::~TestApp() {
    app_->applicationWillTerminate();
    app_.reset();
    processPending();
    main_.reset();
    for (size_t i = 0; i < std::size(kEnvironment); ++i) {
        if (savedEnvironment_[i]) {
            setenv(kEnvironment[i], savedEnvironment_[i]->c_str(), 1);
        } else {
            unsetenv(kEnvironment[i]);
        }
    }
}

std::shared_ptr<FakeIPad> makeFakeIPad(const std::string& name) {
    FakeIPad::Options options;
    options.name = name;
    auto made = FakeIPad::make(options);
    EXPECT_TRUE(made.ok());
    return made.ok() ? made.value() : nullptr;
}

}  // namespace kelvo::test
