// Stored settings documents of any shape merge without crashing, and whatever merges saves as a
// document that loads back to the same settings.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/settings/settings_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    auto merged = SettingsStore::decodeMergedReporting(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!merged) return 0;
    auto saved = encodeJson(toJson(merged->settings));
    if (!saved) return 0;  // parsed JSON holds no non-finite number, but stay lenient
    auto again = SettingsStore::decodeMergedReporting(*saved);
    if (!again || !again->rejected.empty() || !(again->settings == merged->settings)) abort();
    return 0;
}
