// Feeds the input to one parser whole and to another in pseudo-random splits (seeded by the
// first byte); both must yield the same messages and the same first error.
#include <cstdlib>
#include <span>

#include "core/protocol/frame_parser.hpp"

namespace {

struct Outcome {
    std::vector<kelvo::WireMessage> messages;
    std::optional<kelvo::WireError> error;
};

void drain(kelvo::FrameParser& parser, Outcome& out) {
    while (!out.error) {
        auto result = parser.next();
        if (!result) {
            out.error = result.error();
            auto again = parser.next();
            if (again || again.error() != result.error()) std::abort();  // errors must repeat
            return;
        }
        if (!result.value()) return;
        out.messages.push_back(std::move(*result.value()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t state = data[0] * 2654435761u + 1;
    const std::span<const uint8_t> input(data + 1, size - 1);

    Outcome whole;
    kelvo::FrameParser a;
    a.append(input);
    drain(a, whole);

    Outcome split;
    kelvo::FrameParser b;
    size_t at = 0;
    while (at < input.size() && !split.error) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(input.size() - at, (state >> 16) % 64 + 1);
        b.append(input.subspan(at, n));
        at += n;
        drain(b, split);
    }
    if (whole.messages != split.messages || whole.error != split.error) std::abort();
    return 0;
}
