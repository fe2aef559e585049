#include "testing/fake_service_browser.hpp"

#include <atomic>

namespace kelvo {

namespace {

using Alive = std::shared_ptr<std::atomic<bool>>;

// Runs `fn` on `executor` unless the request was cancelled before it got there.
void deliver(const std::shared_ptr<Executor>& executor, const Alive& alive, Task fn) {
    executor->post([alive, fn = std::move(fn)] {
        if (alive->load()) fn();
    });
}

bool matches(const ServiceInstance& wanted, const ServiceInstance& seen) {
    return wanted.name == seen.name && wanted.type == seen.type &&
           (wanted.interfaceName.empty() || wanted.interfaceName == seen.interfaceName);
}

}  // namespace

struct FakeServiceBrowser::State {
    struct Entry {
        ServiceInstance instance;
        ServiceAddress address;
    };
    struct Browse {
        std::string type;
        std::shared_ptr<Executor> executor;
        OnBrowse onEvent;
        Alive alive;
    };
    struct Resolve {
        ServiceInstance instance;
        std::shared_ptr<Executor> executor;
        OnResolve done;
        Alive alive;
    };

    std::mutex m;
    std::vector<Entry> entries;
    std::map<uint64_t, Browse> browses;
    std::map<uint64_t, Resolve> resolves;
    std::map<std::string, size_t> started;
    uint64_t nextId = 1;

    // The rest runs with m held.
    std::vector<ServiceInstance> visible(const std::string& type) const {
        std::vector<ServiceInstance> out;
        for (auto& e : entries)
            if (e.instance.type == type) out.push_back(e.instance);
        return out;
    }

    static void report(const Browse& b, std::vector<ServiceInstance> instances) {
        BrowseEvent event{BrowseEvent::Kind::results, std::move(instances), {}};
        deliver(b.executor, b.alive, [fn = b.onEvent, event] { fn(event); });
    }

    // Finishes every lookup whose service is now known.
    void finishResolves() {
        for (auto it = resolves.begin(); it != resolves.end();) {
            const Entry* found = nullptr;
            for (auto& e : entries)
                if (!found && matches(it->second.instance, e.instance)) found = &e;
            if (!found) {
                ++it;
                continue;
            }
            ResolveResult result{{found->address}, {}};
            deliver(it->second.executor, it->second.alive, [fn = it->second.done, result] { fn(result); });
            it = resolves.erase(it);
        }
    }

