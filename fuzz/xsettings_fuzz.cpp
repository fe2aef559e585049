// Any bytes a settings daemon might publish as its XSETTINGS blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/x11/xsettings.hpp"

using namespace kelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> blob(data, size);
    const auto settings = parseXSettings(blob);
    const auto interval = doubleClickIntervalFrom(blob);
    // An interval is only ever read from a blob that parses, and is a sane one.
    if (interval && (!settings || !(*interval > 0 && *interval <= 10))) abort();
    return 0;
}
