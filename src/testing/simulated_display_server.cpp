#include "testing/simulated_display_server.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

#include "core/util/observer_list.hpp"

namespace kelvo {

namespace {

constexpr int32_t kIllegalArgument = 1001;

struct SimDisplay {
    DisplayId id = 0;
    std::vector<DisplayMode> modes;
    size_t current = 0;
    double x = 0;
    double y = 0;
    bool builtin = false;
    std::optional<std::string> screenName;
    DisplayId mirrorOf = 0;
    bool isVirtual = false;
    VirtualDisplayDescriptor descriptor;
    VirtualDisplaySettings settings;
};

using Change = std::pair<DisplayId, uint32_t>;

}  // namespace

struct SimulatedDisplayServer::State {
    mutable std::mutex m;
    std::vector<SimDisplay> displays;  // online order
    DisplayId main = 0;
    DisplayId nextId = 1;
    DisplayId nextVirtualId = 0x100;
    bool virtualAvailable = true;
    bool refuseCreate = false;
    bool nextIdZero = false;
    bool refuseModes = false;
    int32_t beginError = 0;
    int32_t configureError = 0;
    int32_t completeError = 0;
    bool foreignThread = false;
    std::function<void(DisplayId)> onVirtualAdded;
    size_t created = 0;
    size_t completed = 0;
    size_t cancelled = 0;
    ObserverList<DisplayId, uint32_t> callbacks;

    SimDisplay* find(DisplayId id) {
        auto it = std::find_if(displays.begin(), displays.end(), [&](auto& d) { return d.id == id; });
        return it == displays.end() ? nullptr : &*it;
    }

    // Call without the lock: callbacks may call back into the server.
    void notify(const std::vector<Change>& changes) {
        if (changes.empty()) return;
        bool foreign;
        {
            std::lock_guard g(m);
            foreign = foreignThread;
        }
        auto run = [this, &changes] {
            for (auto [id, flags] : changes) {
                callbacks.notifyAll(id, DisplayChange::beginConfiguration);
                callbacks.notifyAll(id, flags);
            }
        };
        if (foreign) {
            std::thread t(run);
            t.join();
        } else {
            run();
        }
    }

    // With the lock held: the right edge of the desktop, where a new display goes.
    double rightEdge() const {
        double edge = 0;
        for (auto& d : displays) {
            if (d.modes.empty() || d.mirrorOf) continue;
            edge = std::max(edge, d.x + d.modes[d.current].width);
        }
        return edge;
    }

    void removeLocked(DisplayId id, std::vector<Change>& changes) {
        auto it = std::find_if(displays.begin(), displays.end(), [&](auto& d) { return d.id == id; });
        if (it == displays.end()) return;
        displays.erase(it);
        for (auto& d : displays) {
            if (d.mirrorOf == id) d.mirrorOf = 0;
        }
        if (main == id) main = displays.empty() ? 0 : displays.front().id;
        changes.push_back({id, DisplayChange::removed});
    }
};

namespace {

class SimVirtualDisplay final : public PlatformVirtualDisplay {
public:
    SimVirtualDisplay(std::weak_ptr<SimulatedDisplayServer::State> state, DisplayId id) : state_(std::move(state)), id_(id) {}
    ~SimVirtualDisplay() override {
        auto s = state_.lock();
        if (!s) return;
        std::vector<Change> changes;
        {
            std::lock_guard g(s->m);
            s->removeLocked(id_, changes);
        }
        s->notify(changes);
    }
    DisplayId displayID() const override { return id_; }
    bool applySettings(const VirtualDisplaySettings& settings) override {
        auto s = state_.lock();
        if (!s) return false;
        std::vector<Change> changes;
        {
            std::lock_guard g(s->m);
            if (s->refuseModes) return false;
            auto* d = s->find(id_);
            if (!d) return false;
            d->settings = settings;
            d->modes = virtualDisplayModes(settings, d->descriptor.maxPixelsWide, d->descriptor.maxPixelsHigh);
            d->current = 0;
            changes.push_back({id_, DisplayChange::setMode});
        }
        s->notify(changes);
        return true;
    }

private:
    std::weak_ptr<SimulatedDisplayServer::State> state_;
    DisplayId id_;
};

class SimConfiguration final : public DisplayConfiguration {
public:
    explicit SimConfiguration(std::weak_ptr<SimulatedDisplayServer::State> state) : state_(std::move(state)) {}
    ~SimConfiguration() override {
        if (!done_) cancel();
    }

    int32_t configureMode(DisplayId display, const DisplayMode& mode) override {
        auto s = state_.lock();
        if (!s || done_) return kIllegalArgument;
        std::lock_guard g(s->m);
        if (s->configureError) return s->configureError;
        auto* d = s->find(display);
        if (!d || mode.handle >= d->modes.size() || d->modes[mode.handle] != mode) return kIllegalArgument;
        modes_.push_back({display, size_t(mode.handle)});
        return kDisplayConfigSuccess;
    }

