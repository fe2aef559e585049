#include <gtest/gtest.h>

#include "core/display/display_mode_catalog.hpp"
#include "core/display/virtual_display.hpp"

namespace kelvo {
namespace {

std::vector<std::pair<double, double>> pairs(const std::vector<SizeD>& sizes) {
    std::vector<std::pair<double, double>> out;
    for (auto& s : sizes) out.emplace_back(s.width, s.height);
    return out;
}

TEST(DisplayModeCatalog, RegistrationPutsLargestFirstAndThePreferredPresetInFront) {
    using P = std::vector<std::pair<double, double>>;
    struct Case {
        Orientation orientation;
        std::optional<DisplayPreset> preferred;
        ModeRegistrationUnit unit;
        P expected;
    } cases[] = {
        {Orientation::landscape, std::nullopt, ModeRegistrationUnit::points,
         P{{1366, 1024}, {1280, 960}, {1152, 864}, {1024, 768}}},
        {Orientation::landscape, DisplayPreset::more, ModeRegistrationUnit::points,
         P{{1152, 864}, {1366, 1024}, {1280, 960}, {1024, 768}}},
        {Orientation::landscape, DisplayPreset::standard, ModeRegistrationUnit::pixels,
         P{{2048, 1536}, {2732, 2048}, {2560, 1920}, {2304, 1728}}},
        {Orientation::portrait, DisplayPreset::most, ModeRegistrationUnit::points,
         P{{1024, 1366}, {960, 1280}, {864, 1152}, {768, 1024}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pairs(DisplayModeCatalog::registrationSizes(c.orientation, c.preferred, c.unit)), c.expected);
    }
}

TEST(DisplayModeCatalog, SpecsSizesAndPhysicalSizeFollowTheOrientation) {
    auto most = DisplayModeCatalog::spec(DisplayPreset::most, Orientation::portrait);
    EXPECT_EQ(most.pointWidth, 1024);
    EXPECT_EQ(most.pointHeight, 1366);
    EXPECT_EQ(DisplayModeCatalog::spec(DisplayPreset::standard, Orientation::landscape).description(),
              "1024×768 pt @2x (2048×1536 px)");
    EXPECT_EQ(DisplayModeCatalog::specs(Orientation::landscape).back().description(),
              "1366×1024 pt @2x (2732×2048 px)");
    EXPECT_EQ(DisplayModeCatalog::maxPixels(Orientation::portrait).height, 2732);
    EXPECT_EQ(DisplayModeCatalog::maxPixels(Orientation::landscape).width, 2732);

    EXPECT_EQ(DisplayModeCatalog::physicalSize(Orientation::landscape, {148, 197}), (SizeD{197, 148}));
    EXPECT_EQ(DisplayModeCatalog::physicalSize(Orientation::portrait, {197, 148}), (SizeD{148, 197}));
    EXPECT_EQ(DisplayModeCatalog::physicalSize(Orientation::portrait, {150, 150}), (SizeD{150, 150}));
}

TEST(VirtualDisplay, ModeSizesAreCutToWholeNumbersWithinRange) {
    struct Case {
        double in;
        uint32_t out;
    } cases[] = {{1366.9, 1366}, {-4, 0}, {std::nan(""), 0}, {1e12, 4294967295u}, {4294967295.0, 4294967295u},
                 {-INFINITY, 0}, {INFINITY, 4294967295u}};
    for (auto c : cases) EXPECT_EQ(clampToUInt32(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kelvo
