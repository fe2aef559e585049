#include "core/util/log.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/util/unique_fd.hpp"

namespace kelvo {

namespace {

std::atomic<LogLevel> gMinLevel{LogLevel::debug};

constexpr char kLetters[] = {'D', 'I', 'W', 'E'};

int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return LOG_DEBUG;
        case LogLevel::info: return LOG_INFO;
        case LogLevel::warn: return LOG_NOTICE;  // the "default" type: shown without extra filters
        case LogLevel::error: return LOG_ERR;
    }
    return LOG_INFO;
}

// Replaces control characters (C0, DEL and C1) and cuts at a UTF-8 boundary, so a hostile tablet
// line can neither split into several exported lines nor grow the ring without bound.
std::string sanitizeRelayed(std::string_view text) {
    static constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
    std::string out;
    out.reserve(std::min(text.size(), kMaxRelayedLineBytes + 1));
    // Replacements never grow the text, so stopping one byte past the bound is enough to know.
    for (size_t i = 0; i < text.size() && out.size() <= kMaxRelayedLineBytes; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out.push_back(' ');
        } else if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            out.push_back(' ');  // U+0080..U+009F, NEL among them
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (out.size() > kMaxRelayedLineBytes) {
        size_t limit = kMaxRelayedLineBytes - kEllipsis.size();
        while (limit > 0 && (static_cast<unsigned char>(out[limit]) & 0xC0) == 0x80) --limit;
        out.resize(limit);
        out += kEllipsis;
    }
    return out;
}

void writeSystemLog(LogLevel level, const std::string& text) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("com.kelvo.host", LOG_PID, LOG_USER); });
    syslog(syslogPriority(level), "%s", text.c_str());
}

}  // namespace

std::string_view logLevelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::debug: return "debug";
        case LogLevel::info: return "info";
        case LogLevel::warn: return "warn";
        case LogLevel::error: return "error";
    }
    return "info";
}

std::optional<LogLevel> logLevelFromName(std::string_view name) {
    std::string lower(name);
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "debug") return LogLevel::debug;
    if (lower == "info") return LogLevel::info;
    if (lower == "warn" || lower == "warning") return LogLevel::warn;
    if (lower == "error") return LogLevel::error;
    return std::nullopt;
}

std::optional<LogLevel> logLevelFromRaw(int64_t raw) noexcept {
    if (raw < 0 || raw > 3) return std::nullopt;
    return static_cast<LogLevel>(raw);
}

std::string_view logOriginName(LogOrigin origin) noexcept { return origin == LogOrigin::ipad ? "ipad" : "mac"; }

std::string LogEntry::formatted() const {
    using namespace std::chrono;
    auto sinceEpoch = date.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto ms = duration_cast<milliseconds>(sinceEpoch - secs).count();
    if (ms < 0) {
        ms += 1000;
        secs -= seconds(1);
    }
    time_t t = static_cast<time_t>(secs.count());
    tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    std::string out;
    out.reserve(32 + tag.size() + message.size());
    out += stamp;
    out += origin == LogOrigin::ipad ? " iPad " : " Host ";
    out += kLetters[static_cast<int>(level) & 3];
    out += " [";
    out += tag;
    out += "] ";
    out += message;
    return out;
}

std::string LogEntry::systemLogText() const {
    std::string text = origin == LogOrigin::ipad ? "iPad [" : "[";
    text += tag;
    text += "] ";
    text += message;
    return text;
}

bool systemLogListening(const std::string& socketPath) {
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    // syslog(3) tries a datagram socket first, then a stream.
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
        if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    }
    return false;
}

bool logNeedsEcho(int stderrFd, const std::string& systemLogSocket) {
    return ::isatty(stderrFd) == 1 || !systemLogListening(systemLogSocket);
}

LogStore& LogStore::shared() {
    static LogStore* store = new LogStore();  // never destroyed: threads may log during exit
    return *store;
}

void LogStore::append(LogLevel level, std::string_view tag, std::string_view message, LogOrigin origin,
                      SystemTime date) {
    LogEntry entry;
    entry.date = date;
    entry.origin = origin;
    entry.level = level;
    entry.tag = std::string(tag);
    entry.message = origin == LogOrigin::ipad ? sanitizeRelayed(message) : std::string(message);

    ObserverList<const LogEntry&>::Snapshot observers;
    std::optional<LogLevel> echo;
    bool systemLog;
    {
        std::lock_guard g(lock_);
        entry.id = nextId_++;
        entries_.push_back(entry);
        while (entries_.size() > capacity_) entries_.pop_front();
        observers = observers_.snapshot();
        echo = echoLevel_;
        systemLog = systemLog_;
    }

    if (systemLog) writeSystemLog(level, entry.systemLogText());
    if (echo && level >= *echo) {
        std::string line = entry.formatted();
        line += '\n';
        // One write so that lines from several threads do not interleave.
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
    }
    ObserverList<const LogEntry&>::notify(observers, entry);
}

std::vector<LogEntry> LogStore::snapshot() const {
    std::lock_guard g(lock_);
    return {entries_.begin(), entries_.end()};
}

std::string LogStore::exportText() const {
    auto entries = snapshot();
    std::string out;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i) out += '\n';
        out += entries[i].formatted();
    }
    return out;
}

Uuid LogStore::addObserver(Observer observer) { return observers_.add(std::move(observer)); }
void LogStore::removeObserver(const Uuid& id) { observers_.remove(id); }

size_t LogStore::capacity() const {
    std::lock_guard g(lock_);
    return capacity_;
}
void LogStore::setCapacity(size_t capacity) {
    std::lock_guard g(lock_);
    capacity_ = capacity;
}
std::optional<LogLevel> LogStore::echoLevel() const {
    std::lock_guard g(lock_);
    return echoLevel_;
}
void LogStore::setEchoLevel(std::optional<LogLevel> level) {
    std::lock_guard g(lock_);
    echoLevel_ = level;
}
void LogStore::setSystemLogEnabled(bool enabled) {
    std::lock_guard g(lock_);
    systemLog_ = enabled;
}

LogLevel Log::minLevel() noexcept { return gMinLevel.load(std::memory_order_relaxed); }
void Log::setMinLevel(LogLevel level) noexcept { gMinLevel.store(level, std::memory_order_relaxed); }

void Log::record(LogLevel level, std::string_view tag, std::string_view message) {
    LogStore::shared().append(level, tag, message, LogOrigin::mac, std::chrono::system_clock::now());
}

}  // namespace kelvo