    int32_t configureMirror(DisplayId display, DisplayId master) override {
        auto s = state_.lock();
        if (!s || done_) return kIllegalArgument;
        std::lock_guard g(s->m);
        if (s->configureError) return s->configureError;
        if (!s->find(display) || (master && (!s->find(master) || master == display))) return kIllegalArgument;
        mirrors_.push_back({display, master});
        return kDisplayConfigSuccess;
    }

    int32_t complete() override {
        auto s = state_.lock();
        if (!s || done_) return kIllegalArgument;
        done_ = true;
        std::vector<Change> changes;
        {
            std::lock_guard g(s->m);
            if (s->completeError) {
                ++s->cancelled;
                return s->completeError;
            }
            for (auto [id, index] : modes_) {
                if (auto* d = s->find(id); d && index < d->modes.size()) {
                    d->current = index;
                    changes.push_back({id, DisplayChange::setMode});
                }
            }
            for (auto [id, master] : mirrors_) {
                if (auto* d = s->find(id)) {
                    d->mirrorOf = master;
                    changes.push_back({id, master ? DisplayChange::mirror : DisplayChange::unmirror});
                }
            }
            ++s->completed;
        }
        s->notify(changes);
        return kDisplayConfigSuccess;
    }

    void cancel() override {
        if (done_) return;
        done_ = true;
        if (auto s = state_.lock()) {
            std::lock_guard g(s->m);
            ++s->cancelled;
        }
    }

private:
    std::weak_ptr<SimulatedDisplayServer::State> state_;
    std::vector<std::pair<DisplayId, size_t>> modes_;
    std::vector<std::pair<DisplayId, DisplayId>> mirrors_;
    bool done_ = false;
};

}  // namespace

DisplayMode SimulatedDisplayServer::mode(double width, double height, double scale, double hz, bool usable) {
    return DisplayMode{width, height, width * scale, height * scale, hz, usable, 0};
}

SimulatedDisplayServer::SimulatedDisplayServer() : state_(std::make_shared<State>()) {}
SimulatedDisplayServer::~SimulatedDisplayServer() = default;

DisplayId SimulatedDisplayServer::addDisplay(DisplaySetup setup) {
    DisplayId id;
    {
        std::lock_guard g(state_->m);
        SimDisplay d;
        d.id = id = state_->nextId++;
        d.modes = std::move(setup.modes);
        for (size_t i = 0; i < d.modes.size(); ++i) d.modes[i].handle = i;
        d.current = std::min(setup.currentMode, d.modes.empty() ? 0 : d.modes.size() - 1);
        d.x = setup.x;
        d.y = setup.y;
        d.builtin = setup.builtin;
        d.screenName = std::move(setup.screenName);
        state_->displays.push_back(std::move(d));
        if (state_->main == 0) state_->main = id;
    }
    state_->notify({{id, DisplayChange::added}});
    return id;
}

void SimulatedDisplayServer::removeDisplay(DisplayId id) {
    std::vector<Change> changes;
    {
        std::lock_guard g(state_->m);
        state_->removeLocked(id, changes);
    }
    state_->notify(changes);
}

void SimulatedDisplayServer::setMainDisplay(DisplayId id) {
    {
        std::lock_guard g(state_->m);
        if (!state_->find(id)) return;
        state_->main = id;
    }
    state_->notify({{id, DisplayChange::setMain}});
}

void SimulatedDisplayServer::setCurrentMode(DisplayId id, size_t index) {
    {
        std::lock_guard g(state_->m);
        auto* d = state_->find(id);
        if (!d || index >= d->modes.size()) return;
        d->current = index;
    }
    state_->notify({{id, DisplayChange::setMode}});
}

size_t SimulatedDisplayServer::currentModeIndex(DisplayId id) const {
    std::lock_guard g(state_->m);
    auto* d = state_->find(id);
    return d ? d->current : 0;
}

#define KELVO_SIM_SETTER(fn, type, field) \
    void SimulatedDisplayServer::fn(type v) { \
        std::lock_guard g(state_->m);         \
        state_->field = v;                    \
    }
KELVO_SIM_SETTER(setVirtualDisplaysAvailable, bool, virtualAvailable)
KELVO_SIM_SETTER(setRefuseCreate, bool, refuseCreate)
KELVO_SIM_SETTER(setNextVirtualDisplayIdZero, bool, nextIdZero)
KELVO_SIM_SETTER(setRefuseModes, bool, refuseModes)
KELVO_SIM_SETTER(setBeginError, int32_t, beginError)
KELVO_SIM_SETTER(setConfigureError, int32_t, configureError)
KELVO_SIM_SETTER(setCompleteError, int32_t, completeError)
KELVO_SIM_SETTER(setNotifyOnForeignThread, bool, foreignThread)
#undef KELVO_SIM_SETTER

void SimulatedDisplayServer::setOnVirtualDisplayAdded(std::function<void(DisplayId)> hook) {
    std::lock_guard g(state_->m);
    state_->onVirtualAdded = std::move(hook);
}

void SimulatedDisplayServer::terminate(DisplayId id) {
    std::vector<Change> changes;
    VirtualDisplayDescriptor descriptor;
    {
        std::lock_guard g(state_->m);
        auto* d = state_->find(id);
        if (!d || !d->isVirtual) return;
        descriptor = d->descriptor;
        state_->removeLocked(id, changes);
    }
    state_->notify(changes);
    if (descriptor.queue && descriptor.terminationHandler) descriptor.queue->post(descriptor.terminationHandler);
}

std::optional<VirtualDisplayDescriptor> SimulatedDisplayServer::virtualDisplayDescriptor(DisplayId id) const {
    std::lock_guard g(state_->m);
    auto* d = state_->find(id);
    if (!d || !d->isVirtual) return std::nullopt;
    return d->descriptor;
}

std::optional<VirtualDisplaySettings> SimulatedDisplayServer::virtualDisplaySettings(DisplayId id) const {
    std::lock_guard g(state_->m);
    auto* d = state_->find(id);
    if (!d || !d->isVirtual) return std::nullopt;
    return d->settings;
}

size_t SimulatedDisplayServer::virtualDisplaysCreated() const {
    std::lock_guard g(state_->m);
    return state_->created;
}
size_t SimulatedDisplayServer::completedConfigurations() const {
    std::lock_guard g(state_->m);
    return state_->completed;
}
size_t SimulatedDisplayServer::cancelledConfigurations() const {
    std::lock_guard g(state_->m);
    return state_->cancelled;
}

std::vector<DisplayId> SimulatedDisplayServer::onlineDisplays() {
    std::lock_guard g(state_->m);
    std::vector<DisplayId> out;
    for (auto& d : state_->displays) out.push_back(d.id);
    return out;
}

std::vector<DisplayMode> SimulatedDisplayServer::modes(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    return d ? d->modes : std::vector<DisplayMode>{};
}

std::optional<DisplayMode> SimulatedDisplayServer::currentMode(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    if (!d || d->modes.empty()) return std::nullopt;
    return d->modes[d->current];
}

Rect SimulatedDisplayServer::bounds(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    if (!d || d->modes.empty()) return {};
    const auto& m = d->modes[d->current];
    if (auto* master = d->mirrorOf ? state_->find(d->mirrorOf) : nullptr) return {master->x, master->y, m.width, m.height};
    return {d->x, d->y, m.width, m.height};
}

DisplayId SimulatedDisplayServer::mainDisplay() {
    std::lock_guard g(state_->m);
    return state_->main;
}

bool SimulatedDisplayServer::isBuiltin(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    return d && d->builtin;
}

DisplayId SimulatedDisplayServer::mirrorMaster(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    return d ? d->mirrorOf : 0;
}

std::optional<std::string> SimulatedDisplayServer::screenName(DisplayId display) {
    std::lock_guard g(state_->m);
    auto* d = state_->find(display);
    return d ? d->screenName : std::nullopt;
}

Expected<std::unique_ptr<DisplayConfiguration>, int32_t> SimulatedDisplayServer::beginConfiguration() {
    std::lock_guard g(state_->m);
    if (state_->beginError) return state_->beginError;
    return std::unique_ptr<DisplayConfiguration>(std::make_unique<SimConfiguration>(state_));
}

Uuid SimulatedDisplayServer::addReconfigurationCallback(DisplayReconfigurationCallback callback) {
    return state_->callbacks.add(std::move(callback));
}

void SimulatedDisplayServer::removeReconfigurationCallback(const Uuid& id) { state_->callbacks.remove(id); }

bool SimulatedDisplayServer::isAvailable() {
    std::lock_guard g(state_->m);
    return state_->virtualAvailable;
}

std::unique_ptr<PlatformVirtualDisplay> SimulatedDisplayServer::create(const VirtualDisplayDescriptor& descriptor) {
    DisplayId id;
    std::function<void(DisplayId)> hook;
    {
        std::lock_guard g(state_->m);
        if (!state_->virtualAvailable || state_->refuseCreate) return nullptr;
        ++state_->created;
        if (state_->nextIdZero) {
            state_->nextIdZero = false;
            return std::make_unique<SimVirtualDisplay>(state_, 0);
        }
        SimDisplay d;
        d.id = id = state_->nextVirtualId++;
        d.x = state_->rightEdge();
        d.isVirtual = true;
        d.screenName = descriptor.name;
        d.descriptor = descriptor;
        state_->displays.push_back(std::move(d));
        hook = state_->onVirtualAdded;
    }
    state_->notify({{id, DisplayChange::added}});
    if (hook) hook(id);
    return std::make_unique<SimVirtualDisplay>(state_, id);
}

}  // namespace kelvo
