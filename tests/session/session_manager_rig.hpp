#pragma once

// A session manager over in-memory stores, fake power sources and permissions, recording every
// status it publishes. The test chooses the main queue (manual for virtual time, a real loop for
// the fake daemons) and what the environment holds beyond that.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/input/app_profile_store.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "core/testing/fake_host_environment.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/util/stats_store.hpp"

namespace kelvo::test {

struct ManagerRig {
    explicit ManagerRig(SessionEnvironment base, Settings initial = {}) : settings(nullptr, initial) {
        env = std::move(base);
        power = std::make_shared<PowerObserver>(env.main, PowerObserver::Sources{lock, display, nullptr});
        env.power = power;
        env.permissions = permissions;
    }
    ~ManagerRig() {
        if (manager) onMain([&] { manager->stop(); });
    }

    SessionManager& make(HostOptions options = {}) {
        options.frameSource = HostOptions::FrameSourceKind::testPattern;
        manager = SessionManager::create({settings, profiles, appProfiles, pairing, stats}, std::move(options), env);
        manager->onStatusChange = [this](const HostStatus& status) { statuses.push_back(status); };
        manager->onSessionChange = [this](const std::shared_ptr<DeviceSession>& session) {
            sessionChanges.push_back(session != nullptr);
        };
        return *manager;
    }

    // Runs `work` as a task of the main queue, driving the queue with `drive` until it ran.
    void onMain(const std::function<void()>& work) {
        bool done = false;
        env.main->post([&] {
            work();
            done = true;
        });
        while (!done) drive();
    }

    // The statuses published so far, each once.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& s : statuses) out.push_back(s.description());
        return out;
    }

    SettingsStore settings;
    DeviceProfileStore profiles{nullptr};
    AppProfileStore appProfiles{nullptr};
    PairingStore pairing{std::nullopt};
    StatsStore stats;
    std::shared_ptr<FakeSessionPowerSource> lock = std::make_shared<FakeSessionPowerSource>();
    std::shared_ptr<FakeDisplaySleepSource> display = std::make_shared<FakeDisplaySleepSource>();
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::shared_ptr<PowerObserver> power;
    SessionEnvironment env;
    std::shared_ptr<SessionManager> manager;
    std::vector<HostStatus> statuses;
    std::vector<bool> sessionChanges;  // true: a session began, false: it ended
    std::function<void()> drive;       // runs the main queue's ready work once
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
