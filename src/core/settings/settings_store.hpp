#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings/settings.hpp"
#include "core/settings/user_defaults.hpp"
#include "core/util/observer_list.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

// Owns the current Settings, persists every change under "kv.settings" and tells observers of
// each real change with (old, new). Meant for the main thread: update() is called from one
// thread at a time; settings() may be read from any thread.
class SettingsStore {
public:
    using Observer = std::function<void(const Settings& old, const Settings& now)>;
    static constexpr std::string_view defaultsKey = "kv.settings";

    // Takes `initial` when given, else loads from `defaults` (merged over the defaults, see
    // decodeMerged), else Settings(). A null `defaults` keeps changes in memory only. Loading
    // writes nothing; a stored document that could not be used in full is kept aside (see
    // UserDefaults::keepAside) just before the first change overwrites it.
    explicit SettingsStore(std::shared_ptr<UserDefaults> defaults, std::optional<Settings> initial = std::nullopt);

    // The process's store over the file-backed defaults in FileUserDefaults::standardFolder().
    static SettingsStore& shared();

    Settings settings() const;

    // Runs `body` on a copy of the settings. When the copy then differs, it becomes current, is
    // saved, and every observer registered at that moment is called synchronously on this
    // thread with (old, new). A change that changes nothing saves nothing and calls nobody.
    // An observer may call update() again.
    void update(const std::function<void(Settings&)>& body);

    // Registers an observer; the returned id removes it. Once removeObserver returns, that
    // observer is not called again (and no call of it is still running elsewhere).
    Uuid observe(Observer observer);
    void removeObserver(const Uuid& id);

    struct Merged {
        Settings settings;
        std::vector<std::string> rejected;  // stored members that took their default instead
    };
    // The stored document merged over Settings(): members with a field's name replace its
    // default when they read as that field's type; a member that does not (wrong type, null, an
    // unknown enumeration value, out of range) keeps the default and is named in `rejected`;
    // other keys are ignored. nullopt when the bytes are not a JSON object.
    static std::optional<Merged> decodeMergedReporting(std::string_view data);
    static std::optional<Settings> decodeMerged(std::string_view data);

private:
    // Outside lock_, so that whatever logging does on this thread may read the settings.
    void persist(const Settings& now);

    std::shared_ptr<UserDefaults> defaults_;
    mutable std::mutex lock_;
    Settings settings_;
    std::mutex persistLock_;
    bool keepAsideBeforeWrite_ = false;  // under persistLock_
    ObserverList<const Settings&, const Settings&> observers_;
};

}  // namespace kelvo
