#include "core/session/device_profile_store.hpp"

#include <algorithm>

#include "core/settings/file_user_defaults.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "session";

}  // namespace

DeviceProfileStore::DeviceProfileStore(std::shared_ptr<UserDefaults> defaults) : defaults_(std::move(defaults)) {
    if (!defaults_) return;
    auto stored = defaults_->data(defaultsKey);
    if (!stored) return;
    auto decoded = decode(*stored);
    if (!decoded) {
        Log::w(kTag, [&] {
            return "stored device profiles (" + std::to_string(stored->size()) + " bytes) are not a JSON object; starting empty";
        });
        keepAsideBeforeWrite_ = true;
        return;
    }
    profiles_ = std::move(decoded->profiles);
    if (!decoded->rejected.empty()) {
        Log::w(kTag, [&] {
            std::string names;
            for (const auto& n : decoded->rejected) names += (names.empty() ? "" : ", ") + n;
            return "unreadable device profiles left out: " + names;
        });
        keepAsideBeforeWrite_ = true;
    }
}

DeviceProfileStore& DeviceProfileStore::shared() {
    static DeviceProfileStore store(std::make_shared<FileUserDefaults>(FileUserDefaults::standardFolder()));
    return store;
}

std::optional<DeviceProfile> DeviceProfileStore::profile(std::string_view key) const {
    auto it = profiles_.find(std::string(key));
    if (it == profiles_.end()) return std::nullopt;
    return it->second;
}

std::vector<DeviceProfile> DeviceProfileStore::all() const {
    std::vector<DeviceProfile> out;
    out.reserve(profiles_.size());
    for (const auto& [key, p] : profiles_) out.push_back(p);
    std::stable_sort(out.begin(), out.end(),
                     [](const DeviceProfile& a, const DeviceProfile& b) { return a.lastSeen > b.lastSeen; });
    return out;
}

DeviceProfile DeviceProfileStore::update(const std::string& key, const std::string& name,
                                         const std::function<void(DeviceProfile&)>& body) {
    auto it = profiles_.find(key);
    DeviceProfile p = it != profiles_.end() ? it->second : DeviceProfile(key, name);
    p.name = name;
    if (body) body(p);
    profiles_.insert_or_assign(key, p);
    save();
    return p;
}

void DeviceProfileStore::clearProbe(const std::string& key) {
    if (auto it = profiles_.find(key); it != profiles_.end()) it->second.probe.reset();
    save();
}

std::optional<ProbeRecord> DeviceProfileStore::cachedProbe(std::string_view key, std::string_view iosVersion,
                                                           int64_t appBuild, Orientation orientation) const {
    auto it = profiles_.find(std::string(key));
    if (it == profiles_.end() || !it->second.probe) return std::nullopt;
    const ProbeRecord& rec = *it->second.probe;
    if (rec.iosVersion != iosVersion || rec.appBuild != appBuild || rec.orientation != orientation || !rec.selection) {
        return std::nullopt;
    }
    return rec;
}

std::optional<DeviceProfileStore::Decoded> DeviceProfileStore::decode(std::string_view data) {
    auto json = parseJsonObject(data);
    if (!json) return std::nullopt;
    Decoded out;
    for (auto it = json->begin(); it != json->end(); ++it) {
        auto p = jsonAs<DeviceProfile>(it.value());
        // A profile that could not be written back would stop every later save.
        if (p && encodeJson(toJson(*p))) out.profiles.emplace(it.key(), std::move(*p));
        else out.rejected.push_back(it.key());
    }
    return out;
}

std::optional<std::string> DeviceProfileStore::encode(const std::map<std::string, DeviceProfile>& profiles) {
    return encodeJson(toJson(profiles));
}

void DeviceProfileStore::save() {
    if (!defaults_) return;
    auto bytes = encode(profiles_);
    if (!bytes) {
        Log::w(kTag, "device profiles not saved: they cannot be encoded");
        return;
    }
    if (auto failed = writeKeepingUnusable(*defaults_, defaultsKey, *bytes, keepAsideBeforeWrite_)) {
        Log::e(kTag, "device profiles not saved: " + std::string(*failed));
    }
}

}  // namespace kelvo
