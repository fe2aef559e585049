#include "core/app/number_text.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace kelvo {

std::string wholeNumberText(double value, Rounding rounding) {
    if (std::isnan(value)) return "-";
    double whole = rounding == Rounding::towardZero ? std::trunc(value) : std::nearbyint(value);
    // 2^63 is the first double past INT64_MAX; INT64_MIN is exactly representable.
    constexpr double kTop = 9223372036854775808.0;
    if (whole >= kTop) return std::to_string(std::numeric_limits<int64_t>::max());
    if (whole <= -kTop) return std::to_string(std::numeric_limits<int64_t>::min());
    return std::to_string(static_cast<int64_t>(whole));
}

}  // namespace kelvo
