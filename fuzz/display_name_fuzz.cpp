// The tablet's name (outside bytes) becomes the virtual display's name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/display/display_source.hpp"
#include "core/util/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::string shown = kelvo::VirtualDisplaySource::displayName(name);
    std::string whole = "Kelvo \u00B7 " + kelvo::decodeUtf8Lossy(name);
    if (!kelvo::isValidUtf8(shown) || whole.compare(0, shown.size(), shown) != 0) std::abort();
    if (shown.rfind("Kelvo \u00B7 ", 0) != 0) std::abort();
    return 0;
}
