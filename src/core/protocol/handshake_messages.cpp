#include "core/protocol/handshake_messages.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/util/base64.hpp"

namespace kelvo {
namespace {

SizeD boundedSize(const std::optional<HelloMsg::Screen>& screen, std::optional<std::vector<double>> HelloMsg::Screen::*side,
                  double limit, SizeD fallback) noexcept {
    if (!screen || !((*screen).*side)) return fallback;
    const auto& v = *((*screen).*side);
    // NaN fails both comparisons; infinities and absurd sizes exceed the limit.
    const auto believable = [limit](double d) { return d > 0 && d <= limit; };
    if (v.size() != 2 || !believable(v[0]) || !believable(v[1])) return fallback;
    return {v[0], v[1]};
}

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int64_t HelloMsg::ProbeCacheEntry::effectiveAvgUs() const noexcept {
    return avgUs && *avgUs >= 0 ? *avgUs : 0;
}

int64_t HelloMsg::ProbeCacheEntry::effectiveMaxUs() const noexcept {
    if (maxUs && *maxUs >= 0) return *maxUs;
    const int64_t avg = effectiveAvgUs();
    return avg > std::numeric_limits<int64_t>::max() / 2 ? std::numeric_limits<int64_t>::max() : 2 * avg;
}

SizeD HelloMsg::screenPoints() const noexcept {
    return boundedSize(screen, &Screen::pt, kMaxScreenPoints, kDefaultScreenPoints);
}

SizeD HelloMsg::screenMillimeters() const noexcept {
    return boundedSize(screen, &Screen::mm, kMaxScreenMillimeters, kDefaultScreenMillimeters);
}

bool HelloMsg::supportsProtocolV1() const noexcept {
    return !proto || (proto->min <= 1 && proto->max >= 1);
}

std::string HelloAckMsg::hex(uint64_t token) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(token));
    return text;
}

std::optional<uint64_t> HelloAckMsg::token(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        if (value > (std::numeric_limits<uint64_t>::max() >> 4)) return std::nullopt;
        value = (value << 4) | static_cast<uint64_t>(d);
    }
    if (negative && value != 0) return std::nullopt;
    return value;
}

PairMsg::PairMsg(std::string host, std::string name, std::optional<std::span<const uint8_t>> pskBytes)
    : host(std::move(host)), name(std::move(name)) {
    if (pskBytes) psk = base64Encode(*pskBytes);
}

// JSON members in declaration order; std::optional members are the optional keys.
KELVO_JSON_FIELDS(HelloMsg::Proto, v("min", m.min); v("max", m.max);)
KELVO_JSON_FIELDS(HelloMsg::App, v("version", m.version); v("build", m.build);)
KELVO_JSON_FIELDS(HelloMsg::Device, v("model", m.model); v("name", m.name); v("os", m.os); v("idfv", m.idfv);)
KELVO_JSON_FIELDS(HelloMsg::Screen,
                  v("nativePx", m.nativePx); v("pt", m.pt); v("scale", m.scale); v("mm", m.mm);
                  v("maxFps", m.maxFps); v("interfaceOrientation", m.interfaceOrientation);)
KELVO_JSON_FIELDS(HelloMsg::Touch,
                  v("maxPoints", m.maxPoints); v("radius", m.radius); v("force", m.force); v("pencil", m.pencil);)
KELVO_JSON_FIELDS(HelloMsg::ProbeCacheEntry,
                  v("w", m.w); v("h", m.h); v("level", m.level); v("ok", m.ok); v("avgUs", m.avgUs);
                  v("maxUs", m.maxUs);)
KELVO_JSON_FIELDS(HelloMsg::Decode, v("h264", m.h264); v("pipelines", m.pipelines); v("probeCache", m.probeCache);)
KELVO_JSON_FIELDS(HelloMsg::Power, v("battery", m.battery); v("charging", m.charging); v("thermal", m.thermal);)
KELVO_JSON_FIELDS(HelloMsg::Pairing, v("host", m.host); v("key", m.key);)
KELVO_JSON_FIELDS(HelloMsg,
                  v("proto", m.proto); v("app", m.app); v("device", m.device); v("screen", m.screen);
                  v("touch", m.touch); v("decode", m.decode); v("power", m.power); v("pairing", m.pairing);)
KELVO_JSON_FIELDS(HelloAckMsg::Host, v("name", m.name); v("app", m.app);)
KELVO_JSON_FIELDS(HelloAckMsg,
                  v("proto", m.proto); v("accept", m.accept); v("session", m.session); v("host", m.host);
                  v("needProbe", m.needProbe); v("reason", m.reason);)
KELVO_JSON_FIELDS(ByeMsg, v("reason", m.reason); v("detail", m.detail);)
KELVO_JSON_FIELDS(PairMsg, v("host", m.host); v("name", m.name); v("psk", m.psk);)
KELVO_JSON_FIELDS(PairAckMsg, v("ok", m.ok); v("service", m.service); v("reason", m.reason);)

}  // namespace kelvo
