#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/input/app_profile.hpp"
#include "core/settings/user_defaults.hpp"

namespace kelvo {

// The user's per-application gesture overrides, kept in the user defaults under "kv.appProfiles".
// Made once by the application and shared; meant for the main thread.
class AppProfileStore {
public:
    static constexpr std::string_view defaultsKey = "kv.appProfiles";

    // Reads the stored document once. No defaults, nothing stored, or a document that does not
    // decode (one without "apps", say) gives the empty user layer. `defaults` may be null
    // (memory only).
    explicit AppProfileStore(std::shared_ptr<UserDefaults> defaults);

    const AppProfilesConfig& user() const { return user_; }
    // Replaces the user layer and stores it; a failed write leaves the stored bytes as they were.
    void setUser(AppProfilesConfig config);

    // The profile for `bundleID`: the built-in layer, then the user's, over the settings.
    ResolvedProfile resolve(const std::optional<std::string>& bundleID, const Settings& settings) const;

private:
    std::shared_ptr<UserDefaults> defaults_;
    AppProfilesConfig user_;
};

}  // namespace kelvo
