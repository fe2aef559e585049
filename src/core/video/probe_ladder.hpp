#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/protocol/handshake_messages.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/settings/settings_enums.hpp"
#include "core/util/raw_enum.hpp"
#include "core/video/h264_encoder.hpp"
#include "core/video/probe_selection.hpp"

namespace kelvo {

// One stream size of the decode probe, tried from the largest down.
struct ProbeRung {
    std::string name;  // "L1" … "L4"
    int64_t width = 0;
    int64_t height = 0;
    int64_t levelOverride = 0;  // level_idc to announce instead of the encoder's; 0: keep it

    bool operator==(const ProbeRung&) const = default;

    // "L1 2048×1536", "L2 2048×1536 level=42".
    std::string description() const;

    // The four rungs in probing order; portrait exchanges width and height.
    static std::vector<ProbeRung> ladder(Orientation orientation);
};

enum class ProbeVerdict { fps60, fps30, unusable };

template <>
struct RawEnumCases<ProbeVerdict> {
    static constexpr std::array table{RawCase{ProbeVerdict::fps60, "fps60"}, RawCase{ProbeVerdict::fps30, "fps30"},
                                      RawCase{ProbeVerdict::unusable, "unusable"}};
};

// How one probe of one rung went, as the tablet reported it. Persisted inside device profiles,
// so stored values are re-judged rather than trusted.
struct RungResult {
    // Statuses the host fills in itself.
    static constexpr int32_t kNoAnswer = -1;
    static constexpr int32_t kNotEncoded = -2;

    ProbeRung rung;
    H264Profile profile = H264Profile::constrainedHigh;
    int32_t status = 0;  // the tablet's status, 0 = decoded; or kNoAnswer, kNotEncoded
    int64_t frameCount = 0;  // frames sent
    int64_t decoded = 0;
    int64_t outWidth = 0;  // of the decoded picture
    int64_t outHeight = 0;
    int64_t avgUs = 0;  // mean decode time per frame
    int64_t maxUs = 0;
    ProbeVerdict verdict = ProbeVerdict::unusable;

    bool operator==(const RungResult&) const = default;

    // `fields` with its verdict computed by judge().
    static RungResult judged(RungResult fields);
    // The verdict the numbers earn; `verdict` itself is not read. Only a complete decode of every
    // frame sent, at the rung's size, with plausible times, can pass.
    ProbeVerdict judge() const;

    // One line for the log and the settings window, e.g.
    // "L1 2048×1536 constrainedHigh: 可用（60 fps），解码 30/30，平均 12000 µs，最大 20000 µs".
    std::string summary() const;
};

// The rules that turn rung results into a selection. No state.
struct ProbeSelector {
    // A decisive result ends the ladder: under smoothness only fps60, under clarity any usable one.
    static bool isDecisive(const RungResult& result, QualityPolicy policy);

    // The selection from results in the order they were made (a later result for a rung replaces
    // the earlier one); none when no rung is usable.
    static std::optional<ProbeSelection> select(std::span<const RungResult> results, QualityPolicy policy);

    // The same choice from the outcomes the tablet cached in its greeting, walking `ladder` as a
    // probe would. None when a rung reached before a decisive one has no cache entry.
    static std::optional<ProbeSelection> fromCache(std::span<const HelloMsg::ProbeCacheEntry> cache,
                                                   std::span<const ProbeRung> ladder, QualityPolicy policy);
};

// Keys are the field names; every key is required; profile and verdict are their raw values.
KELVO_JSON_RECORD(ProbeRung);
KELVO_JSON_RECORD(RungResult);

}  // namespace kelvo
