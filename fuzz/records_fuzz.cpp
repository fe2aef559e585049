// Every loader of binary payloads from the peer; the first byte picks the loader. A loaded
// record must write back to bytes that load to the same record.
#include <cstdlib>
#include <span>

#include "core/protocol/records.hpp"
#include "core/util/utf8.hpp"

namespace {

template <kelvo::PackedRecord T>
void roundTrip(std::span<const uint8_t> payload) {
    const auto record = kelvo::Wire::load<T>(payload, 0);
    if (!record) return;
    if (kelvo::Wire::load<T>(kelvo::Wire::pod(*record), 0) != record) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> payload(data + 1, size - 1);
    using namespace kelvo;
    switch (data[0] % 16) {
        case 0: roundTrip<KVPing>(payload); break;
        case 1: roundTrip<KVPong>(payload); break;
        case 2: roundTrip<KVAppState>(payload); break;
        case 3: roundTrip<KVUIEvent>(payload); break;
        case 4: roundTrip<KVKeyEvent>(payload); break;
        case 5: roundTrip<KVFrameAck>(payload); break;
        case 6: roundTrip<KVKeyframeRequest>(payload); break;
        case 7: roundTrip<KVProbeResult>(payload); break;
        case 8: roundTrip<KVVideoHello>(payload); break;
        case 9: roundTrip<KVVideoFrameHeader>(payload); break;
        case 10: roundTrip<KVProbeFrame>(payload); break;
        case 11: {
            const auto frame = readTouchFrame(payload);
            if (frame && frame->points.size() > Wire::maxTouches) std::abort();
            break;
        }
        case 12: {
            const auto line = readTabletLogLine(payload);
            if (line && !isValidUtf8(line->text)) std::abort();
            break;
        }
        case 13: {
            if (const auto f = Wire::load<KVStreamFormat>(payload, 0)) {
                readParameterSets(payload, KVStreamFormat::kSize, f->spsLength, f->ppsLength);
            }
            break;
        }
        case 14: {
            if (const auto b = Wire::load<KVProbeBegin>(payload, 0)) {
                readParameterSets(payload, KVProbeBegin::kSize, b->spsLength, b->ppsLength);
                roundTrip<KVProbeBegin>(payload);
            }
            break;
        }
        default: {
            roundTrip<KVCursorState>(payload);
            roundTrip<KVCursorShapeHeader>(payload);
            roundTrip<KVStreamStop>(payload);
            break;
        }
    }
    return 0;
}
