#include "core/input/pressure_model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelvo {

namespace {

// Raised to at least lo, then lowered to at most hi (hi wins if they cross).
double clampUp(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }

double bezier(double u, double c1, double c2) {
    const double m = 1 - u;
    return 3 * m * m * u * c1 + 3 * m * u * u * c2 + u * u * u;
}

}  // namespace

PressureConfig::PressureConfig(const Settings& settings) {
    source = settings.pressureSource;
    if (settings.pressureCurve.size() == 4) curve = settings.pressureCurve;
    minPressure = settings.minPressure;
    maxPressure = std::max(settings.minPressure, settings.maxPressure);
    constant = settings.constantPressure;
    radiusLight = settings.radiusLight;
    radiusHeavy = settings.radiusHeavy;
}

double PressureModel::begin(Point p, double radius, uint64_t timeUs) {
    startUs_ = lastUs_ = timeUs;
    lastPoint_ = p;
    speed_ = 0;
    return finish(raw(radius), timeUs);
}

double PressureModel::sample(Point p, double radius, uint64_t timeUs) {
    if (timeUs > lastUs_) {
        const double dt = static_cast<double>(timeUs - lastUs_) / 1e6;
        const double v = distance(p, lastPoint_) / dt;
        speed_ = config.alpha * v + (1 - config.alpha) * speed_;
        lastPoint_ = p;
        lastUs_ = timeUs;
    }
    return finish(raw(radius), timeUs);
}

double PressureModel::raw(double radius) const {
    switch (config.source) {
        case PressureSource::velocity:
            return clampUp(1 - speed_ / config.vMax, config.pMin, 1.0);
        case PressureSource::radius: {
            const double span = config.radiusHeavy - config.radiusLight;
            if (!(span > 0)) return config.constant;
            return std::clamp((radius - config.radiusLight) / span, 0.0, 1.0);
        }
        case PressureSource::constant:
            return config.constant;
    }
    return config.constant;
}

double PressureModel::finish(double raw, uint64_t timeUs) const {
    const double elapsedMs = timeUs > startUs_ ? static_cast<double>(timeUs - startUs_) / 1000.0 : 0.0;
    if (config.rampMs > 0 && elapsedMs < config.rampMs) {
        raw *= config.rampStart + (1 - config.rampStart) * elapsedMs / config.rampMs;
    }
    return clampUp(curve(raw, config.curve), config.minPressure, config.maxPressure);
}

double PressureModel::curve(double x, const std::vector<double>& c) {
    if (c.size() != 4) return x;
    x = x > 1 ? 1 : (x > 0 ? x : 0);  // NaN → 0
    const double x1 = std::clamp(c[0], 0.0, 1.0);
    const double x2 = std::clamp(c[2], 0.0, 1.0);
    double lo = 0;
    double hi = 1;
    for (int i = 0; i < 30; ++i) {
        const double mid = (lo + hi) / 2;
        if (bezier(mid, x1, x2) < x) lo = mid;
        else hi = mid;
    }
    const double y = bezier((lo + hi) / 2, c[1], c[3]);
    return y > 1 ? 1 : (y > 0 ? y : 0);
}

double OneEuroFilter::filter(double v, uint64_t timeUs) {
    if (!x_) {
        x_ = v;
        dx_ = 0;
        lastUs_ = std::max(timeUs, lastUs_);
        return v;
    }
    if (timeUs <= lastUs_) return *x_;
    const double dt = static_cast<double>(timeUs - lastUs_) / 1e6;
    lastUs_ = timeUs;
    auto smoothing = [dt](double cutoff) {
        const double tau = 1.0 / (2 * std::numbers::pi * cutoff);
        return 1.0 / (1.0 + tau / dt);
    };
    const double ad = smoothing(dCutoff_);
    dx_ = ad * (v - *x_) / dt + (1 - ad) * dx_;
    const double a = smoothing(minCutoff_ + beta_ * std::abs(dx_));
    x_ = a * v + (1 - a) * *x_;
    return *x_;
}

void OneEuroFilter::reset() {
    x_.reset();
    dx_ = 0;
    lastUs_ = 0;
}

std::optional<OneEuroFilter2D> OneEuroFilter2D::forLevel(SmoothingLevel level) {
    switch (level) {
        case SmoothingLevel::off: return std::nullopt;
        case SmoothingLevel::low: return OneEuroFilter2D(3.0, 0.01, 1.0);
        case SmoothingLevel::medium: return OneEuroFilter2D(1.0, 0.007, 1.0);
        case SmoothingLevel::high: return OneEuroFilter2D(0.5, 0.005, 1.0);
    }
    return std::nullopt;
}

}  // namespace kelvo
