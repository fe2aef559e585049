#include "core/transport/plist.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace kelvo {

Plist& Plist::operator=(Plist&& other) noexcept {
    if (this != &other) {
        if (node_) plist_free(node_);
        node_ = other.release();
    }
    return *this;
}

Plist::~Plist() {
    if (node_) plist_free(node_);
}

Plist Plist::dict() { return Plist(plist_new_dict()); }

plist_t Plist::release() noexcept { return std::exchange(node_, nullptr); }

bool Plist::isDict() const noexcept { return node_ && plist_get_node_type(node_) == PLIST_DICT; }

std::optional<Plist> Plist::parseDict(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
    Plist p(root);
    if (!p.isDict()) return std::nullopt;
    return p;
}

plist_t Plist::item(const char* key) const {
    if (!isDict()) return nullptr;
    return plist_dict_get_item(node_, key);
}

std::optional<int64_t> Plist::integerOf(plist_t node) {
    if (!node) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            // The library keeps negative integers as their two's complement.
            return static_cast<int64_t>(v);
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
            return static_cast<int64_t>(d);
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::string> Plist::stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    // By pointer and length: the copying getter asserts on a string holding a zero byte.
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    if (!s) return std::nullopt;
    return std::string(s, length);
}

std::optional<std::string> Plist::string(const char* key) const { return stringOf(item(key)); }

std::optional<int64_t> Plist::integer(const char* key) const { return integerOf(item(key)); }

void Plist::set(const char* key, std::string_view value) {
    if (isDict()) plist_dict_set_item(node_, key, plist_new_string(std::string(value).c_str()));
}

void Plist::set(const char* key, int64_t value) {
    if (isDict()) plist_dict_set_item(node_, key, plist_new_uint(static_cast<uint64_t>(value)));
}

void Plist::set(const char* key, Plist value) {
    if (isDict() && value.get()) plist_dict_set_item(node_, key, value.release());
}

std::string Plist::toXml() const {
    if (!node_) return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node_, &xml, &length);
    if (!xml) return {};
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

}  // namespace kelvo
