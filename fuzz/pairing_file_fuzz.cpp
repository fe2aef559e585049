// Decodes arbitrary bytes as a pairing file; whatever decodes must encode and decode back to the
// same identity and records (dates within a microsecond: they travel as doubles).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/transport/pairing_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    auto file = PairingFile::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!file) return 0;
    auto text = file->encode();
    if (!text) return 0;  // a date too far out to write is refused, not mangled
    auto again = PairingFile::decode(*text);
    if (!again || again->hostID != file->hostID || again->devices.size() != file->devices.size()) abort();
    for (size_t i = 0; i < file->devices.size(); ++i) {
        const auto& a = file->devices[i];
        const auto& b = again->devices[i];
        if (a.udid != b.udid || a.name != b.name || a.service != b.service || a.key != b.key) abort();
        auto drift = a.paired > b.paired ? a.paired - b.paired : b.paired - a.paired;
        if (drift > std::chrono::microseconds(1)) abort();
    }
    return 0;
}
