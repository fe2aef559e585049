#pragma once

#include <optional>

#include "core/util/log.hpp"

namespace kelvo {

// Stored records (pairing file, statistics, device profiles) keep dates as seconds since
// 2001-01-01 00:00:00 UTC, the date form their readers expect.
double secondsSinceReferenceDate(SystemTime date);

// The date for a stored number; none when it is not finite or too far out for the clock.
std::optional<SystemTime> dateFromReferenceSeconds(double seconds);

}  // namespace kelvo
