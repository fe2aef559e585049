#include "core/session/device_profile.hpp"

#include "core/util/reference_date.hpp"

namespace kelvo {

DeviceProfile::DeviceProfile(std::string key, std::string name)
    : key(std::move(key)), name(std::move(name)), lastSeen(std::chrono::system_clock::now()) {}

std::optional<ProbeRecord> JsonCoding<ProbeRecord>::read(const Json& v) {
    JsonReader r(v);
    ProbeRecord rec;
    rec.iosVersion = r.required<std::string>("iosVersion");
    rec.appBuild = r.required<int64_t>("appBuild");
    rec.orientation = r.required<Orientation>("orientation");
    rec.policy = r.required<QualityPolicy>("policy");
    rec.results = r.required<std::vector<RungResult>>("results");
    rec.selection = r.optional<ProbeSelection>("selection");
    auto date = dateFromReferenceSeconds(r.required<double>("date"));
    if (!date) return std::nullopt;
    rec.date = *date;
    return r.finish(std::move(rec));
}

Json JsonCoding<ProbeRecord>::write(const ProbeRecord& rec) {
    JsonWriter w;
    w.set("iosVersion", rec.iosVersion);
    w.set("appBuild", rec.appBuild);
    w.set("orientation", rec.orientation);
    w.set("policy", rec.policy);
    w.set("results", rec.results);
    w.set("selection", rec.selection);
    w.set("date", secondsSinceReferenceDate(rec.date));
    return w.take();
}

std::optional<DeviceProfile> JsonCoding<DeviceProfile>::read(const Json& v) {
    JsonReader r(v);
    DeviceProfile p;
    p.key = r.required<std::string>("key");
    p.name = r.required<std::string>("name");
    p.preset = r.optional<DisplayPreset>("preset");
    p.orientation = r.optional<OrientationSetting>("orientation");
    p.probe = r.optional<ProbeRecord>("probe");
    p.lastMode = r.optional<InputMode>("lastMode");
    auto lastSeen = dateFromReferenceSeconds(r.required<double>("lastSeen"));
    if (!lastSeen) return std::nullopt;
    p.lastSeen = *lastSeen;
    return r.finish(std::move(p));
}

Json JsonCoding<DeviceProfile>::write(const DeviceProfile& p) {
    JsonWriter w;
    w.set("key", p.key);
    w.set("name", p.name);
    w.set("preset", p.preset);
    w.set("orientation", p.orientation);
    w.set("probe", p.probe);
    w.set("lastMode", p.lastMode);
    w.set("lastSeen", secondsSinceReferenceDate(p.lastSeen));
    return w.take();
}

}  // namespace kelvo
