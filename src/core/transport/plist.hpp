#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelvo {

// An owned property-list node (libplist). Move-only; frees the node tree on destruction.
// Accessors read a dictionary and return nullopt for a missing key or a value of another type.
class Plist {
public:
    Plist() = default;
    explicit Plist(plist_t node) noexcept : node_(node) {}
    Plist(Plist&& other) noexcept : node_(other.release()) {}
    Plist& operator=(Plist&& other) noexcept;
    Plist(const Plist&) = delete;
    Plist& operator=(const Plist&) = delete;
    ~Plist();

    static Plist dict();
    // Parses XML or binary bytes; nullopt unless the root is a dictionary. Never throws.
    static std::optional<Plist> parseDict(std::span<const uint8_t> bytes);

    plist_t get() const noexcept { return node_; }
    plist_t release() noexcept;
    bool isDict() const noexcept;

    std::optional<std::string> string(const char* key) const;
    // A number's integer value (integers, and reals truncated when they fit).
    std::optional<int64_t> integer(const char* key) const;
    // Borrowed child of a dictionary, nullptr when absent.
    plist_t item(const char* key) const;

    void set(const char* key, std::string_view value);
    void set(const char* key, int64_t value);
    // Takes ownership of `value`.
    void set(const char* key, Plist value);

    // XML 1.0 serialisation; empty on failure.
    std::string toXml() const;

    static std::optional<int64_t> integerOf(plist_t node);
    static std::optional<std::string> stringOf(plist_t node);

private:
    plist_t node_ = nullptr;
};

}  // namespace kelvo
