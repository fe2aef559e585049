// Stored device profiles of any shape load without crashing, and whatever loads saves as a
// document that loads back to the same profiles with nothing left out.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/session/device_profile_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    auto decoded = DeviceProfileStore::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded) return 0;
    auto saved = DeviceProfileStore::encode(decoded->profiles);
    if (!saved) abort();  // decode keeps only profiles that can be written back
    auto again = DeviceProfileStore::decode(*saved);
    if (!again || !again->rejected.empty() || again->profiles != decoded->profiles) abort();
    return 0;
}
