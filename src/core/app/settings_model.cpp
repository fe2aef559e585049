#include "core/app/settings_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/app/number_text.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/device_session.hpp"

namespace kelvo {

SettingsModel::SettingsModel(SettingsStore& store) : store_(store), settings_(store.settings()) {
    // The store removes the observer before the destructor returns and calls it only on the
    // updating (main) thread, so `this` is never reached after the model is gone.
    token_ = store_.observe([this](const Settings&, const Settings&) { adopt(); });
}

SettingsModel::~SettingsModel() {
    if (token_) store_.removeObserver(*token_);
}

void SettingsModel::setSettings(const Settings& value) {
    if (value != settings_) {
        settings_ = value;
        if (onChange) onChange();
    }
    if (store_.settings() == settings_) return;
    Settings whole = settings_;
    store_.update([&](Settings& s) { s = whole; });
}

void SettingsModel::edit(const std::function<void(Settings&)>& change) {
    Settings copy = settings_;
    change(copy);
    setSettings(copy);
}

// Reads the store rather than the notified value: an observer that ran before this one may have
// changed the settings again, and its newer value has already reached us through a nested call.
void SettingsModel::adopt() {
    Settings now = store_.settings();
    if (now == settings_) return;
    settings_ = std::move(now);
    if (onChange) onChange();
}

void SettingsModel::choosePreset(DisplayPreset preset, DeviceProfileStore& profiles, const DeviceSession* session) {
    rememberPresetForTablet(preset, profiles, session);
    edit([&](Settings& s) { s.preset = preset; });
}

void rememberPresetForTablet(DisplayPreset preset, DeviceProfileStore& profiles, const DeviceSession* session) {
    if (!session || !session->identity()) return;
    const auto& identity = *session->identity();
    std::string key = session->connector() ? session->connector()->deviceKey() : identity.key;
    profiles.update(key, identity.name, [&](DeviceProfile& p) { p.preset = preset; });
}

DisplayPreset presetInForce(const Settings& settings, const DeviceProfileStore& profiles,
                            const DeviceSession* session) {
    if (session && session->connector()) {
        auto profile = profiles.profile(session->connector()->deviceKey());
        if (profile && profile->preset) return *profile->preset;
    }
    return settings.preset;
}

int SliderScale::positions() const {
    if (step <= 0) return kContinuousPositions;
    return static_cast<int>(std::lround((hi - lo) / step));
}

int SliderScale::position(double value) const {
    if (!(hi > lo) || std::isnan(value)) return 0;
    double fraction = std::clamp((value - lo) / (hi - lo), 0.0, 1.0);
    return static_cast<int>(std::lround(fraction * positions()));
}

double SliderScale::value(int position) const {
    int top = positions();
    position = std::clamp(position, 0, top);
    if (step > 0) return position == top ? hi : lo + position * step;
    return lo + (hi - lo) * position / top;
}

namespace settings_labels {

std::string integerPart(double value) { return wholeNumberText(value, Rounding::towardZero); }

std::string brightness(double offset) {
    std::string text = "亮度偏移 ";
    if (offset >= 0) text += "+";
    double percent = offset * 100;
    // Halves away from zero; std::round does exactly that.
    text += wholeNumberText(std::isfinite(percent) ? std::round(percent) : percent, Rounding::towardZero);
    return text + "%";
}

std::string pressure(std::string_view title, double value, std::string_view decimalPoint) {
    char digits[64];
    int n = std::isfinite(value) && std::fabs(value) < 1e15 ? std::snprintf(digits, sizeof digits, "%.2f", value) : -1;
    std::string number = n > 0 ? std::string(digits, static_cast<size_t>(n)) : wholeNumberText(value, Rounding::towardZero);
    if (auto dot = number.find('.'); dot != std::string::npos) number.replace(dot, 1, decimalPoint);
    return std::string(title) + " " + number;
}

}  // namespace settings_labels

const std::array<GestureActionRow, 9> kGestureActionRows{{
    {"rightClick", "右键"},
    {"middleClick", "中键"},
    {"magnify", "缩放手势"},
    {"cmdScroll", "Ctrl + 滚动"},
    {"altScroll", "Alt + 滚动"},
    {"spaces", "切换桌面"},
    {"undo", "撤销"},
    {"redo", "重做"},
    {"none", "无"},
}};

}  // namespace kelvo
