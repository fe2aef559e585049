// Parses arbitrary bytes, reads them strictly, and checks that whatever parses re-encodes and
// parses back to the same value.
#include <cstdint>
#include <cstdlib>

#include "core/util/ipad_stats.hpp"
#include "core/util/json.hpp"
#include "core/util/live_stats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    auto value = parseJson(std::span<const uint8_t>(data, size));
    if (!value) return 0;
    if (value->is_object()) {
        JsonReader r(*value);
        (void)r.optional<uint16_t>("port");
        (void)r.optional<int64_t>("id");
        (void)r.optional<std::vector<double>>("curve");
        (void)r.optional<std::map<std::string, std::string>>("items");
        (void)r.optional<std::string>("name");
    }
    (void)jsonAs<IPadStats>(*value);  // the tablet's stats body
    (void)jsonAs<LiveStats>(*value);
    // Parsed input holds no non-finite number, so it always encodes.
    auto text = encodeJson(*value);
    if (!text) abort();
    auto again = parseJson(*text);
    if (!again) abort();
    if (encodeJson(*again) != text) abort();
    return 0;
}
