#include "core/video/access_unit.hpp"

#include <new>

namespace kelvo {

namespace {

constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

bool prefixMatches(std::span<const uint8_t> b) {
    if (b.size() <= 4) return false;
    const uint64_t n = uint64_t(b[0]) << 24 | uint64_t(b[1]) << 16 | uint64_t(b[2]) << 8 | uint64_t(b[3]);
    return n == b.size() - 4;
}

}  // namespace

EncodeResult AccessUnit::pack(std::span<const CodedNal> nals, bool isKeyframe, uint64_t ptsUs) {
    size_t dataBytes = 0;
    for (const auto& nal : nals) {
        if (!prefixMatches(nal.bytes)) return EncoderError::encodeFailed(EncoderStatus::badOutput);
        if (nal.type != kNalSps && nal.type != kNalPps) dataBytes += nal.bytes.size();
    }
    if (dataBytes == 0) return EncoderError::encodeFailed(EncoderStatus::badOutput);
    try {
        EncodedFrame frame;
        frame.isKeyframe = isKeyframe;
        frame.ptsUs = ptsUs;
        frame.data.reserve(dataBytes);
        for (const auto& nal : nals) {
            if (nal.type == kNalSps || nal.type == kNalPps) {
                if (!isKeyframe) continue;
                auto& slot = nal.type == kNalSps ? frame.sps : frame.pps;
                slot.emplace(nal.bytes.begin() + 4, nal.bytes.end());
            } else {
                frame.data.insert(frame.data.end(), nal.bytes.begin(), nal.bytes.end());
            }
        }
        return std::optional<EncodedFrame>(std::move(frame));
    } catch (const std::bad_alloc&) {
        return EncoderError::encodeFailed(EncoderStatus::outOfMemory);
    }
}

}  // namespace kelvo
