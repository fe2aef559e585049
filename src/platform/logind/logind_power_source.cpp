#include "platform/logind/logind_power_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <systemd/sd-login.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "core/util/log.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "power";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";

uint64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// Keeps the descriptor of an Inhibit reply; the message owns the one it carries.
UniqueFd inhibitorFrom(sd_bus_message* reply) {
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return UniqueFd();
    return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

}  // namespace

LogindPowerSource::LogindPowerSource(std::shared_ptr<Executor> queue, Options options)
    : queue_(std::move(queue)), options_(std::move(options)) {}

LogindPowerSource::~LogindPowerSource() { stop(); }

bool LogindPowerSource::start(Handlers handlers) {
    stop();
    std::string error;
    bus_ = openSystemBus(options_.callTimeoutUs, error);
    if (!bus_) {
        Log::w(kTag, error);
        return false;
    }
    handlers_ = std::move(handlers);
    alive_ = std::make_shared<int>(0);

    // Matches first, so that no change between reading the state and watching it is missed.
    auto match = [&](const char* path, const char* iface, const char* member, sd_bus_message_handler_t fn,
                     const char* arg0 = nullptr) {
        sd_bus_slot* slot = nullptr;
        int r;
        if (arg0) {
            std::string rule = std::string("type='signal',sender='") + kLogind + "',path='" + path + "',interface='" +
                               iface + "',member='" + member + "',arg0='" + arg0 + "'";
            r = sd_bus_add_match(bus_.get(), &slot, rule.c_str(), fn, this);
        } else {
            r = sd_bus_match_signal(bus_.get(), &slot, kLogind, path, iface, member, fn, this);
        }
        if (r < 0) {
            Log::w(kTag, [&] { return std::string("cannot watch ") + member + ": " + strerror(-r); });
            return false;
        }
        slots_.emplace_back(slot);
        return true;
    };
    if (!match(kManagerPath, kManager, "PrepareForSleep", &LogindPowerSource::onPrepareForSleep)) {
        stop();
        return false;
    }
    {
        // Also starts logind where the bus activates it on demand.
        SdBusError err;
        int preparing = 0;
        int r = sd_bus_get_property_trivial(bus_.get(), kLogind, kManagerPath, kManager, "PreparingForSleep",
                                            err.get(), 'b', &preparing);
        if (r < 0) {
            Log::w(kTag, "logind does not answer: " + err.text(r));
            stop();
            return false;
        }
    }
    takeInhibitor();

    sessionPath_ = findSessionPath();
    if (!sessionPath_.empty()) {
        match(sessionPath_.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged",
              &LogindPowerSource::onSessionProperties, kSession);
        match(sessionPath_.c_str(), kSession, "Lock", &LogindPowerSource::onLock);
        match(sessionPath_.c_str(), kSession, "Unlock", &LogindPowerSource::onUnlock);
        SdBusError err;
        int hint = 0;
        int r = sd_bus_get_property_trivial(bus_.get(), kLogind, sessionPath_.c_str(), kSession, "LockedHint", err.get(),
                                            'b', &hint);
        if (r < 0) Log::w(kTag, "cannot read the session's lock state: " + err.text(r));
        locked_ = r >= 0 && hint;
        Log::i(kTag, [&] { return "following session " + sessionPath_ + (locked_ ? " (locked)" : " (unlocked)"); });
    } else {
        Log::w(kTag, "no login session found: lock state is not followed");
    }

    watch_ = queue_->watchFd(sd_bus_get_fd(bus_.get()));
    timer_ = queue_->makeTimer();
    if (!watch_) {
        Log::e(kTag, "the queue cannot watch the system bus");
        stop();
        return false;
    }
    // Signals that came in during the calls above wait in the connection: handle them after start.
    queue_->post([this, alive = std::weak_ptr<int>(alive_)] {
        if (alive.lock()) process();
    });
    return true;
}

