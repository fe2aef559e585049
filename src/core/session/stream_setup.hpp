#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "core/protocol/handshake_messages.hpp"
#include "core/session/device_profile.hpp"
#include "core/settings/settings.hpp"
#include "core/util/geometry.hpp"
#include "core/video/probe_ladder.hpp"
#include "core/video/video_streamer.hpp"

namespace kelvo {

// The rules by which a session turns the tablet's greeting, the stored profile and the settings
// into what it streams. Pure; any thread.
struct StreamSetup {
    // The tablet's screen in points (1024×768 when it sent no usable size), as the mapper takes it.
    static Size tabletPoints(const HelloMsg& hello);
    // The tablet's physical size, long side first (197×148 mm when it sent no usable size).
    static SizeD landscapeMillimetres(const HelloMsg& hello);

    // The stored probe under the current quality policy: its results judged again by today's
    // rule and the selection they give; when they give none, the stored results and selection.
    // Absent when the record has no selection or ran under another policy.
    struct Cached {
        std::vector<RungResult> results;
        ProbeSelection selection;
    };
    static std::optional<Cached> fromRecord(const ProbeRecord& record, QualityPolicy policy);

    // Frame-rate cap and bitrate from the settings, made safe: stored settings may hold a cap
    // below 1 or an absurd bitrate (not a number, negative, beyond what the encoder takes).
    static int frameRateCap(const Settings& settings);
    static int bitrate(const Settings& settings);
    // The streamer's configuration for `selection` (which may come from a stored profile).
    static VideoStreamer::Config streamerConfig(const ProbeSelection& selection, const Settings& settings);

    // A rectangle in global points as a capture rectangle inside a display with `bounds`: moved
    // into the display, at least one point wide and high, made integral.
    static Rect localSourceRect(const Rect& rect, const Rect& bounds);
    // The smallest integral rectangle holding `rect` (origin rounded down, far edges up).
    static Rect integral(const Rect& rect);

    static constexpr int kDefaultFps = 60;
    static constexpr int kMaxFps = 240;
    static constexpr int kDefaultBitrate = 25'000'000;
    static constexpr int kMinBitrate = 100'000;
};

// Capture restarts a session allows before it gives up: a source that fails again at once would
// otherwise be restarted every second for as long as the session lives.
class CaptureRestartBudget {
public:
    static constexpr int kMaxRestarts = 5;
    static constexpr uint64_t kWindowUs = 60'000'000;

    // Counts a restart at `nowUs`; false when kMaxRestarts were already made in the window.
    bool take(uint64_t nowUs);

private:
    std::deque<uint64_t> restartsUs_;
};

}  // namespace kelvo
