#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/settings_enums.hpp"
#include "core/util/raw_enum.hpp"
#include "core/util/rect.hpp"

namespace kelvo {

// One preset size of the tablet's display. Every mode is HiDPI: a point is two pixels.
struct DisplayModeSpec {
    DisplayPreset preset = DisplayPreset::standard;
    int64_t pointWidth = 0;
    int64_t pointHeight = 0;

    int64_t pixelWidth() const { return 2 * pointWidth; }
    int64_t pixelHeight() const { return 2 * pointHeight; }
    // "1024×768 pt @2x (2048×1536 px)"
    std::string description() const;
    bool operator==(const DisplayModeSpec&) const = default;
};

// Whether a virtual display's mode sizes are registered as points or as pixels.
enum class ModeRegistrationUnit { pixels, points };

template <>
struct RawEnumCases<ModeRegistrationUnit> {
    static constexpr std::array table{RawCase{ModeRegistrationUnit::pixels, "pixels"},
                                      RawCase{ModeRegistrationUnit::points, "points"}};
};

// The one table of sizes the tablet's display may take. Pure; any thread.
struct DisplayModeCatalog {
    // Unit used for every new virtual display; read at each creation. Main thread only.
    static ModeRegistrationUnit registrationUnit;

    // The preset's size, width and height swapped for portrait.
    static DisplayModeSpec spec(DisplayPreset preset, Orientation orientation);
    // The four specs, standard first.
    static std::vector<DisplayModeSpec> specs(Orientation orientation);
    // The sizes a new virtual display registers: largest first, the preferred preset (if any)
    // moved to the front.
    static std::vector<SizeD> registrationSizes(Orientation orientation, std::optional<DisplayPreset> preferred,
                                                ModeRegistrationUnit unit);
    // Largest pixel size of a virtual display: 2732×2048 in landscape, 2048×2732 in portrait.
    struct PixelSize {
        int64_t width = 0;
        int64_t height = 0;
    };
    static PixelSize maxPixels(Orientation orientation);
    // The tablet's physical size turned to the orientation (long side across in landscape);
    // the order of the two given values does not matter.
    static SizeD physicalSize(Orientation orientation, SizeD landscapeMM);
};

}  // namespace kelvo
