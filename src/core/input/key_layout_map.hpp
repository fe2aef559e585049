#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace kelvo {

// Which virtual key (and whether Shift) types a character on a keyboard layout. Only printable
// ASCII characters are kept: the map serves single characters typed with a sidebar modifier.
class KeyLayoutMap {
public:
    struct Stroke {
        uint16_t keyCode = 0;
        bool shift = false;
        friend bool operator==(const Stroke&, const Stroke&) = default;
    };

    // What one virtual key types with or without Shift on some layout: the one character it
    // yields, or nothing (dead keys, several characters, no character).
    using Translator = std::function<std::optional<char32_t>(uint16_t keyCode, bool shift)>;
    // Builds the map of the current layout; the platform installs it.
    using Source = std::function<KeyLayoutMap()>;

    // The built-in US ANSI map: the unshifted characters, then the shifted ones on their keys.
    static const KeyLayoutMap& usANSI();
    // Translates keys 0…127 unshifted, then shifted; the first key found for a character wins.
    // A layout that yields 25 printable characters or fewer gives usANSI instead.
    static KeyLayoutMap fromTranslator(const Translator& translate);
    // The current layout's map, from the installed source; usANSI while none is installed.
    // Any thread.
    static KeyLayoutMap current();
    // The installed source's map; nothing while none is installed. Any thread.
    static std::optional<KeyLayoutMap> fromInstalledSource();
    static void installCurrentSource(Source source);

    // The stroke for `c`; an upper-case letter missing from the map is its lower-case key with
    // Shift.
    std::optional<Stroke> operator[](char32_t c) const;
    size_t size() const { return strokes_.size(); }

    friend bool operator==(const KeyLayoutMap&, const KeyLayoutMap&) = default;

private:
    std::map<char32_t, Stroke> strokes_;
};

}  // namespace kelvo
