// The input subsystem's readers of outside bytes; the first byte picks the reader.
#include <cstdlib>
#include <span>
#include <string_view>

#include "core/input/app_profile.hpp"
#include "core/input/key_combo.hpp"
#include "core/input/touch_frame.hpp"
#include "core/input/trace_recorder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    using namespace kelvo;
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0: {
            // A parsed frame encodes to bytes that parse to the same frame.
            const auto frame = TouchFrame::parse(bytes);
            if (frame && TouchFrame::parse(frame->encode()) != frame) std::abort();
            break;
        }
        case 1: {
            for (const auto& frame : TraceRecorder::parse(text)) {
                for (const auto& t : frame.touches) {
                    if (static_cast<uint8_t>(t.phase) > 4) std::abort();
                }
            }
            break;
        }
        case 2: {
            // A parsed combo survives its stored text.
            if (const auto combo = KeyCombo::parse(text)) {
                if (KeyCombo::parse(combo->rawText()) != combo) std::abort();
                combo->description();
            }
            const GestureAction action(text);
            if (GestureAction(action.rawValue()) != action) std::abort();
            break;
        }
        default: {
            if (const auto config = decodeJson<AppProfilesConfig>(text)) {
                if (decodeJson<AppProfilesConfig>(encodeWire(toJson(*config))) != config) std::abort();
                resolveProfile(std::string("x"), Settings{}, {&*config, &AppProfilesConfig::builtIn()});
            }
            break;
        }
    }
    return 0;
}
