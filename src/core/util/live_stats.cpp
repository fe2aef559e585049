#include "core/util/live_stats.hpp"

#include <cmath>

#include "core/util/reference_date.hpp"

namespace kelvo {

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
    auto date = dateFromReferenceSeconds(r.required<double>("date"));
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
    w.set("date", secondsSinceReferenceDate(s.date))
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
