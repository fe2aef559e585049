#include "core/session/stream_setup.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "session";

}  // namespace

Size StreamSetup::tabletPoints(const HelloMsg& hello) {
    SizeD pt = hello.screenPoints();
    return {pt.width, pt.height};
}

SizeD StreamSetup::landscapeMillimetres(const HelloMsg& hello) {
    SizeD mm = hello.screenMillimeters();
    return {std::max(mm.width, mm.height), std::min(mm.width, mm.height)};
}

std::optional<StreamSetup::Cached> StreamSetup::fromRecord(const ProbeRecord& record, QualityPolicy policy) {
    if (record.policy != policy || !record.selection) return std::nullopt;
    std::vector<RungResult> rejudged;
    rejudged.reserve(record.results.size());
    for (const auto& r : record.results) rejudged.push_back(RungResult::judged(r));
    if (auto selection = ProbeSelector::select(rejudged, policy)) return Cached{std::move(rejudged), *selection};
    return Cached{record.results, *record.selection};
}

int StreamSetup::frameRateCap(const Settings& settings) {
    if (settings.fpsCap < 1) {
        Log::w(kTag, "frame rate cap " + std::to_string(settings.fpsCap) + " unusable, using " +
                         std::to_string(kDefaultFps));
        return kDefaultFps;
    }
    return static_cast<int>(std::min<int64_t>(settings.fpsCap, kMaxFps));
}

int StreamSetup::bitrate(const Settings& settings) {
    int64_t bps = settings.bitrateBps();
    if (bps < kMinBitrate) {
        Log::w(kTag, "bitrate setting " + std::to_string(settings.bitrateMbps) + " Mbit/s unusable, using " +
                         std::to_string(kDefaultBitrate / 1'000'000) + " Mbit/s");
        return kDefaultBitrate;
    }
    return static_cast<int>(std::min<int64_t>(bps, std::numeric_limits<int>::max()));
}

VideoStreamer::Config StreamSetup::streamerConfig(const ProbeSelection& selection, const Settings& settings) {
    return VideoStreamer::Config::from(selection, frameRateCap(settings), bitrate(settings));
}

Rect StreamSetup::integral(const Rect& rect) {
    double left = std::floor(rect.x), top = std::floor(rect.y);
    return {left, top, std::ceil(rect.x + rect.width) - left, std::ceil(rect.y + rect.height) - top};
}

Rect StreamSetup::localSourceRect(const Rect& rect, const Rect& bounds) {
    // NaN (from a corrupted custom rectangle) sorts nowhere: it counts as the display's corner.
    auto clampTo = [](double v, double hi) { return std::isfinite(v) ? std::clamp(v, 0.0, std::max(hi, 0.0)) : 0.0; };
    double x = clampTo(rect.x - bounds.x, bounds.width - 1);
    double y = clampTo(rect.y - bounds.y, bounds.height - 1);
    double w = std::isfinite(rect.width) ? std::min(rect.width, bounds.width - x) : bounds.width - x;
    double h = std::isfinite(rect.height) ? std::min(rect.height, bounds.height - y) : bounds.height - y;
    return integral({x, y, std::max(w, 1.0), std::max(h, 1.0)});
}

bool CaptureRestartBudget::take(uint64_t nowUs) {
    while (!restartsUs_.empty() && nowUs - restartsUs_.front() >= kWindowUs) restartsUs_.pop_front();
    if (static_cast<int>(restartsUs_.size()) >= kMaxRestarts) return false;
    restartsUs_.push_back(nowUs);
    return true;
}

}  // namespace kelvo
