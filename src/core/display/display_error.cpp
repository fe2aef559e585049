#include "core/display/display_error.hpp"

namespace kelvo {

std::string DisplayError::description() const {
    switch (kind) {
        case Kind::notFound: return "display " + std::to_string(display) + " is not online";
        case Kind::modeNotFound: return "no display mode matches " + mode;
        case Kind::configureFailed: return "display configuration failed (" + std::to_string(code) + ")";
        case Kind::unavailable: return "virtual displays are not available on this display server";
        case Kind::createFailed: return "failed to create the virtual display";
    }
    return "display error";
}

}  // namespace kelvo
