#include "core/util/json.hpp"

#include <algorithm>
#include <charconv>

#include "core/util/utf8.hpp"

namespace kelvo {
namespace {

// Values built in code can nest deeper than parsed ones; this only stops runaway recursion.
constexpr size_t kMaxWriteDepth = 512;

void writeString(std::string& out, std::string_view text) {
    std::string repaired;
    if (!isValidUtf8(text)) {
        repaired = decodeUtf8Lossy(text);
        text = repaired;
    }
    out.push_back('"');
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    static constexpr char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0xF]);
                } else {
                    out.push_back(ch);  // UTF-8 stays as it is
                }
        }
    }
    out.push_back('"');
}

template <class N>
void writeInteger(std::string& out, N n) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

bool writeDouble(std::string& out, double d) {
    if (!std::isfinite(d)) return false;
    // Whole numbers print as integers (25.0 → 25); beyond 2^63 the shortest exponent form stays.
    if (d == std::trunc(d) && std::fabs(d) < 9223372036854775808.0) {
        writeInteger(out, static_cast<int64_t>(d));
        return true;
    }
    out += Json(d).dump();  // shortest text that reads back to the same double
    return true;
}

bool writeValue(std::string& out, const Json& v, size_t depth) {
    if (depth > kMaxWriteDepth) return false;
    switch (v.type()) {
        case Json::value_t::null: out += "null"; return true;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return true;
        case Json::value_t::number_integer: writeInteger(out, v.get<int64_t>()); return true;
        case Json::value_t::number_unsigned: writeInteger(out, v.get<uint64_t>()); return true;
        case Json::value_t::number_float: return writeDouble(out, v.get<double>());
        case Json::value_t::string: writeString(out, v.get_ref<const std::string&>()); return true;
        case Json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& e : v) {
                if (!first) out.push_back(',');
                first = false;
                if (!writeValue(out, e, depth + 1)) return false;
            }
            out.push_back(']');
            return true;
        }
        case Json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {  // std::map: keys in sorted order
                if (!first) out.push_back(',');
                first = false;
                writeString(out, it.key());
                out.push_back(':');
                if (!writeValue(out, it.value(), depth + 1)) return false;
            }
            out.push_back('}');
            return true;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded:
            return false;
    }
    return false;
}

// Deepest bracket nesting outside strings; stops counting once past the limit.
size_t nestingDepth(std::string_view s) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char ch : s) {
        if (inString) {
            if (escaped) escaped = false;
            else if (ch == '\\') escaped = true;
            else if (ch == '"') inString = false;
            continue;
        }
        if (ch == '"') {
            inString = true;
        } else if (ch == '[' || ch == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > kMaxJsonDepth) return deepest;
        } else if ((ch == ']' || ch == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<std::string> encodeJson(const Json& value) {
    try {
        std::string out;
        if (!writeValue(out, value, 0)) return std::nullopt;
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

std::string encodeWire(const Json& value) {
    auto out = encodeJson(value);
    return out ? std::move(*out) : std::string("{}");
}

std::optional<Json> parseJson(std::string_view bytes) {
    if (bytes.size() > kMaxJsonBytes || nestingDepth(bytes) > kMaxJsonDepth) return std::nullopt;
    try {
        Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
        if (value.is_discarded()) return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Json> parseJson(std::span<const uint8_t> bytes) {
    return parseJson(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<Json> parseJsonObject(std::string_view bytes) {
    auto value = parseJson(bytes);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

}  // namespace kelvo
