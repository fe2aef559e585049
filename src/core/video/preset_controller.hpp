#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/util/timed_samples.hpp"

namespace kelvo {

// The x264 speed presets a software encoder steps between, best quality first.
enum class EncoderPreset { veryfast, superfast, ultrafast };

std::string_view encoderPresetName(EncoderPreset preset) noexcept;  // "veryfast", ...

// Keeps a software encoder quick on whatever machine it runs: when the p95 of the last second's
// encode times passes a share of the frame period it steps to a faster preset, and steps back once
// they have stayed well below for a while. A step back that had to be undone soon after
// makes the next one wait twice as long, so a load that sits between two presets does not flap.
// A plain value on one thread; times are passed in (microseconds of any monotonic clock).
class PresetController {
public:
    struct Step {
        EncoderPreset from;
        EncoderPreset to;
        double p95Ms;     // the encode time that caused it
        double periodMs;  // against this frame period
    };

    // Step to a faster preset above this share of the frame period. Well short of keeping up with
    // the rate: every millisecond of the encode is one the picture on the tablet lags behind.
    static constexpr double kSlowerThan = 0.4;
    // Step back only below this share: the slower preset costs up to about twice as much, or more.
    static constexpr double kFasterThan = 0.15;
    // A step needs this many frames timed since the last one.
    static constexpr int kMinFrames = 10;
    static constexpr uint64_t kWindowUs = 1'000'000;
    static constexpr uint64_t kCalmUs = 5'000'000;
    static constexpr uint64_t kMaxCalmUs = 60'000'000;

    explicit PresetController(EncoderPreset start = EncoderPreset::veryfast) : preset_(start) {}

    EncoderPreset preset() const { return preset_; }

    // One frame's encode time (conversion included) that ended at `nowUs`, and the frame period in
    // force. Returns the step to take, already made the current preset, if any.
    std::optional<Step> add(uint64_t nowUs, double encodeMs, double periodMs);

private:
    std::optional<Step> stepTo(EncoderPreset to, double p95Ms, double periodMs);

    EncoderPreset preset_;
    TimedSamples samples_{kWindowUs};
    int framesSinceStep_ = 0;
    std::optional<uint64_t> calmSinceUs_;
    std::optional<uint64_t> lastStepBackUs_;
    uint64_t calmUs_ = kCalmUs;
};

}  // namespace kelvo
