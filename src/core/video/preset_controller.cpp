#include "core/video/preset_controller.hpp"

#include <algorithm>

namespace kelvo {

std::string_view encoderPresetName(EncoderPreset preset) noexcept {
    switch (preset) {
        case EncoderPreset::veryfast: return "veryfast";
        case EncoderPreset::superfast: return "superfast";
        case EncoderPreset::ultrafast: return "ultrafast";
    }
    return "veryfast";
}

std::optional<PresetController::Step> PresetController::add(uint64_t nowUs, double encodeMs, double periodMs) {
    samples_.add(encodeMs, nowUs);
    framesSinceStep_ += 1;
    if (framesSinceStep_ < kMinFrames || !(periodMs > 0)) return std::nullopt;
    const uint64_t since = nowUs > kWindowUs ? nowUs - kWindowUs : 0;
    const double p95 = samples_.percentile(0.95, since).value_or(0);

    if (p95 > kSlowerThan * periodMs) {
        calmSinceUs_.reset();
        if (preset_ == EncoderPreset::ultrafast) return std::nullopt;
        // Undoing a recent step back: the load sits between two presets, so wait longer next time.
        if (lastStepBackUs_ && nowUs - *lastStepBackUs_ < 2 * calmUs_) calmUs_ = std::min(2 * calmUs_, kMaxCalmUs);
        return stepTo(EncoderPreset(int(preset_) + 1), p95, periodMs);
    }
    if (p95 >= kFasterThan * periodMs || preset_ == EncoderPreset::veryfast) {
        calmSinceUs_.reset();
        return std::nullopt;
    }
    if (!calmSinceUs_) calmSinceUs_ = nowUs;
    if (nowUs - *calmSinceUs_ < calmUs_) return std::nullopt;
    lastStepBackUs_ = nowUs;
    return stepTo(EncoderPreset(int(preset_) - 1), p95, periodMs);
}

std::optional<PresetController::Step> PresetController::stepTo(EncoderPreset to, double p95Ms, double periodMs) {
    Step step{preset_, to, p95Ms, periodMs};
    preset_ = to;
    // Times taken at the old preset say nothing about the new one.
    samples_.removeAll();
    framesSinceStep_ = 0;
    calmSinceUs_.reset();
    return step;
}

}  // namespace kelvo
