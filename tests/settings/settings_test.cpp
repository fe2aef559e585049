#include "core/settings/settings.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kelvo {
namespace {

TEST(SettingsTest, DefaultsEncodeFiftyOneMembersAndRoundTrip) {
    Json j = toJson(Settings());
    EXPECT_EQ(j.size(), 51u);
    EXPECT_FALSE(j.contains("mappingCustomRect"));
    auto text = encodeJson(j);
    ASSERT_TRUE(text);
    // A few members in their wire form: whole doubles without ".0", enums as raw strings.
    for (const char* part : {"\"bitrateMbps\":25,", "\"directHost\":\"127.0.0.1\"", "\"preset\":\"1024x768\"",
                             "\"pressureCurve\":[0.25,0.25,0.75,0.75]", "\"displaySource\":\"virtual\"",
                             "\"graceSeconds\":5,", "\"minPressure\":0.1,"}) {
        EXPECT_NE(text->find(part), std::string::npos) << part;
    }
    EXPECT_EQ(decodeJson<Settings>(*text), Settings());
}

TEST(SettingsTest, CustomRectIsWrittenOnlyWhenPresent) {
    Settings s;
    s.mappingCustomRect = Rect{10, 20.5, 300, 400};
    Json j = toJson(s);
    EXPECT_EQ(j.size(), 52u);
    EXPECT_EQ(encodeWire(j["mappingCustomRect"]), "[[10,20.5],[300,400]]");
    EXPECT_EQ(decodeJson<Settings>(encodeWire(j)), s);
}

TEST(SettingsTest, StrictDecodingFailsAsAWhole) {
    Json j = toJson(Settings());
    Json missing = j;
    missing.erase("fpsCap");
    EXPECT_FALSE(jsonAs<Settings>(missing));
    Json badEnum = j;
    badEnum["preset"] = "huge";
    EXPECT_FALSE(jsonAs<Settings>(badEnum));
    Json badRect = j;
    badRect["mappingCustomRect"] = Json::array({1, 2, 3, 4});
    EXPECT_FALSE(jsonAs<Settings>(badRect));
    Json nullRect = j;
    nullRect["mappingCustomRect"] = nullptr;
    EXPECT_EQ(jsonAs<Settings>(nullRect), Settings());
}

TEST(SettingsTest, EqualityComparesEveryField) {
    Settings a, b;
    b.pressureCurve = {0.25, 0.25, 0.75};
    EXPECT_NE(a, b);
    b = a;
    b.mappingCustomRect = Rect{};
    EXPECT_NE(a, b);
    b = a;
    b.traceRecording = true;
    EXPECT_NE(a, b);
}

TEST(SettingsTest, BitrateInBitsPerSecondSaturates) {
    struct Case {
        double mbps;
        int64_t bps;
    } cases[] = {
        {25.0, 25'000'000},
        {2.5, 2'500'000},
        {0.0000015, 1},
        {0, 0},
        {-5, 0},
        {std::nan(""), 0},
        {1e300, std::numeric_limits<int64_t>::max()},
        {std::numeric_limits<double>::infinity(), std::numeric_limits<int64_t>::max()},
        {-std::numeric_limits<double>::infinity(), 0},
    };
    for (const auto& c : cases) {
        Settings s;
        s.bitrateMbps = c.mbps;
        EXPECT_EQ(s.bitrateBps(), c.bps) << c.mbps;
    }
}

}  // namespace
}  // namespace kelvo
