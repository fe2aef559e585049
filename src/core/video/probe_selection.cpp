#include "core/video/probe_selection.hpp"

namespace kelvo {

std::string ProbeSelection::description() const {
    std::string text = rungName + " " + std::to_string(width) + "×" + std::to_string(height) + " " +
                       std::string(h264ProfileRaw(profile));
    if (levelOverride != 0) text += " level=" + std::to_string(levelOverride);
    return text + " ≤" + std::to_string(maxFps) + " fps";
}

ProbeSelection ProbeSelection::fallback(Orientation orientation) {
    const bool portrait = orientation == Orientation::portrait;
    return ProbeSelection{"L4", portrait ? 1200 : 1600, portrait ? 1600 : 1200, 0, H264Profile::constrainedHigh, 60};
}

std::optional<ProbeSelection> JsonCoding<ProbeSelection>::read(const Json& v) {
    JsonReader r(v);
    ProbeSelection s;
    s.rungName = r.required<std::string>("rungName");
    s.width = r.required<int64_t>("width");
    s.height = r.required<int64_t>("height");
    s.levelOverride = r.required<int64_t>("levelOverride");
    s.profile = r.required<H264Profile>("profile");
    s.maxFps = r.required<int64_t>("maxFps");
    return r.finish(std::move(s));
}

Json JsonCoding<ProbeSelection>::write(const ProbeSelection& s) {
    JsonWriter w;
    w.set("rungName", s.rungName);
    w.set("width", s.width);
    w.set("height", s.height);
    w.set("levelOverride", s.levelOverride);
    w.set("profile", s.profile);
    w.set("maxFps", s.maxFps);
    return w.take();
}

}  // namespace kelvo