void LogindPowerSource::stop() {
    alive_.reset();
    if (watch_) watch_->cancel();
    watch_.reset();
    if (timer_) timer_->cancel();
    timer_.reset();
    readArmed_ = writeArmed_ = false;
    inhibitCall_.reset();
    slots_.clear();
    bus_.reset();
    if (inhibitor_) Log::d(kTag, "sleep delay released at stop");
    inhibitor_.reset();
    handlers_ = {};
    sessionPath_.clear();
    locked_ = false;
}

void LogindPowerSource::allowSleep() {
    if (!inhibitor_) return;
    inhibitor_.reset();
    Log::i(kTag, "sleep delay released");
}

std::string LogindPowerSource::findSessionPath() {
    std::string id = options_.sessionId;
    if (id.empty()) {
        char* own = nullptr;
        if (sd_pid_get_session(0, &own) >= 0 && own) id = own;
        free(own);
    }
    if (id.empty()) {
        if (const char* env = getenv("XDG_SESSION_ID")) id = env;
    }
    SdBusError err;
    if (id.empty()) {
        // Started outside any session (a user service, for example): follow the user's display session.
        sd_bus_message* reply = nullptr;
        std::string user = std::string(kManagerPath) + "/user/_" + std::to_string(getuid());
        int r = sd_bus_call_method(bus_.get(), kLogind, kManagerPath, kManager, "GetUser", err.get(), &reply, "u",
                                   static_cast<uint32_t>(getuid()));
        SdBusMessagePtr userReply(reply);
        const char* userPath = nullptr;
        if (r >= 0 && sd_bus_message_read(reply, "o", &userPath) >= 0 && userPath) user = userPath;
        reply = nullptr;
        r = sd_bus_get_property(bus_.get(), kLogind, user.c_str(), kUser, "Display", err.get(), &reply, "(so)");
        SdBusMessagePtr display(reply);
        const char* displayId = nullptr;
        const char* displayPath = nullptr;
        if (r >= 0 && sd_bus_message_read(reply, "(so)", &displayId, &displayPath) >= 0 && displayPath &&
            std::strcmp(displayPath, "/") != 0) {
            return displayPath;
        }
        return {};
    }
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_.get(), kLogind, kManagerPath, kManager, "GetSession", err.get(), &reply, "s",
                               id.c_str());
    SdBusMessagePtr owned(reply);
    const char* path = nullptr;
    if (r < 0 || sd_bus_message_read(reply, "o", &path) < 0 || !path) {
        Log::w(kTag, "cannot find login session " + id + ": " + err.text(r));
        return {};
    }
    return path;
}

bool LogindPowerSource::takeInhibitor() {
    SdBusError err;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_.get(), kLogind, kManagerPath, kManager, "Inhibit", err.get(), &reply, "ssss",
                               "sleep", "Kelvo Host", "Say goodbye to the tablet first", "delay");
    SdBusMessagePtr owned(reply);
    if (r < 0) {
        Log::w(kTag, "no sleep delay: " + err.text(r));
        return false;
    }
    inhibitor_ = inhibitorFrom(reply);
    if (!inhibitor_) Log::w(kTag, "no sleep delay: the reply carried no descriptor");
    return inhibitor_.valid();
}

void LogindPowerSource::takeInhibitorLater() {
    if (inhibitor_ || inhibitCall_) return;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_method_async(bus_.get(), &slot, kLogind, kManagerPath, kManager, "Inhibit",
                                     &LogindPowerSource::onInhibitReply, this, "ssss", "sleep", "Kelvo Host",
                                     "Say goodbye to the tablet first", "delay");
    if (r < 0) {
        Log::w(kTag, std::string("no sleep delay: ") + strerror(-r));
        return;
    }
    inhibitCall_.reset(slot);
}

