#pragma once

#include <cstdint>
#include <string>

#include "core/settings/settings_enums.hpp"
#include "core/util/json.hpp"
#include "core/video/h264_encoder.hpp"

namespace kelvo {

// A profile is stored as its raw value; any other text fails to read.
template <>
struct JsonCoding<H264Profile> {
    static std::optional<H264Profile> read(const Json& v) {
        if (!v.is_string()) return std::nullopt;
        return h264ProfileFromRaw(v.get_ref<const std::string&>());
    }
    static Json write(H264Profile p) { return std::string(h264ProfileRaw(p)); }
};

// The stream size, profile and rate ceiling chosen for one tablet by the decode probe; persisted
// inside its device profile. Values loaded from a stored profile are not trusted: the streamer
// validates them when it is made.
struct ProbeSelection {
    std::string rungName;
    int64_t width = 0;
    int64_t height = 0;
    int64_t levelOverride = 0;  // 0: keep the encoder's level
    H264Profile profile = H264Profile::constrainedHigh;
    int64_t maxFps = 60;

    bool operator==(const ProbeSelection&) const = default;

    // "L2 2048×1536 constrainedHigh level=42 ≤60 fps" (level part only when not 0).
    std::string description() const;

    // What is used when nothing is known: L4 at 1600×1200 (1200×1600 portrait), 60 fps.
    static ProbeSelection fallback(Orientation orientation);
};

// Keys are the field names; the profile is its raw value. Every key is required. Numbers are
// read as they were stored, in or out of range: ranges are the streamer's to check.
template <>
struct JsonCoding<ProbeSelection> {
    static std::optional<ProbeSelection> read(const Json& v);
    static Json write(const ProbeSelection& s);
};

}  // namespace kelvo
