#include "core/util/live_stats.hpp"

#include <cmath>

namespace kelvo {
namespace {

using SysClock = std::chrono::system_clock;

const SysClock::time_point kReferenceDate = SysClock::from_time_t(978307200);  // 2001-01-01 UTC
// Dates further than this from the reference do not fit the clock's nanoseconds.
constexpr double kMaxDateSeconds = 9.0e9;

double secondsSinceReference(SysClock::time_point date) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(date - kReferenceDate).count();
    return static_cast<double>(us) / 1e6;
}

std::optional<SysClock::time_point> dateFromSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDateSeconds) return std::nullopt;
    auto us = std::chrono::microseconds(std::llround(seconds * 1e6));
    return kReferenceDate + std::chrono::duration_cast<SysClock::duration>(us);
}

}  // namespace

std::optional<Percentiles> JsonCoding<Percentiles>::read(const Json& v) {
    JsonReader r(v);
    Percentiles p;
    p.p50 = r.required<double>("p50");
    p.p95 = r.required<double>("p95");
    return r.finish(p);
}

Json JsonCoding<Percentiles>::write(const Percentiles& p) {
    return JsonWriter().set("p50", p.p50).set("p95", p.p95).take();
}

std::optional<LiveStats> JsonCoding<LiveStats>::read(const Json& v) {
    JsonReader r(v);
    LiveStats s;
    auto date = dateFromSeconds(r.required<double>("date"));
    s.fps = r.required<double>("fps");
    s.kbps = r.required<double>("kbps");
    s.inFlight = r.required<int64_t>("inFlight");
    s.droppedBeforeEncode = r.required<int64_t>("droppedBeforeEncode");
    s.keyframes = r.required<int64_t>("keyframes");
    s.encodeMs = r.required<Percentiles>("encodeMs");
    s.transferMs = r.required<Percentiles>("transferMs");
    s.decodeMs = r.required<Percentiles>("decodeMs");
    s.e2eMs = r.required<Percentiles>("e2eMs");
    s.ackMsP90 = r.required<double>("ackMsP90");
    s.rttMs = r.required<double>("rttMs");
    s.offsetMs = r.required<double>("offsetMs");
    s.fpsCap = r.required<int64_t>("fpsCap");
    s.capReason = r.required<std::string>("capReason");
    s.streamSize = r.required<std::string>("streamSize");
    s.ipad = r.optional<IPadStats>("ipad");
    s.thermal = r.optional<std::string>("thermal");
    s.battery = r.optional<double>("battery");
    s.charging = r.optional<bool>("charging");
    if (!date) return std::nullopt;
    s.date = *date;
    return r.finish(std::move(s));
}

Json JsonCoding<LiveStats>::write(const LiveStats& s) {
    JsonWriter w;
    w.set("date", secondsSinceReference(s.date))
        .set("fps", s.fps)
        .set("kbps", s.kbps)
        .set("inFlight", s.inFlight)
        .set("droppedBeforeEncode", s.droppedBeforeEncode)
        .set("keyframes", s.keyframes)
        .set("encodeMs", s.encodeMs)
        .set("transferMs", s.transferMs)
        .set("decodeMs", s.decodeMs)
        .set("e2eMs", s.e2eMs)
        .set("ackMsP90", s.ackMsP90)
        .set("rttMs", s.rttMs)
        .set("offsetMs", s.offsetMs)
        .set("fpsCap", s.fpsCap)
        .set("capReason", s.capReason)
        .set("streamSize", s.streamSize)
        .set("ipad", s.ipad)
        .set("thermal", s.thermal)
        .set("battery", s.battery)
        .set("charging", s.charging);
    return w.take();
}

}  // namespace kelvo
