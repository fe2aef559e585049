#include "core/video/probe_ladder.hpp"

#include <algorithm>

namespace kelvo {

namespace {

// Decode-time limits of the verdicts, per frame.
constexpr int64_t kFps60AvgUs = 22'000;
constexpr int64_t kFps60MaxUs = 45'000;
constexpr int64_t kFps30AvgUs = 30'000;

// Exact for any stored sides, so that absurd values sort instead of overflowing.
__int128 area(const ProbeRung& rung) { return static_cast<__int128>(rung.width) * rung.height; }

std::string verdictText(const RungResult& r) {
    switch (r.verdict) {
        case ProbeVerdict::fps60: return "可用（60 fps）";
        case ProbeVerdict::fps30: return "可用（30 fps）";
        case ProbeVerdict::unusable: break;
    }
    return r.status != 0 ? "失败（" + std::to_string(r.status) + "）" : "不可用";
}

bool matches(const HelloMsg::ProbeCacheEntry& entry, const ProbeRung& rung) {
    if (entry.w != rung.width || entry.h != rung.height) return false;
    return entry.level ? *entry.level == rung.levelOverride : rung.levelOverride == 0;
}

}  // namespace

std::string ProbeRung::description() const {
    std::string text = name + " " + std::to_string(width) + "×" + std::to_string(height);
    if (levelOverride != 0) text += " level=" + std::to_string(levelOverride);
    return text;
}

std::vector<ProbeRung> ProbeRung::ladder(Orientation orientation) {
    std::vector<ProbeRung> rungs{
        {"L1", 2048, 1536, 0},
        {"L2", 2048, 1536, 42},  // L1's size announcing level 4.2, which some decoders need
        {"L3", 1920, 1440, 0},
        {"L4", 1600, 1200, 0},
    };
    if (orientation == Orientation::portrait) {
        for (auto& r : rungs) std::swap(r.width, r.height);
    }
    return rungs;
}

RungResult RungResult::judged(RungResult fields) {
    fields.verdict = fields.judge();
    return fields;
}

ProbeVerdict RungResult::judge() const {
    // A status of 0 proves nothing on its own: every frame sent must have come out at the size.
    if (status != 0 || frameCount < 1 || decoded != frameCount || outWidth != rung.width || outHeight != rung.height) {
        return ProbeVerdict::unusable;
    }
    if (avgUs < 0 || maxUs < 0) return ProbeVerdict::unusable;  // only a corrupted record has these
    if (avgUs <= kFps60AvgUs && maxUs <= kFps60MaxUs) return ProbeVerdict::fps60;
    if (avgUs <= kFps30AvgUs) return ProbeVerdict::fps30;
    return ProbeVerdict::unusable;
}

std::string RungResult::summary() const {
    return rung.description() + " " + std::string(h264ProfileRaw(profile)) + ": " + verdictText(*this) + "，解码 " +
           std::to_string(decoded) + "/" + std::to_string(frameCount) + "，平均 " + std::to_string(avgUs) +
           " µs，最大 " + std::to_string(maxUs) + " µs";
}

bool ProbeSelector::isDecisive(const RungResult& result, QualityPolicy policy) {
    if (policy == QualityPolicy::smoothness) return result.verdict == ProbeVerdict::fps60;
    return result.verdict != ProbeVerdict::unusable;
}

std::optional<ProbeSelection> ProbeSelector::select(std::span<const RungResult> results, QualityPolicy policy) {
    // The latest result per rung, at the place where the rung first appeared.
    std::vector<RungResult> latest;
    for (const auto& r : results) {
        auto same = std::find_if(latest.begin(), latest.end(), [&](const RungResult& l) { return l.rung.name == r.rung.name; });
        if (same != latest.end()) {
            *same = r;
        } else {
            latest.push_back(r);
        }
    }
    std::erase_if(latest, [](const RungResult& r) { return r.verdict == ProbeVerdict::unusable; });
    if (latest.empty()) return std::nullopt;
    std::stable_sort(latest.begin(), latest.end(),
                     [](const RungResult& a, const RungResult& b) { return area(a.rung) > area(b.rung); });

    const RungResult* chosen = &latest.front();
    if (policy == QualityPolicy::smoothness) {
        auto smooth = std::find_if(latest.begin(), latest.end(),
                                   [](const RungResult& r) { return r.verdict == ProbeVerdict::fps60; });
        if (smooth != latest.end()) chosen = &*smooth;
    }
    return ProbeSelection{chosen->rung.name,    chosen->rung.width, chosen->rung.height,
                          chosen->rung.levelOverride, chosen->profile,
                          chosen->verdict == ProbeVerdict::fps60 ? 60 : 30};
}

std::optional<ProbeSelection> ProbeSelector::fromCache(std::span<const HelloMsg::ProbeCacheEntry> cache,
                                                       std::span<const ProbeRung> ladder, QualityPolicy policy) {
    std::vector<RungResult> made;
    for (const auto& rung : ladder) {
        auto entry = std::find_if(cache.begin(), cache.end(), [&](const auto& e) { return matches(e, rung); });
        if (entry == cache.end()) return std::nullopt;
        // One frame stands for the cached outcome; its size is taken as the rung's.
        made.push_back(RungResult::judged({.rung = rung,
                                           .profile = H264Profile::constrainedHigh,
                                           .status = entry->ok ? 0 : -1,
                                           .frameCount = 1,
                                           .decoded = entry->ok ? 1 : 0,
                                           .outWidth = rung.width,
                                           .outHeight = rung.height,
                                           .avgUs = entry->effectiveAvgUs(),
                                           .maxUs = entry->effectiveMaxUs()}));
        if (isDecisive(made.back(), policy)) break;
    }
    return select(made, policy);
}

KELVO_JSON_FIELDS(ProbeRung, v("name", m.name); v("width", m.width); v("height", m.height);
                  v("levelOverride", m.levelOverride);)
KELVO_JSON_FIELDS(RungResult, v("rung", m.rung); v("profile", m.profile); v("status", m.status);
                  v("frameCount", m.frameCount); v("decoded", m.decoded); v("outWidth", m.outWidth);
                  v("outHeight", m.outHeight); v("avgUs", m.avgUs); v("maxUs", m.maxUs); v("verdict", m.verdict);)

}  // namespace kelvo
