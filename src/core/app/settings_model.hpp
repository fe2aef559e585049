#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/settings/settings.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

class DeviceProfileStore;
class DeviceSession;

// The settings window's copy of the settings, mirrored with the store both ways: an edit reaches
// the store once (only when it changes the stored value), a change made elsewhere reaches the
// model once and is never written back. Main thread, like the store's updates.
class SettingsModel {
public:
    // Registers with `store`, which must outlive the model.
    explicit SettingsModel(SettingsStore& store);
    ~SettingsModel();
    SettingsModel(const SettingsModel&) = delete;
    SettingsModel& operator=(const SettingsModel&) = delete;

    const Settings& settings() const { return settings_; }
    // Takes `value`; writes the whole of it through the store when it differs from the stored one.
    void setSettings(const Settings& value);
    // setSettings with a copy that `change` edited.
    void edit(const std::function<void(Settings&)>& change);

    // What choosing a preset in the window does; the status menu's resolution items do the same.
    // The tablet of `session` (when its identity is known) has the preset stored in its profile,
    // which overrides the setting for it; the setting is set in every case.
    void choosePreset(DisplayPreset preset, DeviceProfileStore& profiles, const DeviceSession* session);

    // Called after `settings()` changed, whichever side changed it.
    std::function<void()> onChange;

private:
    void adopt();

    SettingsStore& store_;
    std::optional<Uuid> token_;
    Settings settings_;
};

// The preset in force for the current tablet: its profile's when it holds one, else the setting.
DisplayPreset presetInForce(const Settings& settings, const DeviceProfileStore& profiles,
                            const DeviceSession* session);

// Stores `preset` in the profile of the tablet of `session` when its identity is known; the
// caller sets the setting as well.
void rememberPresetForTablet(DisplayPreset preset, DeviceProfileStore& profiles, const DeviceSession* session);

// One step of a stepper over a closed range: up stops at `hi`, down at `lo`; a value already at
// or beyond the end it moves towards stays as it is (a stored value outside the range is not
// pulled in by a press the other way).
template <class T>
T stepped(T value, T step, T lo, T hi, bool up) {
    if (up) return value >= hi ? value : (value + step > hi ? hi : value + step);
    return value <= lo ? value : (value - step < lo ? lo : value - step);
}

// How a slider's integer positions map to a real range: every `step` from `lo`, or, with step 0,
// a continuous range in kContinuousPositions. Positions never write back a value by themselves;
// showing a value only moves the handle to the nearest position.
struct SliderScale {
    static constexpr int kContinuousPositions = 1000;
    double lo = 0;
    double hi = 1;
    double step = 0;

    int positions() const;  // the largest position; the smallest is 0
    int position(double value) const;
    double value(int position) const;
};

// Texts of the labels that show a value.
namespace settings_labels {
// A stepper over a real field shows the value's integer part.
std::string integerPart(double value);
// "亮度偏移 +5%": the sign from the unrounded value, the percent rounded half away from zero.
std::string brightness(double offset);
// "最小压力 0.10": two decimals with the locale's decimal point.
std::string pressure(std::string_view title, double value, std::string_view decimalPoint = ".");
}  // namespace settings_labels

// The gesture actions a picker offers, as stored (id) and shown (label), in the picker's order.
struct GestureActionRow {
    std::string_view id;
    std::string_view label;
};
extern const std::array<GestureActionRow, 9> kGestureActionRows;

}  // namespace kelvo
