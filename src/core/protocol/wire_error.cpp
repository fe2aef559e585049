#include "core/protocol/wire_error.hpp"

#include <cstdio>

namespace kelvo {

std::string WireError::description() const {
    switch (kind) {
        case Kind::badMagic: {
            char text[32];
            std::snprintf(text, sizeof text, "bad magic 0x%04x", static_cast<unsigned>(value & 0xFFFF));
            return text;
        }
        case Kind::badVersion:
            return "unsupported protocol version " + std::to_string(value);
        case Kind::tooLarge:
            return "payload too large (" + std::to_string(value) + " bytes)";
    }
    return "wire error";
}

}  // namespace kelvo
