#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/session/device_profile.hpp"
#include "core/settings/user_defaults.hpp"

namespace kelvo {

// Every tablet's profile, in memory and as one JSON object under "kv.devices" (member names are
// the device keys). Every change is saved at once. Main thread only; no lock.
class DeviceProfileStore {
public:
    static constexpr std::string_view defaultsKey = "kv.devices";

    // Loads from `defaults` (null: memory only). Profiles are read one by one: an unreadable
    // one is left out and the rest kept. Loading writes nothing; when anything stored could not
    // be used, the stored document is kept aside (UserDefaults::keepAside) just before the first
    // save overwrites it.
    explicit DeviceProfileStore(std::shared_ptr<UserDefaults> defaults);

    // The process's store over the file-backed defaults, made on first use.
    static DeviceProfileStore& shared();

    std::optional<DeviceProfile> profile(std::string_view key) const;
    // Every profile, newest lastSeen first; equal dates in key order.
    std::vector<DeviceProfile> all() const;

    // Takes the profile under `key` (or a new DeviceProfile(key, name)), sets its name, applies
    // `body`, stores it under `key`, saves, and returns it. lastSeen of an existing profile is
    // left to `body`.
    DeviceProfile update(const std::string& key, const std::string& name,
                         const std::function<void(DeviceProfile&)>& body);
    // Removes the probe of the profile under `key`, if any, and saves.
    void clearProbe(const std::string& key);
    // The profile's probe when it ran for this OS version, app build and orientation and found a
    // selection; else nullopt.
    std::optional<ProbeRecord> cachedProbe(std::string_view key, std::string_view iosVersion, int64_t appBuild,
                                           Orientation orientation) const;

    struct Decoded {
        std::map<std::string, DeviceProfile> profiles;
        std::vector<std::string> rejected;  // member names whose profile could not be read
    };
    // nullopt when the bytes are not a JSON object.
    static std::optional<Decoded> decode(std::string_view data);
    static std::optional<std::string> encode(const std::map<std::string, DeviceProfile>& profiles);

private:
    void save();

    std::shared_ptr<UserDefaults> defaults_;
    std::map<std::string, DeviceProfile> profiles_;
    bool keepAsideBeforeWrite_ = false;
};

}  // namespace kelvo