    // Tells every browse of `type` the current set.
    void changed(const std::string& type) {
        auto now = visible(type);
        for (auto& [id, b] : browses)
            if (b.type == type) report(b, now);
        finishResolves();
    }
};

namespace {

class FakeHandle final : public DiscoveryHandle {
public:
    FakeHandle(std::weak_ptr<FakeServiceBrowser::State> state, uint64_t id, Alive alive, ServiceInstance published)
        : state_(std::move(state)), id_(id), alive_(std::move(alive)), published_(std::move(published)) {}
    ~FakeHandle() override {
        alive_->store(false);
        auto state = state_.lock();
        if (!state) return;
        std::lock_guard g(state->m);
        state->browses.erase(id_);
        state->resolves.erase(id_);
        if (!published_.name.empty()) {
            std::erase_if(state->entries, [&](auto& e) { return e.instance == published_; });
            state->changed(published_.type);
        }
    }

private:
    std::weak_ptr<FakeServiceBrowser::State> state_;
    uint64_t id_;
    Alive alive_;
    ServiceInstance published_;
};

}  // namespace

FakeServiceBrowser::FakeServiceBrowser() : state_(std::make_shared<State>()) {}
FakeServiceBrowser::~FakeServiceBrowser() = default;

void FakeServiceBrowser::add(const ServiceInstance& instance, ServiceAddress address) {
    std::lock_guard g(state_->m);
    std::erase_if(state_->entries, [&](auto& e) { return e.instance == instance; });
    state_->entries.push_back({instance, std::move(address)});
    state_->changed(instance.type);
}

void FakeServiceBrowser::remove(const std::string& name, const std::string& type) {
    std::lock_guard g(state_->m);
    std::erase_if(state_->entries, [&](auto& e) { return e.instance.name == name && e.instance.type == type; });
    state_->changed(type);
}

void FakeServiceBrowser::fail(const std::string& type, const std::string& error) {
    std::lock_guard g(state_->m);
    for (auto it = state_->browses.begin(); it != state_->browses.end();) {
        if (it->second.type != type) {
            ++it;
            continue;
        }
        BrowseEvent event{BrowseEvent::Kind::failed, {}, error};
        deliver(it->second.executor, it->second.alive, [fn = it->second.onEvent, event] { fn(event); });
        it = state_->browses.erase(it);
    }
}

void FakeServiceBrowser::wait(const std::string& type, const std::string& error) {
    std::lock_guard g(state_->m);
    for (auto& [id, b] : state_->browses) {
        if (b.type != type) continue;
        BrowseEvent event{BrowseEvent::Kind::waiting, {}, error};
        deliver(b.executor, b.alive, [fn = b.onEvent, event] { fn(event); });
    }
}

size_t FakeServiceBrowser::browsesStarted(const std::string& type) const {
    std::lock_guard g(state_->m);
    auto it = state_->started.find(type);
    return it == state_->started.end() ? 0 : it->second;
}

size_t FakeServiceBrowser::browsesRunning(const std::string& type) const {
    std::lock_guard g(state_->m);
    size_t n = 0;
    for (auto& [id, b] : state_->browses) n += b.type == type;
    return n;
}

std::unique_ptr<DiscoveryHandle> FakeServiceBrowser::browse(const std::string& type,
                                                            std::shared_ptr<Executor> executor, OnBrowse onEvent) {
    auto alive = std::make_shared<std::atomic<bool>>(true);
    std::lock_guard g(state_->m);
    uint64_t id = state_->nextId++;
    ++state_->started[type];
    auto& b = state_->browses[id] = {type, std::move(executor), std::move(onEvent), alive};
    State::report(b, state_->visible(type));
    return std::make_unique<FakeHandle>(state_, id, alive, ServiceInstance{});
}

std::unique_ptr<DiscoveryHandle> FakeServiceBrowser::resolve(const ServiceInstance& instance,
                                                             std::shared_ptr<Executor> executor, OnResolve done) {
    auto alive = std::make_shared<std::atomic<bool>>(true);
    std::lock_guard g(state_->m);
    uint64_t id = state_->nextId++;
    state_->resolves[id] = {instance, std::move(executor), std::move(done), alive};
    state_->finishResolves();
    return std::make_unique<FakeHandle>(state_, id, alive, ServiceInstance{});
}

void FakeServiceBrowser::stop() {
    std::vector<std::shared_ptr<Executor>> queues;
    {
        std::lock_guard g(state_->m);
        for (auto& [id, b] : state_->browses) {
            b.alive->store(false);
            queues.push_back(b.executor);
        }
        for (auto& [id, r] : state_->resolves) {
            r.alive->store(false);
            queues.push_back(r.executor);
        }
        state_->browses.clear();
        state_->resolves.clear();
    }
    // A report that passed its check before the flag fell has returned once these do.
    for (auto& q : queues) q->drain();
}

std::unique_ptr<DiscoveryHandle> FakeServiceBrowser::publish(const std::string& name, const std::string& type,
                                                             uint16_t port, std::shared_ptr<Executor>,
                                                             std::function<void(std::string)>) {
    ServiceInstance instance{name, type, "local", "lo"};
    add(instance, ServiceAddress{"127.0.0.1", port, 0});
    std::lock_guard g(state_->m);
    return std::make_unique<FakeHandle>(state_, state_->nextId++, std::make_shared<std::atomic<bool>>(true),
                                        instance);
}

}  // namespace kelvo
