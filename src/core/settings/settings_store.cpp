#include "core/settings/settings_store.hpp"

#include "core/settings/file_user_defaults.hpp"
#include "core/util/log.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "settings";

template <class T>
bool mergeMember(const Json& stored, T& member) {
    if (auto got = jsonAs<T>(stored)) {
        member = std::move(*got);
        return true;
    }
    return false;
}

template <class T>
bool mergeMember(const Json& stored, std::optional<T>& member) {
    if (stored.is_null()) {
        member.reset();
        return true;
    }
    if (auto got = jsonAs<T>(stored)) {
        member = std::move(*got);
        return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

}  // namespace

SettingsStore::SettingsStore(std::shared_ptr<UserDefaults> defaults, std::optional<Settings> initial)
    : defaults_(std::move(defaults)) {
    if (initial) {
        settings_ = std::move(*initial);
        return;
    }
    if (!defaults_) return;
    auto stored = defaults_->data(defaultsKey);
    if (!stored) return;
    auto merged = decodeMergedReporting(*stored);
    if (!merged) {
        Log::w(kTag, [&] {
            return "stored settings (" + std::to_string(stored->size()) + " bytes) are not a JSON object; using defaults";
        });
        keepAsideBeforeWrite_ = true;
        return;
    }
    settings_ = std::move(merged->settings);
    if (!merged->rejected.empty()) {
        Log::w(kTag, [&] { return "stored settings unusable, defaults taken for: " + joined(merged->rejected); });
        keepAsideBeforeWrite_ = true;
    }
}

SettingsStore& SettingsStore::shared() {
    static SettingsStore store(std::make_shared<FileUserDefaults>(FileUserDefaults::standardFolder()));
    return store;
}

Settings SettingsStore::settings() const {
    std::lock_guard g(lock_);
    return settings_;
}

void SettingsStore::update(const std::function<void(Settings&)>& body) {
    Settings old = settings();
    Settings now = old;
    body(now);
    if (now == old) return;
    ObserverList<const Settings&, const Settings&>::Snapshot observers;
    {
        std::lock_guard g(lock_);
        settings_ = now;
        observers = observers_.snapshot();
    }
    persist(now);
    ObserverList<const Settings&, const Settings&>::notify(observers, old, now);
}

void SettingsStore::persist(const Settings& now) {
    if (!defaults_) return;
    std::lock_guard g(persistLock_);
    auto bytes = encodeJson(toJson(now));
    if (!bytes) {
        Log::w(kTag, "settings not saved: a number is not finite");
        return;
    }
    if (auto failed = writeKeepingUnusable(*defaults_, defaultsKey, *bytes, keepAsideBeforeWrite_)) {
        Log::e(kTag, "settings not saved: " + std::string(*failed));
    }
}

Uuid SettingsStore::observe(Observer observer) { return observers_.add(std::move(observer)); }

void SettingsStore::removeObserver(const Uuid& id) { observers_.remove(id); }

std::optional<SettingsStore::Merged> SettingsStore::decodeMergedReporting(std::string_view data) {
    auto stored = parseJsonObject(data);
    if (!stored) return std::nullopt;
    Merged out;
    forEachSettingsField(out.settings, [&](std::string_view name, auto& member) {
        auto it = stored->find(name);
        if (it == stored->end()) return;
        if (!mergeMember(*it, member)) out.rejected.emplace_back(name);
    });
    return out;
}

std::optional<Settings> SettingsStore::decodeMerged(std::string_view data) {
    auto merged = decodeMergedReporting(data);
    if (!merged) return std::nullopt;
    return std::move(merged->settings);
}

}  // namespace kelvo
