#include "core/util/json.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kelvo {
namespace {

// A small record with the shapes messages have: required, optional, nested array, map.
struct Sample {
    std::string name;
    uint16_t port = 0;
    std::optional<double> ratio;
    std::vector<int64_t> ids;
    std::map<std::string, std::string> tags;
    friend bool operator==(const Sample&, const Sample&) = default;
};

}  // namespace

template <>
struct JsonCoding<Sample> {
    static std::optional<Sample> read(const Json& j) {
        JsonReader r(j);
        Sample s;
        s.name = r.required<std::string>("name");
        s.port = r.required<uint16_t>("port");
        s.ratio = r.optional<double>("ratio");
        s.ids = r.required<std::vector<int64_t>>("ids");
        s.tags = r.optional<std::map<std::string, std::string>>("tags").value_or(std::map<std::string, std::string>{});
        return r.finish(std::move(s));
    }
    static Json write(const Sample& s) {
        JsonWriter w;
        w.set("name", s.name).set("port", s.port).set("ratio", s.ratio).set("ids", s.ids).set("tags", s.tags);
        return w.take();
    }
};

namespace {

std::string wire(const Json& j) { return encodeWire(j); }

TEST(JsonWriterTest, WritesTheWireForm) {
    Json j = {{"zeta", 1}, {"alpha", "a/b"}, {"mid", {{"b", true}, {"a", nullptr}}}, {"list", {1, 2.5, -3.0}}};
    EXPECT_EQ(wire(j), R"({"alpha":"a\/b","list":[1,2.5,-3],"mid":{"a":null,"b":true},"zeta":1})");
    EXPECT_EQ(wire(Json(25.0)), "25");
    EXPECT_EQ(wire(Json(0.1)), "0.1");
    EXPECT_EQ(wire(Json(-0.0)), "0");
    EXPECT_EQ(wire(Json(1e20)), "1e+20");
    EXPECT_EQ(wire(Json(std::numeric_limits<uint64_t>::max())), "18446744073709551615");
    EXPECT_EQ(wire(Json(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(wire(Json::object()), "{}");
    EXPECT_EQ(wire(Json::array()), "[]");
}

TEST(JsonWriterTest, EscapesStringsAndKeys) {
    EXPECT_EQ(wire(Json("q\"b\\s/\b\f\n\r\t\x01\x1f")), R"("q\"b\\s\/\b\f\n\r\t\u0001\u001f")");
    EXPECT_EQ(wire(Json({{"a/b", 1}})), R"({"a\/b":1})");
    // Non-ASCII text stays UTF-8 as is.
    EXPECT_EQ(wire(Json("已连接 ×")), "\"已连接 ×\"");
}

TEST(JsonWriterTest, InvalidUtf8IsReplacedNotThrown) {
    // A lone continuation byte, a truncated sequence, an overlong '/', a surrogate, and > U+10FFFF.
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(wire(Json(std::string("a\x80" "b"))), "\"a" + fffd + "b\"");
    EXPECT_EQ(wire(Json(std::string("\xE4\xB8"))), "\"" + fffd + "\"");
    EXPECT_EQ(wire(Json(std::string("\xC0\xAF"))), "\"" + fffd + fffd + "\"");
    EXPECT_EQ(wire(Json(std::string("\xED\xA0\x80"))), "\"" + fffd + fffd + fffd + "\"");
    EXPECT_EQ(wire(Json(std::string("\xF4\x90\x80\x80/"))), "\"" + fffd + fffd + fffd + fffd + "\\/\"");
    // In a key as well.
    EXPECT_EQ(wire(Json({{std::string("k\xFF"), 1}})), "{\"k\xEF\xBF\xBD\":1}");
}

TEST(JsonWriterTest, NonFiniteNumberFailsTheWholeEncoding) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        Json j = {{"ok", 1}, {"deep", {{"list", {1.0, bad}}}}};
        EXPECT_FALSE(encodeJson(j).has_value());
        EXPECT_EQ(encodeWire(j), "{}");
    }
}

TEST(JsonWriterTest, AbsentOptionalsAreLeftOut) {
    Sample s{"tab", 47100, std::nullopt, {1, 2}, {}};
    EXPECT_EQ(wire(toJson(s)), R"({"ids":[1,2],"name":"tab","port":47100,"tags":{}})");
    s.ratio = 0.5;
    s.tags = {{"30", "on"}};
    EXPECT_EQ(wire(toJson(s)), R"({"ids":[1,2],"name":"tab","port":47100,"ratio":0.5,"tags":{"30":"on"}})");
    EXPECT_EQ(decodeJson<Sample>(wire(toJson(s))), s);
}

TEST(JsonParserTest, RefusesMalformedOversizedAndTooDeepInput) {
    for (std::string_view bad : {"", "{", "{\"a\":}", "{} x", "[1,]", "nul", "{\"a\":1,}", "'a'", "{\"a\":01}",
                                 "\"\xFF\"", "// c\n{}"}) {
        EXPECT_FALSE(parseJson(bad).has_value()) << bad;
    }
    std::string deep(kMaxJsonDepth + 1, '[');
    deep += std::string(kMaxJsonDepth + 1, ']');
    EXPECT_FALSE(parseJson(deep).has_value());
    std::string ok(kMaxJsonDepth, '[');
    ok += std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(parseJson(ok).has_value());
    // Brackets inside strings do not count towards the depth.
    EXPECT_TRUE(parseJson("\"" + std::string(200, '[') + "\"").has_value());

    std::string big = "\"" + std::string(kMaxJsonBytes, 'a') + "\"";
    EXPECT_FALSE(parseJson(big).has_value());

    EXPECT_TRUE(parseJson("[1]").has_value());
    EXPECT_FALSE(parseJsonObject("[1]").has_value());
    EXPECT_TRUE(parseJsonObject(" {\"a\":1} ").has_value());
}

TEST(JsonReaderTest, IntegersTakeOnlyWholeNumbersInRange) {
    auto u16 = [](std::string_view text) { return jsonAs<uint16_t>(*parseJson(text)); };
    EXPECT_EQ(u16("47100"), 47100);
    EXPECT_EQ(u16("47100.0"), 47100);
    EXPECT_EQ(u16("65535"), 65535);
    EXPECT_FALSE(u16("65536"));
    EXPECT_FALSE(u16("70000"));
    EXPECT_FALSE(u16("-1"));
    EXPECT_FALSE(u16("3.5"));
    EXPECT_FALSE(u16("\"80\""));
    EXPECT_FALSE(u16("true"));
    EXPECT_FALSE(u16("null"));

    auto i64 = [](std::string_view text) { return jsonAs<int64_t>(*parseJson(text)); };
    EXPECT_EQ(i64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_FALSE(i64("9223372036854775808"));
    EXPECT_FALSE(i64("9.3e18"));
    EXPECT_EQ(i64("-2e3"), -2000);
    EXPECT_FALSE(parseJson("1e400").has_value());  // would be infinite

    EXPECT_EQ(jsonAs<uint64_t>(*parseJson("18446744073709551615")), std::numeric_limits<uint64_t>::max());
    EXPECT_FALSE(jsonAs<uint32_t>(*parseJson("4294967296")));
    EXPECT_FALSE(jsonAs<int32_t>(*parseJson("-2147483649")));
    EXPECT_EQ(jsonAs<int32_t>(*parseJson("-2147483648")), std::numeric_limits<int32_t>::min());
}

TEST(JsonReaderTest, OtherTypesAreStrict) {
    EXPECT_EQ(jsonAs<double>(*parseJson("25")), 25.0);
    EXPECT_FALSE(jsonAs<double>(*parseJson("\"25\"")));
    EXPECT_FALSE(jsonAs<bool>(*parseJson("1")));
    EXPECT_FALSE(jsonAs<std::string>(*parseJson("1")));
    EXPECT_FALSE(jsonAs<std::vector<double>>(*parseJson("[1, \"x\"]")));
    EXPECT_FALSE(jsonAs<std::vector<double>>(*parseJson("{}")));
    EXPECT_FALSE((jsonAs<std::map<std::string, std::string>>(*parseJson(R"({"a":1})"))));
}

TEST(JsonReaderTest, MembersFailTheWholeRecordAndNameTheKey) {
    struct Case {
        const char* text;
        bool decodes;
    } cases[] = {
        {R"({"name":"a","port":1,"ids":[]})", true},
        {R"({"name":"a","port":1,"ids":[],"ratio":null,"extra":{"x":[1]}})", true},
        {R"({"name":"a","port":1.0,"ids":[2.0]})", true},
        {R"({"name":"a","ids":[]})", false},                       // required missing
        {R"({"name":null,"port":1,"ids":[]})", false},             // required null
        {R"({"name":"a","port":70000,"ids":[]})", false},          // out of range
        {R"({"name":"a","port":1,"ids":[],"ratio":"x"})", false},  // optional of the wrong type
        {R"({"name":"a","port":1,"ids":[3.5]})", false},           // element not an integer
        {R"([{"name":"a","port":1,"ids":[]}])", false},            // not an object
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeJson<Sample>(std::string_view(c.text)).has_value(), c.decodes) << c.text;
    }

    Json j = *parseJson(R"({"name":"a","port":"x","ids":{}})");
    JsonReader r(j);
    r.required<std::string>("name");
    r.required<uint16_t>("port");
    r.required<std::vector<int64_t>>("ids");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "port: wrong type or out of range");
}

}  // namespace
}  // namespace kelvo
