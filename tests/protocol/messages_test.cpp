#include <gtest/gtest.h>

#include <limits>

#include "core/protocol/control_messages.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

template <class T>
std::optional<T> decode(std::string_view body) {
    return Wire::decodeJSON<T>(std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

TEST(HelloMsg, EmptyBodyIsAnAcceptableGreetingWithDefaults) {
    const auto hello = decode<HelloMsg>("{}");
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, HelloMsg{});
    EXPECT_TRUE(hello->supportsProtocolV1());
    EXPECT_EQ(hello->screenPoints(), (SizeD{1024, 768}));
    EXPECT_EQ(hello->screenMillimeters(), (SizeD{197, 148}));
}

TEST(HelloMsg, RequiredAndOptionalKeysDecideDecodability) {
    EXPECT_FALSE(decode<HelloMsg>(R"({"proto":{"min":1}})"));  // optional record, required key missing
    EXPECT_FALSE(decode<HelloMsg>(R"({"proto":{"min":1,"max":null}})"));
    EXPECT_FALSE(decode<HelloMsg>(R"({"app":{"build":3.5}})"));
    EXPECT_FALSE(decode<HelloMsg>(R"({"app":{"version":1}})"));
    EXPECT_FALSE(decode<HelloMsg>(R"({"decode":{"probeCache":[{"w":1,"h":2}]}})"));  // ok missing
    EXPECT_FALSE(decode<HelloMsg>(R"({"pairing":{"host":"h"}})"));
    EXPECT_FALSE(decode<HelloMsg>("[]"));
    EXPECT_FALSE(decode<HelloMsg>("{"));

    const auto hello = decode<HelloMsg>(R"({"app":null,"device":{"name":null,"os":"17.2","extra":[1]},"future":true})");
    ASSERT_TRUE(hello);
    EXPECT_FALSE(hello->app);
    ASSERT_TRUE(hello->device);
    EXPECT_FALSE(hello->device->name);
    EXPECT_EQ(hello->device->os, "17.2");
}

TEST(HelloMsg, ProtocolRangeMustIncludeVersionOne) {
    const std::vector<std::tuple<int, int, bool>> table{{2, 3, false}, {0, 0, false}, {0, 5, true}, {1, 1, true}};
    for (auto [min, max, ok] : table) {
        HelloMsg hello;
        hello.proto = HelloMsg::Proto{min, max};
        EXPECT_EQ(hello.supportsProtocolV1(), ok) << min << ".." << max;
    }
}

TEST(HelloMsg, ScreenSizesFallBackUnlessTwoBelievableSides) {
    const std::vector<std::pair<std::string, SizeD>> points{
        {R"([768.0,1024.0])", {768, 1024}},
        {R"([1366])", {1024, 768}},
        {R"([1,2,3])", {1024, 768}},
        {R"([0,768])", {1024, 768}},
        {R"([-5,768])", {1024, 768}},
        {R"([1e300,768])", {1024, 768}},
        {R"([1024,40000])", {1024, 768}},
    };
    for (const auto& [pt, expected] : points) {
        const auto hello = decode<HelloMsg>(R"({"screen":{"pt":)" + pt + "}}");
        ASSERT_TRUE(hello) << pt;
        EXPECT_EQ(hello->screenPoints(), expected) << pt;
    }
    HelloMsg hello;
    hello.screen = HelloMsg::Screen{};
    hello.screen->mm = std::vector<double>{std::numeric_limits<double>::infinity(), 100};
    EXPECT_EQ(hello.screenMillimeters(), (SizeD{197, 148}));
    hello.screen->mm = std::vector<double>{std::nan(""), 100};
    EXPECT_EQ(hello.screenMillimeters(), (SizeD{197, 148}));
    hello.screen->mm = std::vector<double>{6000, 100};
    EXPECT_EQ(hello.screenMillimeters(), (SizeD{197, 148}));
    hello.screen->mm = std::vector<double>{247.6, 178.5};
    EXPECT_EQ(hello.screenMillimeters(), (SizeD{247.6, 178.5}));
}

TEST(HelloMsg, ProbeCacheDecodeTimesDefaultAndSaturate) {
    HelloMsg::ProbeCacheEntry entry{2048, 1536, std::nullopt, true, 15000, std::nullopt};
    EXPECT_EQ(entry.effectiveMaxUs(), 30000);
    entry.avgUs.reset();
    EXPECT_EQ(entry.effectiveAvgUs(), 0);
    EXPECT_EQ(entry.effectiveMaxUs(), 0);
    entry.avgUs = std::numeric_limits<int64_t>::max() - 1;
    EXPECT_EQ(entry.effectiveMaxUs(), std::numeric_limits<int64_t>::max());
    entry.avgUs = -4;
    entry.maxUs = -1;
    EXPECT_EQ(entry.effectiveAvgUs(), 0);
    EXPECT_EQ(entry.effectiveMaxUs(), 0);
    entry.maxUs = 45000;
    EXPECT_EQ(entry.effectiveMaxUs(), 45000);
}

TEST(HelloAckMsg, SessionTokenTextTable) {
    for (uint64_t v : {uint64_t{0}, uint64_t{1}, uint64_t{0xABCDEF}, uint64_t{0x8000000000000000},
                       std::numeric_limits<uint64_t>::max()}) {
        const auto hex = HelloAckMsg::hex(v);
        ASSERT_EQ(hex.size(), 16u);
        EXPECT_EQ(hex.find_first_of("ABCDEF"), std::string::npos);
        EXPECT_EQ(HelloAckMsg::token(hex), v);
        EXPECT_EQ(HelloAckMsg::token("+" + hex), v);
    }
    EXPECT_EQ(HelloAckMsg::hex(0xABCDEF), "0000000000abcdef");
    EXPECT_EQ(HelloAckMsg::token("0000000000ABCDEF"), 0xABCDEFu);
    EXPECT_EQ(HelloAckMsg::token("-0"), 0u);
    EXPECT_EQ(HelloAckMsg::token("-0000"), 0u);
    EXPECT_EQ(HelloAckMsg::token("00000000000000000001"), 1u);  // leading zeros are not significant
    for (std::string_view bad : {"", "+", "-", "-1", "0x10", " 1", "1 ", "1g", "++1", "+-0", "10000000000000000",
                                 "fffffffffffffffff"}) {
        EXPECT_FALSE(HelloAckMsg::token(bad)) << bad;
    }
}

TEST(HandshakeMessages, OptionalKeysLeftOutWhenAbsent) {
    HelloAckMsg ack{1, true, HelloAckMsg::hex(0x1F), {"Mac", "0.1.0"}, false, std::nullopt};
    EXPECT_EQ(text(Wire::json(ack)),
              R"({"accept":true,"host":{"app":"0.1.0","name":"Mac"},"needProbe":false,"proto":1,)"
              R"("session":"000000000000001f"})");
    EXPECT_EQ(decode<HelloAckMsg>(text(Wire::json(ack))), ack);

    EXPECT_EQ(text(Wire::json(PairMsg("h/1", "Mac", std::nullopt))), R"({"host":"h\/1","name":"Mac"})");
    const std::vector<uint8_t> key(32, 0xFF);
    const PairMsg pair("h", "Mac", key);
    ASSERT_TRUE(pair.psk);
    EXPECT_EQ(pair.psk->size(), 44u);

    EXPECT_EQ(text(Wire::json(ByeMsg{"error", std::nullopt})), R"({"reason":"error"})");
    EXPECT_FALSE(decode<ByeMsg>(R"({"detail":"x"})"));
    EXPECT_FALSE(decode<PairAckMsg>(R"({"ok":"true"})"));
    EXPECT_EQ(decode<PairAckMsg>(R"({"ok":true,"service":null})"), (PairAckMsg{true, std::nullopt, std::nullopt}));
}

TEST(WireJson, UnencodableBodyBecomesEmptyObjectAndIsLogged) {
    test::LogCapture logs;
    HostStateMsg state{"on", false, std::numeric_limits<double>::quiet_NaN()};
    EXPECT_EQ(text(Wire::json(state)), "{}");
    EXPECT_TRUE(logs.contains("could not be encoded", "wire"));
    EXPECT_FALSE(decode<HostStateMsg>("{}"));
    EXPECT_TRUE(decode<HelloMsg>("{}"));
}

TEST(ConfigMsg, DefaultsEncodeSortedAndEveryKeyIsRequired) {
    const std::string body = text(Wire::json(ConfigMsg{}));
    EXPECT_EQ(body,
              R"({"edgeHandle":true,"hostSleep":"black","keepAwake":true,"keyboard":"hidden","logLevel":"info",)"
              R"("orientation":"landscape","pipeline":"direct","statsOverlay":false})");
    EXPECT_EQ(decode<ConfigMsg>(body), ConfigMsg{});
    Settings settings;
    settings.pipeline = DecodePipeline::vt;
    settings.statsOverlay = true;
    settings.ipadLogLevel = "debug";
    const auto sent = ConfigMsg::from(settings, Orientation::portrait);
    EXPECT_EQ(text(Wire::json(sent)),
              R"({"edgeHandle":true,"hostSleep":"black","keepAwake":true,"keyboard":"hidden","logLevel":"debug",)"
              R"("orientation":"portrait","pipeline":"vt","statsOverlay":true})");
    const auto object = parseJson(body);
    ASSERT_TRUE(object);
    for (const auto& [key, value] : object->items()) {
        Json without = *object;
        without.erase(key);
        EXPECT_FALSE(jsonAs<ConfigMsg>(without)) << key;
    }
}

TEST(HostStateMsg, FollowedBrightnessTable) {
    struct Row {
        bool follow;
        std::optional<double> builtIn;
        double offset;
        std::optional<double> expected;
    };
    const std::vector<Row> rows{
        {true, 0.4, 0.2, 0.6},   {true, 0.4, -0.5, 0.0},        {true, 0.9, 0.3, 1.0},
        {true, 0.333, 0.0, 0.33}, {true, 0.125, 0.0, 0.13},      {true, std::nullopt, 0.2, std::nullopt},
        {false, 0.4, 0.2, std::nullopt}, {true, std::numeric_limits<double>::infinity(), 0, std::nullopt},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(HostStateMsg::followedBrightness(r.follow, r.builtIn, r.offset), r.expected)
            << r.builtIn.value_or(-1) << " + " << r.offset;
    }
    EXPECT_EQ(text(Wire::json(HostStateMsg{"on", true, 0.6})), R"({"brightness":0.6,"display":"on","locked":true})");
    EXPECT_EQ(text(Wire::json(HostStateMsg{"asleep", false, std::nullopt})), R"({"display":"asleep","locked":false})");
}

TEST(UIMessages, SidebarRowsAndStatesByMode) {
    Settings settings;
    settings.sidebarEdge = SidebarEdge::right;
    settings.sidebarAutoHideMs = 1500;
    const auto layout = UILayoutMsg::from(settings);
    EXPECT_EQ(layout.sidebar.edge, "right");
    EXPECT_EQ(layout.sidebar.autoHideMs, 1500);
    const auto& items = layout.sidebar.items;
    ASSERT_EQ(items.size(), 13u);
    EXPECT_EQ(items[4], (UILayoutMsg::Item{0, "spacer", std::nullopt}));
    EXPECT_EQ(items[8], (UILayoutMsg::Item{0, "spacer", std::nullopt}));
    EXPECT_EQ(items[10].label, "\xE6\x93\xA6");
    EXPECT_EQ(items[12].kind, "local.hideSidebar");
    const std::string body = text(Wire::json(layout));
    EXPECT_NE(body.find(R"({"id":0,"kind":"spacer"})"), std::string::npos);
    EXPECT_NE(body.find("{\"id\":10,\"kind\":\"modifier\",\"label\":\"\xE2\x8C\x98\"}"), std::string::npos);
    EXPECT_EQ(decode<UILayoutMsg>(body), layout);

    const auto touch = UIStateMsg::make(InputMode::touch, {{10, "locked"}}, true);
    EXPECT_EQ(text(Wire::json(touch)), R"({"items":{"10":"locked","31":"disabled"},"mode":"touch"})");
    const auto draw = UIStateMsg::make(InputMode::draw, {}, false);
    EXPECT_EQ(draw.items, (std::map<std::string, std::string>{{"30", "on"}, {"31", "off"}}));
    EXPECT_EQ(UIStateMsg::make(InputMode::tabletMapping, {{13, "oneShot"}}, true).items.at("31"), "on");
    EXPECT_FALSE(decode<UIStateMsg>(R"({"mode":"draw","items":{"30":1}})"));
}

TEST(StatusMessages, TabletStatusKeysAreAllOptional) {
    EXPECT_EQ(decode<DeviceStatusMsg>("{}"), DeviceStatusMsg{});
    const auto status = decode<DeviceStatusMsg>(R"({"thermal":"hot","battery":0.5,"charging":false})");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->thermal, "hot");
    EXPECT_EQ(status->battery, 0.5);
    EXPECT_FALSE(decode<DeviceStatusMsg>(R"({"battery":"full"})"));
    EXPECT_EQ(decode<KeyboardStateMsg>(R"({"visible":true,"heightNorm":0.4})"), (KeyboardStateMsg{true, 0.4}));
    EXPECT_EQ(text(Wire::json(LogConfigMsg{"debug", false})), R"({"dumpRing":false,"level":"debug"})");
    EXPECT_EQ(text(Wire::json(ToastMsg{"电脑缺少录屏权限", 4000})), R"({"ms":4000,"text":"电脑缺少录屏权限"})");
}

}  // namespace
}  // namespace kelvo
