#pragma once

// A session manager over the fake host environment (in-memory stores, fake power sources and
// permissions, the simulated display server), recording every status it publishes and every
// session change.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/session/session_manager.hpp"
#include "testing/fake_session_environment.hpp"

namespace kelvo::test {

struct ManagerRig {
    explicit ManagerRig(FakeSessionEnvironment::Queues queues, const Settings& initial = {}) : fake(queues) {
        fake.settings.update([&](Settings& s) { s = initial; });
    }
    ~ManagerRig() {
        if (manager) fake.onMain([&] { manager->stop(); });
    }

    // Made on the main queue; `change` may adjust the environment first.
    SessionManager& make(const std::function<void(SessionEnvironment&)>& change = nullptr) {
        SessionEnvironment env = fake.environment();
        if (change) change(env);
        fake.onMain([&] {
            manager = SessionManager::create({fake.settings, fake.profiles, fake.appProfiles, fake.pairing, fake.stats},
                                             options, env);
            manager->onStatusChange = [this](const HostStatus& status) { statuses.push_back(status); };
            manager->onSessionChange = [this](const std::shared_ptr<DeviceSession>& session) {
                sessionChanges.push_back({session != nullptr, fake.main->nowUs()});
            };
        });
        return *manager;
    }

    void onMain(const std::function<void()>& work) { fake.onMain(work); }
    void start() {
        onMain([&] { manager->start(); });
    }

    // Reads `fn` on the main queue.
    template <class F>
    auto read(F&& fn) {
        decltype(fn()) value{};
        fake.onMain([&] { value = fn(); });
        return value;
    }

    struct SessionChange {
        bool began = false;  // else ended
        uint64_t atUs = 0;   // main queue's clock
    };

    FakeSessionEnvironment fake;
    HostOptions options = [] {
        HostOptions o;
        o.frameSource = HostOptions::FrameSourceKind::testPattern;
        return o;
    }();
    std::shared_ptr<SessionManager> manager;
    std::vector<HostStatus> statuses;           // main queue
    std::vector<SessionChange> sessionChanges;  // main queue
};

inline Settings directSettings(uint16_t ctrlPort, uint16_t videoPort) {
    Settings s;
    s.directMode = true;
    s.directHost = "127.0.0.1";
    s.directCtrlPort = ctrlPort;
    s.directVideoPort = videoPort;
    return s;
}

}  // namespace kelvo::test
