#include "core/util/reference_date.hpp"

#include <cmath>

namespace kelvo {
namespace {

const SystemTime kReferenceDate = std::chrono::system_clock::from_time_t(978307200);  // 2001-01-01 UTC
// Dates further than this from the reference do not fit the clock's nanoseconds.
constexpr double kMaxDateSeconds = 9.0e9;

}  // namespace

double secondsSinceReferenceDate(SystemTime date) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(date - kReferenceDate).count();
    return static_cast<double>(us) / 1e6;
}

std::optional<SystemTime> dateFromReferenceSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDateSeconds) return std::nullopt;
    auto us = std::chrono::microseconds(std::llround(seconds * 1e6));
    return kReferenceDate + std::chrono::duration_cast<SystemTime::duration>(us);
}

}  // namespace kelvo
