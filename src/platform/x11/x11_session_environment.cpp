#include "platform/x11/x11_session_environment.hpp"

#include "core/display/display_broker.hpp"
#include "core/session/power_observer.hpp"
#include "core/util/log.hpp"
#include "platform/logind/linux_power_sources.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "platform/x11/pen_tablet_event_sink.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/screen_capture_source.hpp"
#include "platform/x11/x11_front_app_observer.hpp"
#include "platform/x11/x11_key_layout.hpp"
#include "platform/x11/x11_permissions.hpp"
#include "platform/x11/x11_window_list.hpp"
#include "platform/x11/xsettings.hpp"
#include "platform/x11/xfixes_cursor_source.hpp"

namespace kelvo {

Expected<SessionEnvironment, std::string> makeX11SessionEnvironment(std::shared_ptr<Executor> main,
                                                                    const std::string& xDisplay,
                                                                    const std::string& uinputPath) {
    auto connected = RandrDisplayServices::connect(xDisplay);
    if (!connected.ok()) return connected.error();
    std::shared_ptr<RandrDisplayServices> randr = std::move(connected).value();

    SessionEnvironment env;
    env.main = main;
    env.makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> {
        return AsioExecutor::makeQueue(label);
    };
    env.displayServices = randr;
    // The broker holds the server by reference: its deleter keeps the server alive until it goes.
    env.displays = std::shared_ptr<DisplayBroker>(new DisplayBroker(*randr, *randr, main),
                                                  [randr](DisplayBroker* broker) { delete broker; });
    env.power = std::make_shared<PowerObserver>(main, linuxPowerSources(main));
    env.permissions = std::make_shared<X11Permissions>(xDisplay);
    // Sidebar shortcuts on typed characters use the keys of this desktop's layout.
    installX11KeyLayoutSource(xDisplay);
    // Taps count as a double click within the desktop's own interval.
    installX11DoubleClickSource(xDisplay);

    ScreenCaptureSource::Environment capture;
    capture.xDisplay = xDisplay;
    capture.displayBounds = ScreenCaptureSource::boundsFrom(randr);
    env.makeScreenSource = [capture](const MovableFrameSource::Options& options) -> std::shared_ptr<MovableFrameSource> {
        return ScreenCaptureSource::make(options, capture);
    };
    env.makeEventSink = [xDisplay, uinputPath] { return makeX11EventSink(xDisplay, uinputPath); };
    env.makeFrontAppObserver = [xDisplay, main] { return makeX11FrontAppObserver(xDisplay, main); };
    env.frontWindowBounds = x11FrontWindowBounds(xDisplay);
    env.makeCursorSource = [xDisplay]() -> std::shared_ptr<CursorSource> {
        auto source = XfixesCursorSource::connect(xDisplay);
        if (!source.ok()) {
            Log::w("cursor", source.error());
            return nullptr;
        }
        return std::shared_ptr<CursorSource>(std::move(source).value());
    };
    return env;
}

}  // namespace kelvo
