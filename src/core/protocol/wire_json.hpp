#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "core/util/json.hpp"

namespace kelvo {
namespace Wire {

// The body bytes of a JSON message: compact, sorted keys, absent optionals left out. When the
// value cannot be encoded (a non-finite number) the body is "{}" and a warning is logged.
std::vector<uint8_t> jsonBody(const Json& value);

template <class T>
std::vector<uint8_t> json(const T& message) {
    return jsonBody(toJson(message));
}

// The message in a JSON body; absent on any failure (malformed JSON, a missing or null required
// key, a value of the wrong type). Failures are not logged: each receiver decides.
template <class T>
std::optional<T> decodeJSON(std::span<const uint8_t> body) {
    return decodeJson<T>(body);
}

}  // namespace Wire

// A message record's JSON members, listed once for both directions: a specialization has
//   template <class V, class M> static void visit(V& v, M& m) { v("reason", m.reason); ... }
// A std::optional member is optional on the wire; any other member is required.
template <class T>
struct JsonFields;

namespace detail {
template <class F>
struct IsOptional : std::false_type {};
template <class F>
struct IsOptional<std::optional<F>> : std::true_type {};
}  // namespace detail

template <class T>
std::optional<T> readJsonRecord(const Json& j) {
    JsonReader reader(j);
    T record{};
    auto member = [&reader](const char* key, auto& field) {
        using F = std::remove_reference_t<decltype(field)>;
        if constexpr (detail::IsOptional<F>::value) {
            field = reader.template optional<typename F::value_type>(key);
        } else {
            field = reader.template required<F>(key);
        }
    };
    JsonFields<T>::visit(member, record);
    return reader.finish(std::move(record));
}

template <class T>
Json writeJsonRecord(const T& record) {
    JsonWriter writer;
    auto member = [&writer](const char* key, const auto& field) { writer.set(key, field); };
    JsonFields<T>::visit(member, record);
    return writer.take();
}

// Declares JsonCoding<T> for a record whose JsonFields<T> are given in a source file.
#define KELVO_JSON_RECORD(T)                         \
    template <>                                      \
    struct JsonCoding<T> {                           \
        static std::optional<T> read(const Json& j); \
        static Json write(const T& m);               \
    }

// Defines what KELVO_JSON_RECORD declared from the record's members, given as v("key", m.field)
// calls in declaration order.
#define KELVO_JSON_FIELDS(T, ...)                                                            \
    template <>                                                                              \
    struct JsonFields<T> {                                                                   \
        template <class V, class M>                                                          \
        static void visit(V& v, M& m) {                                                      \
            __VA_ARGS__                                                                      \
        }                                                                                    \
    };                                                                                       \
    std::optional<T> JsonCoding<T>::read(const Json& j) { return readJsonRecord<T>(j); } \
    Json JsonCoding<T>::write(const T& m) { return writeJsonRecord<T>(m); }

}  // namespace kelvo
