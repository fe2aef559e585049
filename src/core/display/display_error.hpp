#pragma once

#include <cstdint>
#include <string>

#include "core/display/display_services.hpp"

namespace kelvo {

// Failures of the display layer, each with a fixed English description.
struct DisplayError {
    enum class Kind { notFound, modeNotFound, configureFailed, unavailable, createFailed };
    Kind kind = Kind::createFailed;
    DisplayId display = 0;   // notFound
    std::string mode;        // modeNotFound: the wanted mode's description
    int32_t code = 0;        // configureFailed

    static DisplayError notFound(DisplayId id) { return {Kind::notFound, id, {}, 0}; }
    static DisplayError modeNotFound(std::string spec) { return {Kind::modeNotFound, 0, std::move(spec), 0}; }
    static DisplayError configureFailed(int32_t code) { return {Kind::configureFailed, 0, {}, code}; }
    static DisplayError unavailable() { return {Kind::unavailable, 0, {}, 0}; }
    static DisplayError createFailed() { return {Kind::createFailed, 0, {}, 0}; }

    std::string description() const;
    bool operator==(const DisplayError&) const = default;
};

}  // namespace kelvo
