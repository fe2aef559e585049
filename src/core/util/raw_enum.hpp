#pragma once

// Enumerations whose values travel as fixed strings (settings, profiles, messages). Declare the
// cases once, in declaration order, and get rawValue / fromRaw / allCases and JSON coding:
//
//   enum class CursorMode { overlay, burnedIn };
//   template <> struct RawEnumCases<CursorMode> {
//       static constexpr std::array table{RawCase{CursorMode::overlay, "overlay"},
//                                         RawCase{CursorMode::burnedIn, "burnedIn"}};
//   };
//
// fromRaw is an exact, case-sensitive match; JSON reading of any other string fails.

#include <array>
#include <optional>
#include <string_view>

#include "core/util/json.hpp"

namespace kelvo {

template <class E>
struct RawCase {
    E value;
    std::string_view raw;
};
// Needed by compilers without aggregate deduction (clang 14 builds the fuzz targets).
template <class E, class S>
RawCase(E, S) -> RawCase<E>;

template <class E>
struct RawEnumCases;

template <class E>
concept RawEnum = std::is_enum_v<E> && requires { RawEnumCases<E>::table; };

template <RawEnum E>
constexpr std::string_view rawValue(E e) {
    for (const auto& c : RawEnumCases<E>::table) {
        if (c.value == e) return c.raw;
    }
    return {};
}

template <RawEnum E>
constexpr std::optional<E> fromRaw(std::string_view raw) {
    for (const auto& c : RawEnumCases<E>::table) {
        if (c.raw == raw) return c.value;
    }
    return std::nullopt;
}

// Every case, in declaration order.
template <RawEnum E>
constexpr auto allCases() {
    constexpr auto& table = RawEnumCases<E>::table;
    std::array<E, table.size()> out{};
    for (size_t i = 0; i < table.size(); ++i) out[i] = table[i].value;
    return out;
}

template <RawEnum E>
struct JsonCoding<E> {
    static std::optional<E> read(const Json& v) {
        if (!v.is_string()) return std::nullopt;
        return fromRaw<E>(v.get_ref<const std::string&>());
    }
    static Json write(E e) { return std::string(rawValue(e)); }
};

}  // namespace kelvo
