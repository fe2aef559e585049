// The strict settings reader: whatever it accepts writes back to a document it reads to the same
// settings, and the lenient merge of the same bytes takes every member as it stands.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/settings/settings_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto value = parseJson(bytes);
    if (!value) return 0;
    const auto strict = jsonAs<Settings>(*value);
    if (!strict) return 0;
    (void)strict->bitrateBps();
    const auto text = encodeJson(toJson(*strict));
    if (!text) abort();  // parsed input holds only finite numbers
    const auto again = parseJson(*text);
    if (!again || jsonAs<Settings>(*again) != strict) abort();
    const auto merged = SettingsStore::decodeMerged(bytes);
    if (!merged || !(*merged == *strict)) abort();
    return 0;
}
