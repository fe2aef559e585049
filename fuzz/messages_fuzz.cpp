// Every decoder of JSON control messages and of the texts inside them; the first byte picks the
// decoder. A decoded message must encode and decode back to itself.
#include <cstdlib>
#include <span>

#include "core/protocol/control_messages.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/util/base64.hpp"

namespace {

template <class T>
void roundTrip(std::span<const uint8_t> body) {
    const auto message = kelvo::Wire::decodeJSON<T>(body);
    if (!message) return;
    const auto again = kelvo::Wire::json(*message);
    const std::string text(again.begin(), again.end());
    if (text == "{}" && !kelvo::Wire::decodeJSON<T>(again)) return;  // a value the encoder refuses
    if (kelvo::Wire::decodeJSON<T>(again) != message) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> body(data + 1, size - 1);
    using namespace kelvo;
    switch (data[0] % 16) {
        case 0: {
            roundTrip<HelloMsg>(body);
            if (const auto hello = Wire::decodeJSON<HelloMsg>(body)) {
                const auto pt = hello->screenPoints();
                const auto mm = hello->screenMillimeters();
                if (!(pt.width > 0 && pt.width <= HelloMsg::kMaxScreenPoints)) std::abort();
                if (!(mm.height > 0 && mm.height <= HelloMsg::kMaxScreenMillimeters)) std::abort();
                if (hello->decode && hello->decode->probeCache) {
                    for (const auto& e : *hello->decode->probeCache) {
                        if (e.effectiveMaxUs() < 0 || e.effectiveAvgUs() < 0) std::abort();
                    }
                }
                (void)hello->supportsProtocolV1();
            }
            break;
        }
        case 1: roundTrip<HelloAckMsg>(body); break;
        case 2: roundTrip<ByeMsg>(body); break;
        case 3: roundTrip<PairMsg>(body); break;
        case 4: roundTrip<PairAckMsg>(body); break;
        case 5: roundTrip<ConfigMsg>(body); break;
        case 6: roundTrip<DeviceStatusMsg>(body); break;
        case 7: roundTrip<HostStateMsg>(body); break;
        case 8: roundTrip<KeyboardStateMsg>(body); break;
        case 9: roundTrip<UILayoutMsg>(body); break;
        case 10: roundTrip<UIStateMsg>(body); break;
        case 11: roundTrip<ToastMsg>(body); break;
        case 12: roundTrip<LogConfigMsg>(body); break;
        case 13: {
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            if (const auto token = HelloAckMsg::token(text)) {
                if (HelloAckMsg::token(HelloAckMsg::hex(*token)) != token) std::abort();
            }
            break;
        }
        default: {
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            if (const auto bytes = base64Decode(text)) {
                if (base64Encode(*bytes) != text) std::abort();  // strict: one text per byte string
            }
            break;
        }
    }
    return 0;
}
