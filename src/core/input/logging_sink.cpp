#include "core/input/logging_sink.hpp"

#include <cstdio>

#include "core/util/log.hpp"

namespace kelvo {

void LoggingSink::post(const SynthEvent& event, EventFlags flags) {
    Log::d("inject", [&] {
        std::string line = describe(event);
        if (flags != 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " flags=0x%llx", static_cast<unsigned long long>(flags));
            line += buf;
        }
        return line;
    });
}

}  // namespace kelvo