int LogindPowerSource::onInhibitReply(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LogindPowerSource*>(self);
    me->inhibitCall_.reset();
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        Log::w(kTag, std::string("no sleep delay: ") + (e->message ? e->message : e->name ? e->name : "error"));
        return 0;
    }
    me->inhibitor_ = inhibitorFrom(m);
    if (!me->inhibitor_) Log::w(kTag, "no sleep delay: the reply carried no descriptor");
    return 0;
}

void LogindPowerSource::setLocked(bool locked, const char* how) {
    // A lock request and the locker's hint usually both arrive: report the state once.
    if (locked == locked_) return;
    locked_ = locked;
    Log::d(kTag, [&] { return std::string(locked ? "locked" : "unlocked") + " by " + how; });
    deliver([this, locked] {
        if (handlers_.lockChanged) handlers_.lockChanged(locked);
    });
}

void LogindPowerSource::deliver(Task task) {
    // Handlers run outside sd_bus_process, so that they may stop or destroy this source.
    queue_->post([alive = std::weak_ptr<int>(alive_), task = std::move(task)] {
        if (alive.lock()) task();
    });
}

int LogindPowerSource::onPrepareForSleep(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LogindPowerSource*>(self);
    int sleeping = 0;
    if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
    if (!sleeping) me->takeInhibitorLater();
    me->deliver([me, sleeping] {
        auto& handler = sleeping ? me->handlers_.willSleep : me->handlers_.didWake;
        if (handler) handler();
    });
    return 0;
}

int LogindPowerSource::onSessionProperties(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LogindPowerSource*>(self);
    const char* iface = nullptr;
    if (sd_bus_message_read(m, "s", &iface) < 0 || !iface || std::strcmp(iface, kSession) != 0) return 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    std::optional<bool> hint;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0) return 0;
        if (name && std::strcmp(name, "LockedHint") == 0) {
            int value = 0;
            if (sd_bus_message_enter_container(m, 'v', "b") < 0) return 0;
            if (sd_bus_message_read(m, "b", &value) < 0) return 0;
            sd_bus_message_exit_container(m);
            hint = value != 0;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return 0;
        }
        sd_bus_message_exit_container(m);
    }
    if (hint) me->setLocked(*hint, "LockedHint");
    return 0;
}

int LogindPowerSource::onLock(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<LogindPowerSource*>(self)->setLocked(true, "Lock");
    return 0;
}

int LogindPowerSource::onUnlock(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<LogindPowerSource*>(self)->setLocked(false, "Unlock");
    return 0;
}

void LogindPowerSource::process() {
    // A handler may stop this source; `alive` says whether to go on.
    std::weak_ptr<int> alive = alive_;
    for (;;) {
        if (!alive.lock() || !bus_) return;
        int r = sd_bus_process(bus_.get(), nullptr);
        if (!alive.lock()) return;
        if (r < 0) {
            Log::e(kTag, std::string("system bus connection lost: ") + strerror(-r));
            // Nothing more will arrive; keep the last known state.
            watch_.reset();
            timer_.reset();
            return;
        }
        if (r == 0) break;
    }
    arm();
}

void LogindPowerSource::arm() {
    int events = sd_bus_get_events(bus_.get());
    std::weak_ptr<int> alive = alive_;
    if (!readArmed_) {
        readArmed_ = true;
        watch_->waitReadable([this, alive] {
            if (!alive.lock()) return;
            readArmed_ = false;
            process();
        });
    }
    if (events > 0 && (events & POLLOUT) && !writeArmed_) {
        writeArmed_ = true;
        watch_->waitWritable([this, alive] {
            if (!alive.lock()) return;
            writeArmed_ = false;
            process();
        });
    }
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus_.get(), &until) >= 0 && until != UINT64_MAX) {
        uint64_t now = monotonicUs();
        timer_->scheduleOnce(until > now ? until - now : 0, [this, alive] {
            if (alive.lock()) process();
        });
    } else {
        timer_->cancel();
    }
}

}  // namespace kelvo
