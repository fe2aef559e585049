#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "core/input/pressure_model.hpp"

namespace kelvo {
namespace {

PressureConfig noRamp(PressureSource source) {
    PressureConfig c;
    c.source = source;
    c.rampMs = 0;
    return c;
}

TEST(PressureModel, VelocitySourceFallsWithSmoothedSpeed) {
    PressureConfig c = noRamp(PressureSource::velocity);
    c.alpha = 1.0;  // no smoothing: speed is the last step's
    c.minPressure = 0;
    PressureModel m(c);
    EXPECT_NEAR(m.begin({0, 0}, 8, 0), 1.0, 1e-6);
    EXPECT_NEAR(m.sample({7.5, 0}, 8, 10'000), 0.5, 1e-6);    // 750 pt/s
    EXPECT_NEAR(m.sample({7.5, 0}, 8, 10'000), 0.5, 1e-6);    // same time: speed unchanged
    EXPECT_NEAR(m.sample({22.5, 0}, 8, 20'000), 0.15, 1e-6);  // 1500 pt/s: the floor
    EXPECT_NEAR(m.sample({52.5, 0}, 8, 30'000), 0.15, 1e-6);  // faster stays at the floor

    PressureModel smoothed(noRamp(PressureSource::velocity));
    smoothed.begin({0, 0}, 8, 0);
    // 0.3 × 1000 pt/s + 0.7 × 0
    EXPECT_NEAR(smoothed.sample({10, 0}, 8, 10'000), 0.8, 1e-6);
}

TEST(PressureModel, RampCurveAndRange) {
    PressureConfig c;
    c.source = PressureSource::constant;
    c.constant = 1.0;
    PressureModel m(c);
    EXPECT_NEAR(m.begin({0, 0}, 8, 1'000'000), 0.3, 1e-6);
    EXPECT_NEAR(m.sample({0, 0}, 8, 1'020'000), 0.65, 1e-6);
    EXPECT_NEAR(m.sample({0, 0}, 8, 1'040'000), 1.0, 1e-6);

    m.config.constant = 0.05;
    EXPECT_NEAR(m.begin({0, 0}, 8, 0), 0.1, 1e-9) << "never below minPressure";
    m.config = noRamp(PressureSource::constant);
    m.config.constant = 0.05;
    m.config.minPressure = 0.6;
    m.config.maxPressure = 0.4;
    EXPECT_EQ(m.begin({0, 0}, 8, 0), 0.4) << "the upper clamp is applied last";
}

TEST(PressureModel, RadiusSource) {
    PressureConfig c = noRamp(PressureSource::radius);
    c.minPressure = 0;
    PressureModel m(c);
    struct {
        double radius, pressure;
    } cases[] = {{10, 0.5}, {4, 0}, {20, 1}, {6, 0}, {14, 1}};
    for (auto k : cases) EXPECT_NEAR(m.begin({0, 0}, k.radius, 0), k.pressure, 1e-6) << k.radius;
    m.config.radiusHeavy = m.config.radiusLight;
    EXPECT_NEAR(m.begin({0, 0}, 20, 0), 0.6, 1e-6) << "no span: the constant";
}

TEST(PressureModel, ResponseCurve) {
    const std::vector<double> identity{0.25, 0.25, 0.75, 0.75};
    for (double x : {0.0, 0.1, 0.5, 0.9, 1.0}) EXPECT_NEAR(PressureModel::curve(x, identity), x, 1e-6);
    EXPECT_NEAR(PressureModel::curve(1.7, identity), 1.0, 1e-6);
    EXPECT_NEAR(PressureModel::curve(-1, identity), 0.0, 1e-6);
    EXPECT_EQ(PressureModel::curve(0.3, {0.1, 0.2, 0.3}), 0.3) << "3 values: unchanged";
    EXPECT_EQ(PressureModel::curve(0.3, {0.1, 0.2, 0.3, 0.4, 0.5}), 0.3);
    const double soft = PressureModel::curve(0.3, {0.5, 0.0, 1.0, 0.5});
    EXPECT_LT(soft, 0.3) << "below the diagonal makes light pressure lighter";
    EXPECT_GT(soft, 0.0);
    EXPECT_EQ(PressureModel::curve(0.5, {0, 2, 0, 2}), 1.0) << "y clamped to 1";
}

TEST(PressureConfig, FromSettingsNeverInvertsTheRangeAndNeedsFourCurvePoints) {
    Settings s;
    s.pressureCurve = {0.1, 0.2, 0.3};
    s.minPressure = 0.6;
    s.maxPressure = 0.4;
    PressureConfig c(s);
    EXPECT_EQ(c.curve, (std::vector<double>{0.25, 0.25, 0.75, 0.75}));
    EXPECT_EQ(c.minPressure, 0.6);
    EXPECT_EQ(c.maxPressure, 0.6);
    s.pressureCurve = {0.5, 0.0, 1.0, 0.5};
    EXPECT_EQ(PressureConfig(s).curve, s.pressureCurve);
}

TEST(OneEuroFilter, SmoothsAndIgnoresStaleSamples) {
    OneEuroFilter f(1.0, 0.007, 1.0);
    EXPECT_EQ(f.filter(10, 1'000'000), 10);
    EXPECT_EQ(f.filter(99, 1'000'000), 10) << "not later: previous output";
    // dt = 0.01 s: a(1 Hz) = 1 / (1 + 1/(2π·0.01)) ≈ 0.0591; dx ≈ 0.0591 × 1000 = 59.1;
    // cut-off = 1 + 0.007 × 59.1 ≈ 1.414 Hz; a ≈ 0.0816; x ≈ 10 + 0.0816 × 10.
    const double a1 = 1.0 / (1.0 + 1.0 / (2 * std::numbers::pi * 0.01));
    const double dx = a1 * 10 / 0.01;
    const double cutoff = 1.0 + 0.007 * dx;
    const double a = 1.0 / (1.0 + 1.0 / (2 * std::numbers::pi * cutoff * 0.01));
    EXPECT_NEAR(f.filter(20, 1'010'000), 10 + a * 10, 1e-9);
    f.reset();
    EXPECT_EQ(f.filter(-3, 5), -3) << "first after reset passes";

    EXPECT_FALSE(OneEuroFilter2D::forLevel(SmoothingLevel::off));
    auto low = OneEuroFilter2D::forLevel(SmoothingLevel::low);
    auto high = OneEuroFilter2D::forLevel(SmoothingLevel::high);
    ASSERT_TRUE(low && high);
    low->filter({0, 0}, 0);
    high->filter({0, 0}, 0);
    const Point l = low->filter({10, 10}, 10'000);
    const Point h = high->filter({10, 10}, 10'000);
    EXPECT_GT(l.x, h.x) << "a higher level smooths more";
    EXPECT_EQ(l.x, l.y);
}

}  // namespace
}  // namespace kelvo
