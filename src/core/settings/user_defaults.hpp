#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Persistent bytes under short keys ("kv.settings", "kv.devices", ...). Implementations are
// thread-safe; each call completes its I/O before it returns.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // The bytes stored under `key`; nullopt when nothing is stored. Something stored that cannot
    // be read in full gives empty bytes, which no reader accepts.
    virtual std::optional<std::string> data(std::string_view key) const = 0;
    // Replaces the value under `key` as a whole; false when it could not (the old value stays).
    virtual bool setData(std::string_view key, std::string_view bytes) = 0;
    // Keeps the current value under `key` aside, where a person can recover it, before a caller
    // overwrites a value it could not use. True when kept, or when nothing is stored.
    virtual bool keepAside(std::string_view key) = 0;
};

// Stores `bytes` under `key` for a store that found the stored value unusable: while
// `keepAsideFirst` is set, that value is kept aside first (then the flag is cleared) and nothing
// is written if it cannot be. nullopt when written; else what failed, for the caller's log.
std::optional<std::string_view> writeKeepingUnusable(UserDefaults& defaults, std::string_view key,
                                                     std::string_view bytes, bool& keepAsideFirst);

// Values in memory only: for tests, and for stores that must not touch the disk.
class MemoryUserDefaults final : public UserDefaults {
public:
    std::optional<std::string> data(std::string_view key) const override;
    bool setData(std::string_view key, std::string_view bytes) override;
    bool keepAside(std::string_view key) override;

    // What keepAside(key) kept; nullopt when nothing was.
    std::optional<std::string> keptAside(std::string_view key) const;
    // Number of successful setData calls so far.
    size_t writeCount() const;

private:
    mutable std::mutex lock_;
    std::map<std::string, std::string, std::less<>> values_;
    std::map<std::string, std::string, std::less<>> aside_;
    size_t writes_ = 0;
};

}  // namespace kelvo
