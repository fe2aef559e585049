#include "core/app/settings_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "core/session/device_profile_store.hpp"

namespace kelvo {
namespace {

struct Mirrored {
    std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    SettingsStore store{defaults};
    int storeCalls = 0;
    Uuid counter = store.observe([this](const Settings&, const Settings&) { ++storeCalls; });
};

TEST(SettingsModelTest, EditsReachTheStoreOnceAndChangesElsewhereAreNeverWrittenBack) {
    Mirrored m;
    SettingsModel model(m.store);
    int redraws = 0;
    model.onChange = [&] { ++redraws; };

    model.edit([](Settings& s) { s.fpsCap = 30; });
    EXPECT_EQ(m.store.settings().fpsCap, 30);
    EXPECT_EQ(m.storeCalls, 1);
    EXPECT_EQ(m.defaults->writeCount(), 1u);
    EXPECT_EQ(redraws, 1);

    // The status menu changes the orientation: the model shows it, nothing is saved again.
    m.store.update([](Settings& s) { s.orientation = OrientationSetting::portrait; });
    EXPECT_EQ(model.settings().orientation, OrientationSetting::portrait);
    EXPECT_EQ(model.settings().fpsCap, 30);
    EXPECT_EQ(m.storeCalls, 2);
    EXPECT_EQ(m.defaults->writeCount(), 2u);
    EXPECT_EQ(redraws, 2);

    // Choosing what is already stored saves nothing and calls nobody.
    model.edit([](Settings& s) { s.orientation = OrientationSetting::portrait; });
    model.setSettings(m.store.settings());
    EXPECT_EQ(m.storeCalls, 2);
    EXPECT_EQ(m.defaults->writeCount(), 2u);
    EXPECT_EQ(redraws, 2);
}

TEST(SettingsModelTest, AnObserverThatChangesTheSettingsAgainLeavesTheModelOnTheNewestValue) {
    SettingsStore store(nullptr);
    // Registered before the model, so the model hears the nested change before the outer one.
    Uuid clamp = store.observe([&](const Settings&, const Settings& now) {
        if (now.bitrateMbps > 40) store.update([](Settings& s) { s.bitrateMbps = 40; });
    });
    SettingsModel model(store);
    model.edit([](Settings& s) { s.bitrateMbps = 50; });
    EXPECT_EQ(store.settings().bitrateMbps, 40);
    EXPECT_EQ(model.settings().bitrateMbps, 40);
    store.removeObserver(clamp);
}

TEST(SettingsModelTest, AModelGoneStopsObserving) {
    Mirrored m;
    {
        SettingsModel model(m.store);
        model.edit([](Settings& s) { s.wireless = false; });
    }
    m.store.update([](Settings& s) { s.wireless = true; });  // would reach a freed model
    EXPECT_EQ(m.storeCalls, 2);
}

TEST(SettingsModelTest, ChoosingAPresetWithoutATabletSetsOnlyTheSetting) {
    SettingsStore store(nullptr);
    DeviceProfileStore profiles(nullptr);
    SettingsModel model(store);
    model.choosePreset(DisplayPreset::most, profiles, nullptr);
    EXPECT_EQ(store.settings().preset, DisplayPreset::most);
    EXPECT_TRUE(profiles.all().empty());
    EXPECT_EQ(presetInForce(store.settings(), profiles, nullptr), DisplayPreset::most);
}

TEST(SettingsLabelsTest, ValuesAreWrittenAsTheLabelsShowThem) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::string got;
        std::string want;
    } cases[] = {
        {settings_labels::integerPart(2.7), "2"},
        {settings_labels::integerPart(30), "30"},
        {settings_labels::integerPart(-0.4), "0"},
        {settings_labels::integerPart(-2.7), "-2"},
        {settings_labels::integerPart(1e30), "9223372036854775807"},
        {settings_labels::integerPart(-inf), "-9223372036854775808"},
        {settings_labels::integerPart(std::nan("")), "-"},
        {settings_labels::brightness(0), "亮度偏移 +0%"},
        {settings_labels::brightness(0.05), "亮度偏移 +5%"},
        {settings_labels::brightness(-0.1), "亮度偏移 -10%"},
        {settings_labels::brightness(-0.004), "亮度偏移 0%"},
        {settings_labels::brightness(0.005), "亮度偏移 +1%"},
        {settings_labels::brightness(-0.005), "亮度偏移 -1%"},
        {settings_labels::brightness(-0.5), "亮度偏移 -50%"},
        {settings_labels::brightness(0.5), "亮度偏移 +50%"},
        {settings_labels::brightness(1e300), "亮度偏移 +9223372036854775807%"},
        {settings_labels::pressure("最小压力", 0.1), "最小压力 0.10"},
        {settings_labels::pressure("最大压力", 1), "最大压力 1.00"},
        {settings_labels::pressure("最小压力", 0.125, ","), "最小压力 0,12"},
        {settings_labels::pressure("最小压力", 1e200), "最小压力 9223372036854775807"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(SettingsLabelsTest, SteppersMoveOneStepAndStayInTheirRange) {
    struct Case {
        double value;
        bool up;
        double want;
    } cases[] = {
        {2.7, true, 3.7}, {29.7, true, 30}, {30, true, 30}, {0.5, false, 0},
        {0, false, 0},    {50, false, 49},  {50, true, 50}, {-3, true, -2},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(stepped(c.value, 1.0, 0.0, 30.0, c.up), c.want) << c.value;
    EXPECT_EQ(stepped<int64_t>(1200, 50, 300, 1200, true), 1200);
    EXPECT_EQ(stepped<int64_t>(1175, 50, 300, 1200, true), 1200);
    EXPECT_EQ(stepped<int64_t>(300, 50, 300, 1200, false), 300);
}

TEST(SettingsLabelsTest, SliderPositionsCoverTheRangeInSteps) {
    SliderScale brightness{-0.5, 0.5, 0.05};
    EXPECT_EQ(brightness.positions(), 20);
    EXPECT_EQ(brightness.position(0), 10);
    EXPECT_EQ(brightness.position(-0.004), 10);
    EXPECT_EQ(brightness.position(-9), 0);
    EXPECT_EQ(brightness.position(std::nan("")), 0);
    EXPECT_DOUBLE_EQ(brightness.value(0), -0.5);
    EXPECT_DOUBLE_EQ(brightness.value(20), 0.5);
    EXPECT_NEAR(brightness.value(11), 0.05, 1e-12);
    SliderScale continuous{0.5, 1.0, 0};
    EXPECT_EQ(continuous.positions(), SliderScale::kContinuousPositions);
    EXPECT_DOUBLE_EQ(continuous.value(500), 0.75);
    EXPECT_EQ(continuous.position(1.0), SliderScale::kContinuousPositions);
}

}  // namespace
}  // namespace kelvo
