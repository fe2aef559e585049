#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/session/power_sources.hpp"
#include "core/util/unique_fd.hpp"
#include "platform/logind/sd_bus_util.hpp"

namespace kelvo {

// Session lock and system sleep from systemd-logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS
// when set). Sleep: PrepareForSleep, with a delay inhibitor held while awake so that the host can
// say goodbye first; allowSleep() closes it and it is taken again after the wake. Lock: the
// current session's LockedHint and its Lock/Unlock requests.
//
// Confined to `queue`: start, stop and destruction run there, handlers are called there. Bus
// traffic is processed on the queue's descriptor readiness; start() makes its few calls
// synchronously, each bounded by the call time-out.
class LogindPowerSource final : public SessionPowerSource {
public:
    struct Options {
        // The logind session to follow; empty: this process's session, else $XDG_SESSION_ID,
        // else the user's display session.
        std::string sessionId;
        uint64_t callTimeoutUs = 2'000'000;
    };

    LogindPowerSource(std::shared_ptr<Executor> queue, Options options);
    explicit LogindPowerSource(std::shared_ptr<Executor> queue) : LogindPowerSource(std::move(queue), Options{}) {}
    ~LogindPowerSource() override;
    LogindPowerSource(const LogindPowerSource&) = delete;
    LogindPowerSource& operator=(const LogindPowerSource&) = delete;

    bool start(Handlers handlers) override;
    bool locked() const override { return locked_; }
    void allowSleep() override;
    void stop() override;

    // Whether the sleep delay is held now (tests and diagnostics).
    bool holdingSleepDelay() const { return inhibitor_.valid(); }
    // The session followed for the lock state; empty when none was found.
    const std::string& sessionPath() const { return sessionPath_; }

private:
    std::string findSessionPath();
    bool takeInhibitor();
    void takeInhibitorLater();
    void setLocked(bool locked, const char* how);
    void deliver(Task task);
    void process();
    void arm();

    static int onPrepareForSleep(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onSessionProperties(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onLock(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onUnlock(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onInhibitReply(sd_bus_message* m, void* self, sd_bus_error* error);

    std::shared_ptr<Executor> queue_;
    Options options_;
    Handlers handlers_;
    SdBusPtr bus_;
    std::vector<std::unique_ptr<sd_bus_slot, SdBusUnref>> slots_;
    std::unique_ptr<sd_bus_slot, SdBusUnref> inhibitCall_;
    std::unique_ptr<FdWatch> watch_;
    std::unique_ptr<Timer> timer_;
    std::shared_ptr<int> alive_;  // tasks posted to the queue find it gone after stop()
    bool readArmed_ = false;
    bool writeArmed_ = false;
    std::string sessionPath_;
    UniqueFd inhibitor_;
    bool locked_ = false;
};

}  // namespace kelvo
