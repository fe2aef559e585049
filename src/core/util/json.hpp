#pragma once

// The one JSON layer of the system: a strict, non-throwing reader and the writer of the wire form.
//
// Values are nlohmann::json (`Json`); its objects keep keys in a std::map, so they come out sorted.
// Records become JSON through a `JsonCoding<T>` specialization next to the record:
//
//   template <> struct JsonCoding<ByeMsg> {
//       static std::optional<ByeMsg> read(const Json& j) {
//           JsonReader r(j);
//           ByeMsg m;
//           m.reason = r.required<std::string>("reason");
//           m.code = r.optional<uint16_t>("code");   // missing or null: absent
//           return r.finish(std::move(m));           // nullopt when any member failed
//       }
//       static Json write(const ByeMsg& m) {
//           JsonWriter w;
//           w.set("reason", m.reason);
//           w.set("code", m.code);                   // an absent optional is left out
//           return w.take();
//       }
//   };
//
//   std::string body = encodeWire(toJson(msg));                  // "{}" when it cannot be encoded
//   std::optional<ByeMsg> got = decodeJson<ByeMsg>(payloadBytes);  // nullopt on any failure
//
// Reading rules: an integer member takes a JSON integer in the target's range or a whole double
// (3.5 is not an integer, 70000 is not a uint16_t, -1 is not unsigned); a double member takes any
// number; bool, string, array and object members take only their own JSON type; unknown keys are
// ignored. Nothing here throws.

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelvo {

using Json = nlohmann::json;

// Inputs larger than this, or nested deeper, are refused before parsing.
inline constexpr size_t kMaxJsonBytes = 8 * 1024 * 1024;
inline constexpr size_t kMaxJsonDepth = 64;

// The wire form: compact, keys sorted, "/" written "\/", whole doubles without a fraction
// (25.0 → 25), invalid UTF-8 in strings replaced by U+FFFD. nullopt when a number is not finite
// (or the value is nested deeper than the writer allows).
std::optional<std::string> encodeJson(const Json& value);
// encodeJson, or the two bytes "{}" when that fails: what a message body falls back to.
std::string encodeWire(const Json& value);

// Parses one JSON document. nullopt for malformed JSON, invalid UTF-8, trailing bytes, or input
// over kMaxJsonBytes / kMaxJsonDepth. Never throws.
std::optional<Json> parseJson(std::string_view bytes);
std::optional<Json> parseJson(std::span<const uint8_t> bytes);
// parseJson, and nullopt unless the top level is an object.
std::optional<Json> parseJsonObject(std::string_view bytes);

// How a type reads itself from and writes itself to a Json value. `read` returns nullopt for a
// value of the wrong type or out of range; it never throws. Specialize for records and enums.
template <class T, class = void>
struct JsonCoding;

// Strict conversion of one value, by JsonCoding<T>.
template <class T>
std::optional<T> jsonAs(const Json& value) {
    return JsonCoding<T>::read(value);
}
template <class T>
Json toJson(const T& value) {
    return JsonCoding<T>::write(value);
}

// Reads members of one object. The first failing member marks the reader failed and is named by
// error(); later reads still run but finish() gives nullopt. A value that is not an object fails
// at once. The reader refers to `object`, which must outlive it (not a temporary).
class JsonReader {
public:
    explicit JsonReader(const Json& object) : object_(object) {
        if (!object.is_object()) fail("", "not an object");
    }

    // Present, not null, and of type T; else the reader fails and T{} is returned.
    template <class T>
    T required(std::string_view key) {
        const Json* v = find(key);
        if (!v || v->is_null()) {
            fail(key, "missing");
            return T{};
        }
        if (auto got = JsonCoding<T>::read(*v)) return std::move(*got);
        fail(key, "wrong type or out of range");
        return T{};
    }

    // Missing or null gives nullopt; present with the wrong type fails the reader.
    template <class T>
    std::optional<T> optional(std::string_view key) {
        const Json* v = find(key);
        if (!v || v->is_null()) return std::nullopt;
        if (auto got = JsonCoding<T>::read(*v)) return got;
        fail(key, "wrong type or out of range");
        return std::nullopt;
    }

    bool has(std::string_view key) const { return find(key) != nullptr; }
    bool ok() const { return error_.empty(); }
    // "key: reason" of the first failure; empty while ok.
    const std::string& error() const { return error_; }

    template <class T>
    std::optional<T> finish(T value) const {
        if (!ok()) return std::nullopt;
        return std::optional<T>(std::move(value));
    }

private:
    const Json* find(std::string_view key) const {
        if (!object_.is_object()) return nullptr;
        auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }
    void fail(std::string_view key, std::string_view why) {
        if (error_.empty()) error_ = std::string(key) + (key.empty() ? "" : ": ") + std::string(why);
    }

    const Json& object_;
    std::string error_;
};

// Builds one object. set() of an optional leaves the key out when it is absent.
class JsonWriter {
public:
    template <class T>
    JsonWriter& set(std::string_view key, const T& value) {
        object_[std::string(key)] = JsonCoding<T>::write(value);
        return *this;
    }
    template <class T>
    JsonWriter& set(std::string_view key, const std::optional<T>& value) {
        if (value) set(key, *value);
        return *this;
    }
    JsonWriter& set(std::string_view key, const char* text) { return set(key, std::string(text)); }

    Json take() { return std::move(object_); }

private:
    Json object_ = Json::object();
};

// Parses bytes and reads a T from them; nullopt on any failure.
template <class T>
std::optional<T> decodeJson(std::string_view bytes) {
    auto value = parseJson(bytes);
    if (!value) return std::nullopt;
    return JsonCoding<T>::read(*value);
}
template <class T>
std::optional<T> decodeJson(std::span<const uint8_t> bytes) {
    return decodeJson<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// --- codings of the plain types -------------------------------------------------------------

template <>
struct JsonCoding<bool> {
    static std::optional<bool> read(const Json& v) {
        if (!v.is_boolean()) return std::nullopt;
        return v.get<bool>();
    }
    static Json write(bool b) { return b; }
};

template <class T>
struct JsonCoding<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static std::optional<T> read(const Json& v) {
        using L = std::numeric_limits<T>;
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u > static_cast<uint64_t>(L::max())) return std::nullopt;
            return static_cast<T>(u);
        }
        if (v.is_number_integer()) {
            auto s = v.get<int64_t>();
            if (s < 0 && !L::is_signed) return std::nullopt;
            if (L::is_signed && s < static_cast<int64_t>(L::min())) return std::nullopt;
            if (s > 0 && static_cast<uint64_t>(s) > static_cast<uint64_t>(L::max())) return std::nullopt;
            return static_cast<T>(s);
        }
        if (v.is_number_float()) {
            // A whole double in range; bounds are exact powers of two.
            double lo = static_cast<double>(L::min());
            double hi = std::ldexp(1.0, L::digits);
            double d = v.get<double>();
            if (!std::isfinite(d) || d != std::trunc(d) || d < lo || d >= hi) return std::nullopt;
            if constexpr (L::is_signed) return static_cast<T>(static_cast<int64_t>(d));
            else return static_cast<T>(static_cast<uint64_t>(d));
        }
        return std::nullopt;
    }
    static Json write(T n) { return n; }
};

