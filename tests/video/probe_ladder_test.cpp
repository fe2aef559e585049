#include <gtest/gtest.h>

#include "core/video/probe_ladder.hpp"

namespace kelvo {
namespace {

using P = H264Profile;
using V = ProbeVerdict;

const auto kLadder = ProbeRung::ladder(Orientation::landscape);
const ProbeRung& L1 = kLadder[0];
const ProbeRung& L2 = kLadder[1];
const ProbeRung& L3 = kLadder[2];
const ProbeRung& L4 = kLadder[3];

// A result whose numbers the verdict was judged from elsewhere: select() reads only the verdict.
RungResult res(const ProbeRung& rung, P profile, V verdict) {
    RungResult r{.rung = rung, .profile = profile};
    r.verdict = verdict;
    return r;
}

// 30 of 30 frames at the rung's size.
RungResult decodedAll(const ProbeRung& rung, int64_t avgUs, int64_t maxUs) {
    return RungResult::judged({.rung = rung, .status = 0, .frameCount = 30, .decoded = 30, .outWidth = rung.width,
                               .outHeight = rung.height, .avgUs = avgUs, .maxUs = maxUs});
}

TEST(ProbeLadder, RungsInProbingOrderForBothOrientations) {
    std::vector<std::string> landscape, portrait;
    for (const auto& r : kLadder) landscape.push_back(r.description());
    for (const auto& r : ProbeRung::ladder(Orientation::portrait)) portrait.push_back(r.description());
    EXPECT_EQ(landscape, (std::vector<std::string>{"L1 2048×1536", "L2 2048×1536 level=42", "L3 1920×1440",
                                                   "L4 1600×1200"}));
    EXPECT_EQ(portrait, (std::vector<std::string>{"L1 1536×2048", "L2 1536×2048 level=42", "L3 1440×1920",
                                                  "L4 1200×1600"}));
}

TEST(RungResult, JudgeNeedsEveryFrameDecodedAtTheRungSizeThenTimes) {
    struct Case {
        const char* what;
        RungResult fields;
        V expected;
    };
    auto all = [](int64_t avg, int64_t max) { return decodedAll(L1, avg, max); };
    auto with = [](RungResult r, auto change) {
        change(r);
        return RungResult::judged(r);
    };
    const Case cases[] = {
        {"at both limits", all(22'000, 45'000), V::fps60},
        {"mean just over", all(22'001, 20'000), V::fps30},
        {"max just over", all(10'000, 45'001), V::fps30},
        {"30 fps mean limit", all(30'000, 90'000), V::fps30},
        {"too slow", all(30'001, 30'001), V::unusable},
        {"29 of 30", with(all(1, 1), [](auto& r) { r.decoded = 29; }), V::unusable},
        {"other picture size", with(all(1, 1), [](auto& r) { r.outHeight = 1440; }), V::unusable},
        {"status 0, nothing decoded", with(all(0, 0), [](auto& r) { r.decoded = 0; }), V::unusable},
        {"status 0, nothing sent", with(all(0, 0), [](auto& r) { r.frameCount = r.decoded = 0; }), V::unusable},
        {"decoder off: count only", with(all(0, 0), [](auto& r) { r.outWidth = r.outHeight = 0; }), V::unusable},
        {"tablet error", with(all(1, 1), [](auto& r) { r.status = -12909; }), V::unusable},
        {"negative time", all(-5, 10), V::unusable},
    };
    for (const auto& c : cases) EXPECT_EQ(rawValue(c.fields.verdict), rawValue(c.expected)) << c.what;
}

TEST(RungResult, SummaryUsesFullWidthPunctuation) {
    RungResult timedOut{.rung = L1, .status = RungResult::kNoAnswer, .frameCount = 30};
    RungResult notDecoded = RungResult::judged({.rung = L4, .profile = P::main, .frameCount = 30, .decoded = 30});
    EXPECT_EQ(decodedAll(L1, 12'000, 20'000).summary(),
              "L1 2048×1536 constrainedHigh: 可用（60 fps），解码 30/30，平均 12000 µs，最大 20000 µs");
    EXPECT_EQ(decodedAll(L2, 25'000, 50'000).summary(),
              "L2 2048×1536 level=42 constrainedHigh: 可用（30 fps），解码 30/30，平均 25000 µs，最大 50000 µs");
    EXPECT_EQ(timedOut.summary(), "L1 2048×1536 constrainedHigh: 失败（-1），解码 0/30，平均 0 µs，最大 0 µs");
    EXPECT_EQ(notDecoded.summary(), "L4 1600×1200 main: 不可用，解码 30/30，平均 0 µs，最大 0 µs");
}

TEST(ProbeSelector, SelectTakesLatestPerRungLargestFirstUnderPolicy) {
    struct Case {
        const char* what;
        std::vector<RungResult> results;
        QualityPolicy policy;
        std::optional<ProbeSelection> expected;
    };
    const std::vector<RungResult> retried{res(L1, P::constrainedHigh, V::unusable), res(L1, P::main, V::fps30),
                                          res(L2, P::constrainedHigh, V::fps60)};
    const Case cases[] = {
        {"smooth rung wins", retried, QualityPolicy::smoothness,
         ProbeSelection{"L2", 2048, 1536, 42, P::constrainedHigh, 60}},
        {"largest wins, with its retry profile", retried, QualityPolicy::clarity,
         ProbeSelection{"L1", 2048, 1536, 0, P::main, 30}},
        {"nothing", {}, QualityPolicy::clarity, std::nullopt},
        {"only unusable", {res(L1, P::constrainedHigh, V::unusable), res(L1, P::main, V::unusable)},
         QualityPolicy::smoothness, std::nullopt},
        {"a later unusable result drops the rung",
         {res(L1, P::constrainedHigh, V::fps60), res(L3, P::constrainedHigh, V::fps30),
          res(L1, P::main, V::unusable)},
         QualityPolicy::clarity, ProbeSelection{"L3", 1920, 1440, 0, P::constrainedHigh, 30}},
        {"larger area beats earlier position", {res(L4, P::main, V::fps60), res(L3, P::constrainedHigh, V::fps30)},
         QualityPolicy::clarity, ProbeSelection{"L3", 1920, 1440, 0, P::constrainedHigh, 30}},
        {"equal areas keep first appearance",
         {res(L2, P::constrainedHigh, V::fps30), res(L1, P::constrainedHigh, V::fps30)}, QualityPolicy::smoothness,
         ProbeSelection{"L2", 2048, 1536, 42, P::constrainedHigh, 30}},
        {"smoothness without fps60 takes the largest",
         {res(L4, P::constrainedHigh, V::fps30), res(L1, P::constrainedHigh, V::fps30)}, QualityPolicy::smoothness,
         ProbeSelection{"L1", 2048, 1536, 0, P::constrainedHigh, 30}},
    };
    for (const auto& c : cases) EXPECT_EQ(ProbeSelector::select(c.results, c.policy), c.expected) << c.what;
}

TEST(ProbeSelector, SelectSortsAbsurdStoredSidesWithoutOverflow) {
    ProbeRung huge{"X", INT64_MAX, INT64_MAX, 0};
    const std::vector<RungResult> stored{res(L1, P::main, V::fps30), res(huge, P::main, V::fps30)};
    EXPECT_EQ(ProbeSelector::select(stored, QualityPolicy::clarity)->rungName, "X");
}

TEST(ProbeSelector, FromCacheWalksTheLadderUntilDecisive) {
    using Entry = HelloMsg::ProbeCacheEntry;
    auto entry = [](const ProbeRung& r, bool ok, std::optional<int64_t> avg, std::optional<int64_t> max = {}) {
        return Entry{r.width, r.height, r.levelOverride ? std::optional<int64_t>(r.levelOverride) : std::nullopt,
                     ok, avg, max};
    };
    struct Case {
        const char* what;
        std::vector<Entry> cache;
        QualityPolicy policy;
        std::optional<ProbeSelection> expected;
    };
    const ProbeSelection l1At60{"L1", 2048, 1536, 0, P::constrainedHigh, 60};
    const std::vector<Entry> l1Smooth{entry(L1, true, 15'000)};
    const std::vector<Entry> l1At30{entry(L1, true, 25'000), entry(L2, true, 10'000, 20'000)};
    const Case cases[] = {
        {"smooth L1 alone, smoothness", l1Smooth, QualityPolicy::smoothness, l1At60},
        {"smooth L1 alone, clarity", l1Smooth, QualityPolicy::clarity, l1At60},
        {"first rung missing", {entry(L2, true, 1), entry(L3, true, 1), entry(L4, true, 1)},
         QualityPolicy::clarity, std::nullopt},
        {"L1 at 30 is enough for clarity", l1At30, QualityPolicy::clarity,
         ProbeSelection{"L1", 2048, 1536, 0, P::constrainedHigh, 30}},
        {"smoothness goes on to L2", l1At30, QualityPolicy::smoothness,
         ProbeSelection{"L2", 2048, 1536, 42, P::constrainedHigh, 60}},
        {"an entry without level is no L2 entry", {entry(L1, false, 1), Entry{2048, 1536, {}, true, 1, 1}},
         QualityPolicy::clarity, std::nullopt},
        {"the first matching entry counts", {entry(L1, false, {}), entry(L1, true, 1'000)}, QualityPolicy::clarity,
         std::nullopt},
        {"none decisive: chosen from all",
         {entry(L1, false, {}), entry(L2, true, 28'000), entry(L3, true, 29'000), entry(L4, true, 40'000)},
         QualityPolicy::smoothness, ProbeSelection{"L2", 2048, 1536, 42, P::constrainedHigh, 30}},
    };
    for (const auto& c : cases) EXPECT_EQ(ProbeSelector::fromCache(c.cache, kLadder, c.policy), c.expected) << c.what;
    EXPECT_EQ(ProbeSelector::fromCache(l1Smooth, {}, QualityPolicy::clarity), std::nullopt);
}

TEST(RungResult, StoredFormHasEveryKeyAndRefusesIncompleteRecords) {
    const RungResult r = decodedAll(L2, 12'000, 20'000);
    const std::string stored = encodeWire(toJson(r));
    EXPECT_EQ(stored,
              R"({"avgUs":12000,"decoded":30,"frameCount":30,"maxUs":20000,"outHeight":1536,"outWidth":2048,)"
              R"("profile":"constrainedHigh","rung":{"height":1536,"levelOverride":42,"name":"L2","width":2048},)"
              R"("status":0,"verdict":"fps60"})");
    EXPECT_EQ(decodeJson<RungResult>(stored), r);

    auto without = [&](const std::string& key) {
        Json j = toJson(r);
        j.erase(key);
        return decodeJson<RungResult>(encodeWire(j));
    };
    for (const char* key : {"rung", "profile", "status", "frameCount", "decoded", "outWidth", "outHeight", "avgUs",
                            "maxUs", "verdict"}) {
        EXPECT_EQ(without(key), std::nullopt) << key;
    }
    Json odd = toJson(r);
    odd["verdict"] = "fps120";
    EXPECT_EQ(decodeJson<RungResult>(encodeWire(odd)), std::nullopt);
    odd = toJson(r);
    odd["rung"].erase("levelOverride");
    EXPECT_EQ(decodeJson<RungResult>(encodeWire(odd)), std::nullopt);
}

}  // namespace
}  // namespace kelvo
