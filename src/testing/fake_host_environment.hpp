#pragma once

// Stand-ins for the host's permissions, power sources and built-in brightness, driven by tests.
// Confined to the test's thread, as the real ones are to their queue.

#include <optional>

#include "core/session/built_in_brightness.hpp"
#include "core/session/permissions.hpp"
#include "core/session/power_sources.hpp"

namespace kelvo {

class FakeSessionPowerSource final : public SessionPowerSource {
public:
    bool reachable = true;   // what start() answers
    bool lockedNow = false;  // the state start() finds
    int allowSleepCalls = 0;
    bool started = false;

    bool start(Handlers handlers) override {
        handlers_ = std::move(handlers);
        started = reachable;
        return reachable;
    }
    bool locked() const override { return started && lockedNow; }
    void allowSleep() override { ++allowSleepCalls; }
    void stop() override {
        started = false;
        handlers_ = {};
    }

    void setLocked(bool locked) {
        lockedNow = locked;
        if (started && handlers_.lockChanged) handlers_.lockChanged(locked);
    }
    void sleep() {
        if (started && handlers_.willSleep) handlers_.willSleep();
    }
    void wake() {
        if (started && handlers_.didWake) handlers_.didWake();
    }

private:
    Handlers handlers_;
};

class FakeDisplaySleepSource final : public DisplaySleepSource {
public:
    bool asleepNow = false;
    bool started = false;

    bool start(std::function<void(bool)> changed) override {
        changed_ = std::move(changed);
        started = true;
        return true;
    }
    bool asleep() const override { return asleepNow; }
    void stop() override {
        started = false;
        changed_ = nullptr;
    }

    void set(bool asleep) {
        asleepNow = asleep;
        if (started && changed_) changed_(asleep);
    }

private:
    std::function<void(bool)> changed_;
};

class FakeBrightness final : public BuiltInBrightness {
public:
    std::optional<double> value;
    int reads = 0;
    std::optional<double> read() override {
        ++reads;
        return value;
    }
};

class FakePermissions final : public Permissions {
public:
    bool screenCaptureAllowed = true;
    bool accessibilityAllowed = true;
    int requests = 0;
    int settingsOpened = 0;
    int userActivity = 0;

    bool screenCapture() override { return screenCaptureAllowed; }
    bool accessibility() override { return accessibilityAllowed; }
    bool requestScreenCapture() override {
        ++requests;
        return screenCaptureAllowed;
    }
    bool requestAccessibility() override {
        ++requests;
        return accessibilityAllowed;
    }
    void openScreenCaptureSettings() override { ++settingsOpened; }
    void openAccessibilitySettings() override { ++settingsOpened; }
    void openDisplaySettings() override { ++settingsOpened; }
    void declareUserActivity() override { ++userActivity; }
};

}  // namespace kelvo
