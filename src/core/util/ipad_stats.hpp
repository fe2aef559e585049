#pragma once

#include <cstdint>
#include <optional>

#include "core/util/json.hpp"

namespace kelvo {

// The tablet's own statistics, the JSON body of its stats message. Every figure is optional and
// in the tablet's units; absent figures are left out of the JSON.
struct IPadStats {
    std::optional<int64_t> rxFrames;
    std::optional<int64_t> decoded;
    std::optional<int64_t> discarded;
    std::optional<int64_t> decodeErrors;
    std::optional<double> decodeUsAvg;  // microseconds
    std::optional<double> decodeUsP95;  // microseconds; the adaptive policy uses it when present
    std::optional<double> rxKbps;
    std::optional<int64_t> touchFrames;
    std::optional<double> cpu;    // fraction of one processor
    std::optional<double> memMB;
    std::optional<int64_t> benchBytes;

    friend bool operator==(const IPadStats&, const IPadStats&) = default;
};

// Unknown keys are ignored; a present member of the wrong type fails the whole body.
template <>
struct JsonCoding<IPadStats> {
    static std::optional<IPadStats> read(const Json& v);
    static Json write(const IPadStats& s);
};

}  // namespace kelvo
