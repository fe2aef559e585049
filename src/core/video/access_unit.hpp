#pragma once

#include <cstdint>
#include <span>

#include "core/video/h264_encoder.hpp"

namespace kelvo {

// One NAL unit as the codec emits it: its nal_unit_type and its bytes, 4-byte big-endian length
// prefix included.
struct CodedNal {
    int type = 0;
    std::span<const uint8_t> bytes;
};

// Turns the codec's output for one picture into an EncodedFrame.
struct AccessUnit {
    // SPS (type 7) and PPS (type 8) go to their fields on key frames and are left out of `data`
    // on every frame; all other units are copied into `data` with their prefixes. Fails with
    // encodeFailed(badOutput) when a prefix does not match its unit or no unit is left for
    // `data`, and with encodeFailed(outOfMemory) when the bytes cannot be copied — never a frame
    // with missing bytes.
    static EncodeResult pack(std::span<const CodedNal> nals, bool isKeyframe, uint64_t ptsUs);
};

}  // namespace kelvo
