#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/input/input_context.hpp"

namespace kelvo {

// Turns the tablet keyboard's text and special keys into key and text events. Input queue only;
// `ctx` outlives it.
class KeyboardSynthesizer {
public:
    // Longest text typed from one message, in UTF-16 code units; the rest is dropped.
    static constexpr size_t kMaxTextUnits = 4096;
    // Text events carry at most this many UTF-16 code units.
    static constexpr size_t kChunkUnits = 20;

    explicit KeyboardSynthesizer(InputContext& ctx) : ctx_(ctx) {}

    // Types valid UTF-8 text. One printable ASCII character while a sidebar modifier is active
    // becomes a key stroke of the current layout (with those modifiers). Otherwise the text goes
    // out as text events of at most kChunkUnits, with line breaks typed as Return and tabs as
    // Tab; other control characters are dropped. Invalid UTF-8 types nothing.
    void text(std::string_view utf8);
    // A special key of the tablet (1 delete, 2 return, 3 tab, 4 escape, 5…8 left, right, up,
    // down); other codes are ignored.
    void key(int tabletCode, bool down);
    // Releases every key pressed through key() and not yet released (a lost release must not
    // leave a key stuck).
    void releaseAll();

    // `text` in pieces of at most `limit` UTF-16 code units, never splitting a character; a
    // character longer than the limit is a piece of its own.
    static std::vector<std::string> chunks(std::string_view text, size_t limit);

private:
    void stroke(uint16_t keyCode, EventFlags extra = EventFlag::none);

    InputContext& ctx_;
    std::set<uint16_t> held_;  // virtual keys down
};

}  // namespace kelvo
