#pragma once

#include <string>

namespace kelvo {

enum class Rounding { towardZero, nearestEven };

// `value` made whole and written as a plain decimal (no digit grouping, never "-0"). Values
// beyond the 64-bit integer range are clamped to it, so a hand-edited or hostile number cannot
// turn into a wall of digits; NaN has no whole form and is written "-".
std::string wholeNumberText(double value, Rounding rounding);

}  // namespace kelvo
