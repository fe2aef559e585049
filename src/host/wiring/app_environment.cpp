#include "host/app/app_environment.hpp"

#include "core/display/display_services.hpp"
#include "core/session/permissions.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/x11/x11_session_environment.hpp"

namespace kelvo {
namespace {

// Without a desktop nothing is permitted and there are no settings to open.
class NoDesktopPermissions final : public Permissions {
public:
    bool screenCapture() override { return false; }
    bool accessibility() override { return false; }
    bool requestScreenCapture() override { return false; }
    bool requestAccessibility() override { return false; }
    void openScreenCaptureSettings() override {}
    void openAccessibilitySettings() override {}
    void openDisplaySettings() override {}
    void declareUserActivity() override {}
};

}  // namespace

AppEnvironment makeAppEnvironment(std::shared_ptr<Executor> main) {
    AppEnvironment app;
    auto x11 = makeX11SessionEnvironment(main, "");
    if (x11.ok()) {
        app.session = std::move(x11).value();
        app.hasDesktop = true;
        // The RandR backend is also the factory of virtual displays.
        if (auto factory = dynamic_cast<VirtualDisplayFactory*>(app.session.displayServices.get()))
            app.virtualDisplaysAvailable = factory->isAvailable();
        return app;
    }
    Log::w("app", "no X server (" + x11.error() + "): no tablet can be served");
    app.session.main = std::move(main);
    app.session.makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> {
        return AsioExecutor::makeQueue(label);
    };
    app.session.permissions = std::make_shared<NoDesktopPermissions>();
    return app;
}

}  // namespace kelvo
