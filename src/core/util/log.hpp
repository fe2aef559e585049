#pragma once

#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/observer_list.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

enum class LogLevel : int { debug = 0, info = 1, warn = 2, error = 3 };

inline constexpr std::array<LogLevel, 4> kAllLogLevels{LogLevel::debug, LogLevel::info, LogLevel::warn,
                                                      LogLevel::error};

// "debug", "info", "warn", "error".
std::string_view logLevelName(LogLevel level) noexcept;
// Case-insensitive; "warning" is accepted for warn.
std::optional<LogLevel> logLevelFromName(std::string_view name);
std::optional<LogLevel> logLevelFromRaw(int64_t raw) noexcept;

enum class LogOrigin { mac, ipad };
std::string_view logOriginName(LogOrigin origin) noexcept;  // "mac" / "ipad"

using SystemTime = std::chrono::system_clock::time_point;

struct LogEntry {
    uint64_t id = 0;
    SystemTime date;
    LogOrigin origin = LogOrigin::mac;
    LogLevel level = LogLevel::info;
    std::string tag;
    std::string message;

    // "HH:mm:ss.SSS Host W [tag] message" ("iPad" for tablet lines) in the process's local time zone.
    std::string formatted() const;
    // What the system log receives: "[tag] message", with "iPad " in front for tablet lines
    // (the system log stamps its own time).
    std::string systemLogText() const;
};

// Longest relayed tablet line kept; longer lines are cut and end in "…".
inline constexpr size_t kMaxRelayedLineBytes = 4096;

// The process-wide ring of log entries. Thread-safe: one lock guards the ring and the observer
// table; the system log, the echo and observers run after it is released, on the appending thread.
class LogStore {
public:
    using Observer = std::function<void(const LogEntry&)>;

    LogStore() = default;
    static LogStore& shared();

    // Records one entry. Entries of origin ipad come from the tablet: they are bounded to
    // kMaxRelayedLineBytes and control characters are replaced so that one line stays one line.
    void append(LogLevel level, std::string_view tag, std::string_view message, LogOrigin origin,
                SystemTime date);

    std::vector<LogEntry> snapshot() const;
    std::string exportText() const;

    Uuid addObserver(Observer observer);
    void removeObserver(const Uuid& id);

    size_t capacity() const;
    void setCapacity(size_t capacity);  // takes effect at the next append
    std::optional<LogLevel> echoLevel() const;
    void setEchoLevel(std::optional<LogLevel> level);
    // Mirror to syslog(3) under the identity "com.kelvo.host"; on by default, tests may turn it off.
    void setSystemLogEnabled(bool enabled);

private:
    mutable std::mutex lock_;
    std::deque<LogEntry> entries_;  // oldest first
    uint64_t nextId_ = 1;
    ObserverList<const LogEntry&> observers_;
    size_t capacity_ = 4000;
    std::optional<LogLevel> echoLevel_;
    bool systemLog_ = true;
};

// True when something takes syslog(3) lines at `socketPath` (a datagram or stream socket that
// accepts a connection).
bool systemLogListening(const std::string& socketPath = "/dev/log");
// Whether a person would see the log only through the echo to standard error: `stderrFd` is a
// terminal (the host was started from a shell), or no system log listens at `systemLogSocket`.
bool logNeedsEcho(int stderrFd = 2, const std::string& systemLogSocket = "/dev/log");

// The logging facade: Log::i("chan", "text") or Log::d("chan", [&] { return expensive(); }).
// A message given as a callable is only evaluated when the level passes Log::minLevel.
class Log {
public:
    static LogLevel minLevel() noexcept;
    static void setMinLevel(LogLevel level) noexcept;
    static bool enabled(LogLevel level) noexcept { return level >= minLevel(); }

    template <class M>
    static void d(std::string_view tag, M&& message) { write(LogLevel::debug, tag, std::forward<M>(message)); }
    template <class M>
    static void i(std::string_view tag, M&& message) { write(LogLevel::info, tag, std::forward<M>(message)); }
    template <class M>
    static void w(std::string_view tag, M&& message) { write(LogLevel::warn, tag, std::forward<M>(message)); }
    template <class M>
    static void e(std::string_view tag, M&& message) { write(LogLevel::error, tag, std::forward<M>(message)); }

    template <class M>
    static void write(LogLevel level, std::string_view tag, M&& message) {
        if (!enabled(level)) return;
        if constexpr (std::is_invocable_v<M>) {
            record(level, tag, std::string(std::forward<M>(message)()));
        } else {
            record(level, tag, std::string_view(message));
        }
    }

private:
    static void record(LogLevel level, std::string_view tag, std::string_view message);
};

}  // namespace kelvo
