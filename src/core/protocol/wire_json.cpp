#include "core/protocol/wire_json.hpp"

#include "core/util/log.hpp"

namespace kelvo::Wire {

std::vector<uint8_t> jsonBody(const Json& value) {
    auto text = encodeJson(value);
    if (!text) {
        Log::w("wire", "JSON body could not be encoded (non-finite number); sending {}");
        text = "{}";
    }
    return {text->begin(), text->end()};
}

}  // namespace kelvo::Wire
