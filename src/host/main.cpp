// kelvo-host: the tray application. `--smoke-test` builds everything but starts no connection,
// prints four "smoke: " lines and exits (0 when the menu is whole).
#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <system_error>

#include "core/session/device_profile_store.hpp"
#include "core/settings/file_user_defaults.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"
#include "host/app/app_delegate.hpp"
#include "host/app/quit_signals.hpp"
#include "platform/logind/local_host_name.hpp"
#include "platform/qt/qt_main_executor.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/runtime/process_memory.hpp"

namespace {

std::string executablePath(const char* argv0) {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelvo;
    keepLargeAllocationsReturnable();
    bool smokeTest = false;
    for (int i = 1; i < argc; ++i) smokeTest |= std::strcmp(argv[i], "--smoke-test") == 0;
    const std::string executable = executablePath(argv[0]);
    // The smoke test needs no screen: without one it runs on Qt's offscreen platform.
    if (smokeTest && !getenv("DISPLAY") && !getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    try {
        // Made here, before anything queues work on them: a pool without a thread would leave it
        // waiting for ever.
        IoPool::shared();
        IoPool::interactive();
    } catch (const std::system_error& e) {
        std::cerr << "kelvo-host: " << e.what() << ": " << e.code().message() << "\n";
        return 1;
    }

    int status = 0;
    {
        QApplication qt(argc, argv);
        QApplication::setApplicationName("Kelvo Host");
        // A tray application: closing its last window must not end it.
        QApplication::setQuitOnLastWindowClosed(false);
        auto mainQueue = std::make_shared<QtMainExecutor>("main");

        AppServices services{
            .settings = SettingsStore::shared(),
            .profiles = DeviceProfileStore::shared(),
            .pairing = PairingStore::shared(),
            .stats = StatsStore::shared(),
            .log = LogStore::shared(),
            .defaults = std::make_shared<FileUserDefaults>(FileUserDefaults::standardFolder()),
            .makeOptions = [] { return HostOptions::standard(localHostName()); },
            .makeEnvironment = [mainQueue] { return makeAppEnvironment(mainQueue); },
            .executable = executable,
            .logNeedsEcho = [] { return logNeedsEcho(); },
        };
        AppDelegate delegate(smokeTest, mainQueue, std::move(services));
        // Held through the stop path, and ignored from its end until the exit: later signals (a
        // group's, Ctrl-C again and again) must not end the process halfway, with the virtual
        // display still on the desktop or the pools' threads torn down mid-task.
        QuitSignals signals([&delegate](int) { delegate.quit(); }, QuitSignals::Afterwards::ignore);
        if (auto ended = delegate.applicationDidFinishLaunching(std::cout)) {
            status = *ended;
            if (!smokeTest) std::cerr << "kelvo-host: no X server to serve a tablet on (is DISPLAY set?)\n";
        } else {
            status = QApplication::exec();
        }
        delegate.applicationWillTerminate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    IoPool::shared().stop();
    return status;
}
