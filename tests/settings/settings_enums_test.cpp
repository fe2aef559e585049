#include "core/settings/settings_enums.hpp"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(SettingsEnumsTest, RawValuesMatchExactly) {
    EXPECT_EQ(fromRaw<DisplayPreset>("1366x1024"), DisplayPreset::most);
    EXPECT_EQ(fromRaw<DisplayPreset>("1366×1024"), std::nullopt);
    EXPECT_EQ(fromRaw<DisplayPreset>("standard"), std::nullopt);
    EXPECT_EQ(fromRaw<InputMode>("tabletMapping"), InputMode::tabletMapping);
    EXPECT_EQ(fromRaw<InputMode>("tabletmapping"), std::nullopt);
    EXPECT_EQ(fromRaw<InputMode>(""), std::nullopt);
    EXPECT_EQ(fromRaw<OrientationSetting>("auto"), OrientationSetting::auto_);
    EXPECT_EQ(fromRaw<DisplaySourceKind>("virtual"), DisplaySourceKind::virtual_);
    EXPECT_EQ(rawValue(OrientationSetting::auto_), "auto");
    EXPECT_EQ(rawValue(DisplaySourceKind::virtual_), "virtual");
    EXPECT_EQ(rawValue(DisplayPreset::evenMore), "1280x960");
}

template <class E>
void expectRoundTripsThroughRawValues() {
    for (E e : allCases<E>()) {
        EXPECT_EQ(fromRaw<E>(rawValue(e)), e) << rawValue(e);
        EXPECT_EQ(jsonAs<E>(toJson(e)), e);
    }
}

TEST(SettingsEnumsTest, EveryCaseRoundTrips) {
    expectRoundTripsThroughRawValues<DisplayPreset>();
    expectRoundTripsThroughRawValues<OrientationSetting>();
    expectRoundTripsThroughRawValues<Orientation>();
    expectRoundTripsThroughRawValues<QualityPolicy>();
    expectRoundTripsThroughRawValues<CursorMode>();
    expectRoundTripsThroughRawValues<DecodePipeline>();
    expectRoundTripsThroughRawValues<DisplaySourceKind>();
    expectRoundTripsThroughRawValues<PressureSource>();
    expectRoundTripsThroughRawValues<SmoothingLevel>();
    expectRoundTripsThroughRawValues<TabletEventsMode>();
    expectRoundTripsThroughRawValues<TabletMappingArea>();
    expectRoundTripsThroughRawValues<TabletMappingView>();
    expectRoundTripsThroughRawValues<SidebarEdge>();
    expectRoundTripsThroughRawValues<InputMode>();
}

TEST(SettingsEnumsTest, CasesAreListedInDeclarationOrder) {
    constexpr std::array smoothing{SmoothingLevel::off, SmoothingLevel::low, SmoothingLevel::medium,
                                   SmoothingLevel::high};
    EXPECT_EQ(allCases<SmoothingLevel>(), smoothing);
    constexpr std::array presets{DisplayPreset::standard, DisplayPreset::more, DisplayPreset::evenMore,
                                 DisplayPreset::most};
    EXPECT_EQ(allCases<DisplayPreset>(), presets);
}

TEST(SettingsEnumsTest, JsonIsTheRawStringAlone) {
    EXPECT_EQ(encodeWire(toJson(CursorMode::burnedIn)), "\"burnedIn\"");
    EXPECT_EQ(jsonAs<CursorMode>(Json("BurnedIn")), std::nullopt);
    EXPECT_EQ(jsonAs<CursorMode>(Json(1)), std::nullopt);
}

TEST(SettingsEnumsTest, PresetSizesAndTitles) {
    EXPECT_EQ(landscapePoints(DisplayPreset::standard), std::make_pair(int64_t{1024}, int64_t{768}));
    EXPECT_EQ(landscapePoints(DisplayPreset::most), std::make_pair(int64_t{1366}, int64_t{1024}));
    EXPECT_EQ(title(DisplayPreset::more), "1152×864");
    EXPECT_EQ(title(DisplayPreset::evenMore), "1280\u00D7960");
}

}  // namespace
}  // namespace kelvo
