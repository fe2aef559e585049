#include "core/settings/settings.hpp"

#include <cmath>
#include <limits>
#include <type_traits>

namespace kelvo {

namespace {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
}  // namespace

int64_t Settings::bitrateBps() const {
    double bps = bitrateMbps * 1'000'000.0;
    if (std::isnan(bps) || bps <= 0) return 0;
    if (bps >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(bps);
}

std::optional<Settings> JsonCoding<Settings>::read(const Json& v) {
    JsonReader r(v);
    Settings s;
    forEachSettingsField(s, [&](std::string_view name, auto& member) {
        using T = std::remove_reference_t<decltype(member)>;
        if constexpr (IsOptional<T>::value) {
            member = r.optional<typename T::value_type>(name);
        } else {
            member = r.required<T>(name);
        }
    });
    return r.finish(std::move(s));
}

Json JsonCoding<Settings>::write(const Settings& s) {
    JsonWriter w;
    forEachSettingsField(s, [&](std::string_view name, const auto& member) { w.set(name, member); });
    return w.take();
}

}  // namespace kelvo
