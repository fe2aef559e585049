#include "platform/desktop/control_bus.hpp"

#include <cstring>

#include "core/runtime/executor.hpp"
#include "core/settings/user_defaults.hpp"
#include "core/util/json.hpp"
#include "core/util/log.hpp"
#include "platform/desktop/control_bridge.hpp"
#include "platform/logind/sd_bus_util.hpp"

namespace kelvo {
namespace {

SdBusPtr openUserBus(std::string& error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        error = std::strerror(-r);
        return nullptr;
    }
    return SdBusPtr(bus);
}

}  // namespace

struct ControlBus::Impl {
    Executor& queue;
    std::function<void()> onRequest;
    SdBusPtr bus;
    sd_bus_slot* match = nullptr;
    std::unique_ptr<FdWatch> watch;

    Impl(Executor& queue, std::function<void()> onRequest) : queue(queue), onRequest(std::move(onRequest)) {}

    ~Impl() {
        watch.reset();  // before the bus closes its descriptor
        sd_bus_slot_unref(match);
    }

    static int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        if (self->onRequest) self->onRequest();
        return 0;
    }

    // Handles everything the bus has read, then waits for more.
    void pump() {
        int r;
        while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
        }
        if (r < 0) {
            Log::w("control", std::string("session bus lost: ") + std::strerror(-r));
            return;
        }
        watch->waitReadable([this] { pump(); });
    }
};

std::unique_ptr<ControlBus> ControlBus::open(Executor& queue, std::function<void()> onRequest) {
    auto impl = std::make_unique<Impl>(queue, std::move(onRequest));
    std::string error;
    impl->bus = openUserBus(error);
    int r = impl->bus ? sd_bus_match_signal(impl->bus.get(), &impl->match, nullptr, kPath, kInterface, "Control",
                                            &Impl::onSignal, impl.get())
                      : -1;
    if (impl->bus && r < 0) error = std::strerror(-r);
    if (impl->bus && r >= 0) impl->watch = queue.watchFd(sd_bus_get_fd(impl->bus.get()));
    if (!impl->watch) {
        Log::w("control", "no session bus for the connection control: " + (error.empty() ? "no descriptor" : error));
        return nullptr;
    }
    // The match is registered by a message the first processing sends.
    sd_bus_flush(impl->bus.get());
    auto* raw = impl.get();
    auto bus = std::unique_ptr<ControlBus>(new ControlBus(std::move(impl)));
    queue.dispatch([raw] { raw->pump(); });
    return bus;
}

ControlBus::ControlBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ControlBus::~ControlBus() = default;

void ControlBus::announceChanged() {
    int r = sd_bus_emit_signal(impl_->bus.get(), kPath, kInterface, "Changed", "s", ControlBridge::kControlKind);
    if (r >= 0) r = sd_bus_flush(impl_->bus.get());
    if (r < 0) Log::w("control", std::string("could not signal the control: ") + std::strerror(-r));
}

std::string sendControlRequest(UserDefaults& suite, bool on) {
    if (!suite.setData("requestedOn", encodeWire(Json(on)))) return "the control's state could not be written";
    std::string error;
    SdBusPtr bus = openUserBus(error);
    if (!bus) return "no session bus: " + error;
    int r = sd_bus_emit_signal(bus.get(), ControlBus::kPath, ControlBus::kInterface, "Control", "");
    if (r >= 0) r = sd_bus_flush(bus.get());
    if (r < 0) return std::string("could not signal the host: ") + std::strerror(-r);
    return {};
}

}  // namespace kelvo
