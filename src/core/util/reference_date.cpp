#include "core/util/reference_date.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace kelvo {
namespace {

using std::chrono::microseconds;

constexpr int64_t kReferenceSinceEpochUs = int64_t{978307200} * 1'000'000;  // 2001-01-01 UTC

// The clock's range in whole microseconds since the epoch; the reference date lies inside it, so
// a stored number is checked against these bounds after the offset is added, not before.
constexpr int64_t kMaxSinceEpochUs = std::chrono::duration_cast<microseconds>(SystemTime::duration::max()).count();
constexpr int64_t kMinSinceEpochUs = std::chrono::duration_cast<microseconds>(SystemTime::duration::min()).count();

}  // namespace

double secondsSinceReferenceDate(SystemTime date) {
    // Whole microseconds since the epoch leave room for the offset; a difference of nanosecond
    // time points would overflow for dates near the ends of the clock.
    const int64_t us = std::chrono::duration_cast<microseconds>(date.time_since_epoch()).count();
    return static_cast<double>(us - kReferenceSinceEpochUs) / 1e6;
}

std::optional<SystemTime> dateFromReferenceSeconds(double seconds) {
    // Beyond the clock's range on either side after any offset; also keeps llround in range.
    const double widest = static_cast<double>(kMaxSinceEpochUs) / 1e6 * 2;
    if (!std::isfinite(seconds) || std::fabs(seconds) > widest) return std::nullopt;
    const int64_t sinceEpochUs = std::llround(seconds * 1e6) + kReferenceSinceEpochUs;
    if (sinceEpochUs > kMaxSinceEpochUs || sinceEpochUs < kMinSinceEpochUs) return std::nullopt;
    return SystemTime(std::chrono::duration_cast<SystemTime::duration>(microseconds(sinceEpochUs)));
}

}  // namespace kelvo