template <>
struct JsonCoding<double> {
    static std::optional<double> read(const Json& v) {
        if (!v.is_number()) return std::nullopt;
        return v.get<double>();
    }
    static Json write(double d) { return d; }
};

template <>
struct JsonCoding<std::string> {
    static std::optional<std::string> read(const Json& v) {
        if (!v.is_string()) return std::nullopt;
        return v.get<std::string>();
    }
    static Json write(const std::string& s) { return s; }
};

template <>
struct JsonCoding<Json> {
    static std::optional<Json> read(const Json& v) { return v; }
    static Json write(const Json& v) { return v; }
};

// Arrays: every element must read as T.
template <class T>
struct JsonCoding<std::vector<T>> {
    static std::optional<std::vector<T>> read(const Json& v) {
        if (!v.is_array()) return std::nullopt;
        std::vector<T> out;
        out.reserve(v.size());
        for (const auto& e : v) {
            auto got = JsonCoding<T>::read(e);
            if (!got) return std::nullopt;
            out.push_back(std::move(*got));
        }
        return out;
    }
    static Json write(const std::vector<T>& items) {
        Json a = Json::array();
        for (const auto& e : items) a.push_back(JsonCoding<T>::write(e));
        return a;
    }
};

// Objects used as maps from text to T: every value must read as T.
template <class T>
struct JsonCoding<std::map<std::string, T>> {
    static std::optional<std::map<std::string, T>> read(const Json& v) {
        if (!v.is_object()) return std::nullopt;
        std::map<std::string, T> out;
        for (auto it = v.begin(); it != v.end(); ++it) {
            auto got = JsonCoding<T>::read(it.value());
            if (!got) return std::nullopt;
            out.emplace(it.key(), std::move(*got));
        }
        return out;
    }
    static Json write(const std::map<std::string, T>& items) {
        Json o = Json::object();
        for (const auto& [k, e] : items) o[k] = JsonCoding<T>::write(e);
        return o;
    }
};

// Enumerations with string raw values read and write themselves through core/util/raw_enum.hpp.

}  // namespace kelvo
