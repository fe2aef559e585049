#include "core/settings/user_defaults.hpp"

namespace kelvo {

std::optional<std::string_view> writeKeepingUnusable(UserDefaults& defaults, std::string_view key,
                                                     std::string_view bytes, bool& keepAsideFirst) {
    if (keepAsideFirst) {
        if (!defaults.keepAside(key)) return "the unusable stored value could not be kept aside";
        keepAsideFirst = false;
    }
    if (!defaults.setData(key, bytes)) return "the write failed";
    return std::nullopt;
}

std::optional<std::string> MemoryUserDefaults::data(std::string_view key) const {
    std::lock_guard g(lock_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool MemoryUserDefaults::setData(std::string_view key, std::string_view bytes) {
    std::lock_guard g(lock_);
    values_.insert_or_assign(std::string(key), std::string(bytes));
    ++writes_;
    return true;
}

bool MemoryUserDefaults::keepAside(std::string_view key) {
    std::lock_guard g(lock_);
    auto it = values_.find(key);
    if (it != values_.end()) aside_.insert_or_assign(std::string(key), it->second);
    return true;
}

std::optional<std::string> MemoryUserDefaults::keptAside(std::string_view key) const {
    std::lock_guard g(lock_);
    auto it = aside_.find(key);
    if (it == aside_.end()) return std::nullopt;
    return it->second;
}

size_t MemoryUserDefaults::writeCount() const {
    std::lock_guard g(lock_);
    return writes_;
}

}  // namespace kelvo
