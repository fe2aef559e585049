#include "host/wiring/app_environment.hpp"

#include <cstdlib>

#include "core/display/display_broker.hpp"
#include "core/display/display_services.hpp"
#include "core/session/permissions.hpp"
#include "core/session/polled_display_sleep.hpp"
#include "core/session/power_observer.hpp"
#include "core/transport/usbmux_client.hpp"
#include "core/util/log.hpp"
#include "core/video/stream_encoder.hpp"
#include "platform/avahi/avahi_discovery.hpp"
#include "platform/logind/logind_power_source.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/sysfs/sysfs_backlight.hpp"
#include "platform/x11/dpms_state.hpp"
#include "platform/x11/pen_tablet_event_sink.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/screen_capture_source.hpp"
#include "platform/x11/x11_front_app_observer.hpp"
#include "platform/x11/x11_key_layout.hpp"
#include "platform/x11/x11_permissions.hpp"
#include "platform/x11/x11_window_list.hpp"
#include "platform/x11/xfixes_cursor_source.hpp"
#include "platform/x11/xsettings.hpp"

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

void wireQueues(SessionEnvironment& env, std::shared_ptr<Executor> main) {
    env.main = std::move(main);
    env.makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> {
        // A touch crosses these two on its way to the desktop; everything else can wait a slice.
        if (label == "kv.s.ctrl" || label == "kv.input") return AsioExecutor::makeInteractiveQueue(label);
        return AsioExecutor::makeQueue(label);
    };
}

// Power: logind for lock and sleep, the X server's display power (polled each second) and the
// kernel's backlight, all confined to `main`.
std::shared_ptr<PowerObserver> makePower(const std::shared_ptr<Executor>& main) {
    auto dpms = std::make_shared<DpmsState>();
    PowerObserver::Sources sources;
    sources.session = std::make_shared<LogindPowerSource>(main);
    sources.display = std::make_shared<PolledDisplaySleep>(main, [dpms] { return dpms->displaysAsleep(); });
    sources.brightness = std::make_shared<SysfsBacklight>();
    return std::make_shared<PowerObserver>(main, std::move(sources));
}

void wireDisplaysAndCapture(SessionEnvironment& env, const std::shared_ptr<RandrDisplayServices>& randr,
                            const std::string& xDisplay) {
    env.displayServices = randr;
    // The broker holds the server by reference: its deleter keeps the server alive until it goes.
    env.displays = std::shared_ptr<DisplayBroker>(new DisplayBroker(*randr, *randr, env.main),
                                                  [randr](DisplayBroker* broker) { delete broker; });

    ScreenCaptureSource::Environment capture;
    capture.xDisplay = xDisplay;
    capture.displayBounds = ScreenCaptureSource::boundsFrom(randr);
    capture.makeQueue = env.makeQueue;
    env.makeScreenSource = [capture](const MovableFrameSource::Options& options) -> std::shared_ptr<MovableFrameSource> {
        return ScreenCaptureSource::make(options, capture);
    };
    env.makeCursorSource = [xDisplay]() -> std::shared_ptr<CursorSource> {
        auto source = XfixesCursorSource::connect(xDisplay);
        if (!source.ok()) {
            Log::w("cursor", source.error());
            return nullptr;
        }
        return std::shared_ptr<CursorSource>(std::move(source).value());
    };
    env.makeEncoder = H264StreamEncoder::factory();
}

// Input: injection, the front application and window for profiles and tablet mapping, the
// keyboard layout sidebar shortcuts on typed characters are made with, and the double-click interval.
void wireInput(SessionEnvironment& env, const std::string& xDisplay, const std::string& uinputPath) {
    installX11KeyLayoutSource(xDisplay);
    // Taps count as a double click within the desktop's own interval.
    installX11DoubleClickSource(xDisplay);
    env.makeEventSink = [xDisplay, uinputPath](const std::shared_ptr<Executor>& queue) {
        return makeX11EventSink(xDisplay, queue, uinputPath);
    };
    env.makeFrontAppObserver = [xDisplay, main = env.main] { return makeX11FrontAppObserver(xDisplay, main); };
    env.frontWindowBounds = x11FrontWindowBounds(xDisplay);
}

// Discovery: the USB multiplexing daemon's socket, and Avahi for paired tablets on Wi-Fi. The
// manager makes the Avahi client when the wireless setting is on, and stops it on main and drops it
// when the setting goes off or the manager stops.
void wireDiscovery(SessionEnvironment& env) {
    env.usbmuxSocketPath = usbmuxSocketPathFromEnvironment();
    env.makeServiceBrowser = []() -> std::shared_ptr<ServiceBrowser> {
        auto avahi = std::make_shared<AvahiDiscovery>();
        // A failure is logged; its browses then wait and say why.
        avahi->start();
        return avahi;
    };
}

}  // namespace

std::string usbmuxSocketPathFromEnvironment() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (!address || !*address) return UsbmuxClient::defaultSocketPath;
    std::string whyNot;
    auto path = UsbmuxClient::socketPathFromAddress(address, &whyNot);
    if (!path) {
        Log::w("usbmux",
               "USBMUXD_SOCKET_ADDRESS ignored (" + whyNot + "): using " + UsbmuxClient::defaultSocketPath);
        return UsbmuxClient::defaultSocketPath;
    }
    Log::i("usbmux", "daemon socket " + *path + " (USBMUXD_SOCKET_ADDRESS)");
    return *path;
}

Expected<SessionEnvironment, std::string> makeX11SessionEnvironment(std::shared_ptr<Executor> main,
                                                                    const std::string& xDisplay,
                                                                    const std::string& uinputPath) {
    auto connected = RandrDisplayServices::connect(xDisplay);
    if (!connected.ok()) return connected.error();
    std::shared_ptr<RandrDisplayServices> randr = std::move(connected).value();

    SessionEnvironment env;
    wireQueues(env, std::move(main));
    wireDisplaysAndCapture(env, randr, xDisplay);
    env.power = makePower(env.main);
    env.permissions = std::make_shared<X11Permissions>(xDisplay);
    wireInput(env, xDisplay, uinputPath);
    return env;
}

AppEnvironment makeAppEnvironment(std::shared_ptr<Executor> main, const std::string& xDisplay) {
    AppEnvironment app;
    auto x11 = makeX11SessionEnvironment(main, xDisplay);
    if (x11.ok()) {
        app.session = std::move(x11).value();
        app.hasDesktop = true;
        // The RandR backend is also the factory of virtual displays.
        if (auto factory = dynamic_cast<VirtualDisplayFactory*>(app.session.displayServices.get()))
            app.virtualDisplaysAvailable = factory->isAvailable();
    } else {
        Log::w("app", "no X server (" + x11.error() + "): no tablet can be served");
        wireQueues(app.session, std::move(main));
        app.session.permissions = std::make_shared<NoDesktopPermissions>();
    }
    wireDiscovery(app.session);
    return app;
}

}  // namespace kelvo
