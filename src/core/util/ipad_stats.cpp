#include "core/util/ipad_stats.hpp"

namespace kelvo {
namespace {

template <class S, class F>
void forEachField(S& s, F&& f) {
    f("rxFrames", s.rxFrames);
    f("decoded", s.decoded);
    f("discarded", s.discarded);
    f("decodeErrors", s.decodeErrors);
    f("decodeUsAvg", s.decodeUsAvg);
    f("decodeUsP95", s.decodeUsP95);
    f("rxKbps", s.rxKbps);
    f("touchFrames", s.touchFrames);
    f("cpu", s.cpu);
    f("memMB", s.memMB);
    f("benchBytes", s.benchBytes);
}

}  // namespace

std::optional<IPadStats> JsonCoding<IPadStats>::read(const Json& v) {
    JsonReader r(v);
    IPadStats s;
    forEachField(s, [&](std::string_view key, auto& member) {
        member = r.optional<typename std::remove_reference_t<decltype(member)>::value_type>(key);
    });
    return r.finish(s);
}

Json JsonCoding<IPadStats>::write(const IPadStats& s) {
    JsonWriter w;
    forEachField(s, [&](std::string_view key, const auto& member) { w.set(key, member); });
    return w.take();
}

}  // namespace kelvo
