#include "core/input/app_profile_store.hpp"

#include "core/util/log.hpp"

namespace kelvo {

AppProfileStore::AppProfileStore(std::shared_ptr<UserDefaults> defaults) : defaults_(std::move(defaults)) {
    if (!defaults_) return;
    if (auto bytes = defaults_->data(defaultsKey)) {
        if (auto config = decodeJson<AppProfilesConfig>(*bytes)) user_ = std::move(*config);
    }
}

void AppProfileStore::setUser(AppProfilesConfig config) {
    user_ = std::move(config);
    if (!defaults_) return;
    auto bytes = encodeJson(toJson(user_));
    if (!bytes || !defaults_->setData(defaultsKey, *bytes)) {
        Log::w("input", "could not store the application gesture profiles");
    }
}

ResolvedProfile AppProfileStore::resolve(const std::optional<std::string>& bundleID, const Settings& settings) const {
    return resolveProfile(bundleID, settings, {&AppProfilesConfig::builtIn(), &user_});
}

}  // namespace kelvo
