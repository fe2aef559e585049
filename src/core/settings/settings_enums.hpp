#pragma once

// The closed vocabularies of the user settings. Raw values are the case names (DisplayPreset: its
// size); they are what stored settings, device profiles and messages to the tablet carry.

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "core/util/raw_enum.hpp"

namespace kelvo {

// Size of the tablet's display in points.
enum class DisplayPreset { standard, more, evenMore, most };

template <>
struct RawEnumCases<DisplayPreset> {
    static constexpr std::array table{
        RawCase{DisplayPreset::standard, "1024x768"}, RawCase{DisplayPreset::more, "1152x864"},
        RawCase{DisplayPreset::evenMore, "1280x960"}, RawCase{DisplayPreset::most, "1366x1024"}};
};

// (width, height) in points for the landscape orientation; pixels are twice these (HiDPI).
std::pair<int64_t, int64_t> landscapePoints(DisplayPreset preset);
// The user-facing label "W×H" (U+00D7, no blanks), unlike the raw value's ASCII x.
std::string title(DisplayPreset preset);

// Two raw values are C++ keywords, so those cases carry a trailing underscore.

// `auto_` lets the session pick from the screen the tablet reports.
enum class OrientationSetting { landscape, portrait, auto_ };

template <>
struct RawEnumCases<OrientationSetting> {
    static constexpr std::array table{
        RawCase{OrientationSetting::landscape, "landscape"},
        RawCase{OrientationSetting::portrait, "portrait"},
        RawCase{OrientationSetting::auto_, "auto"}};
};

enum class Orientation { landscape, portrait };

template <>
struct RawEnumCases<Orientation> {
    static constexpr std::array table{
        RawCase{Orientation::landscape, "landscape"},
        RawCase{Orientation::portrait, "portrait"}};
};

enum class QualityPolicy { clarity, smoothness };

template <>
struct RawEnumCases<QualityPolicy> {
    static constexpr std::array table{
        RawCase{QualityPolicy::clarity, "clarity"},
        RawCase{QualityPolicy::smoothness, "smoothness"}};
};

enum class CursorMode { overlay, burnedIn };

template <>
struct RawEnumCases<CursorMode> {
    static constexpr std::array table{
        RawCase{CursorMode::overlay, "overlay"},
        RawCase{CursorMode::burnedIn, "burnedIn"}};
};

enum class DecodePipeline { vt, direct };

template <>
struct RawEnumCases<DecodePipeline> {
    static constexpr std::array table{
        RawCase{DecodePipeline::vt, "vt"},
        RawCase{DecodePipeline::direct, "direct"}};
};

// Stream a virtual display made for the tablet, or an existing external one.
enum class DisplaySourceKind { virtual_, external };

template <>
struct RawEnumCases<DisplaySourceKind> {
    static constexpr std::array table{
        RawCase{DisplaySourceKind::virtual_, "virtual"},
        RawCase{DisplaySourceKind::external, "external"}};
};

enum class PressureSource { velocity, radius, constant };

template <>
struct RawEnumCases<PressureSource> {
    static constexpr std::array table{
        RawCase{PressureSource::velocity, "velocity"},
        RawCase{PressureSource::radius, "radius"},
        RawCase{PressureSource::constant, "constant"}};
};

enum class SmoothingLevel { off, low, medium, high };

template <>
struct RawEnumCases<SmoothingLevel> {
    static constexpr std::array table{
        RawCase{SmoothingLevel::off, "off"},
        RawCase{SmoothingLevel::low, "low"},
        RawCase{SmoothingLevel::medium, "medium"},
        RawCase{SmoothingLevel::high, "high"}};
};

enum class TabletEventsMode { full, pressureOnly };

template <>
struct RawEnumCases<TabletEventsMode> {
    static constexpr std::array table{
        RawCase{TabletEventsMode::full, "full"},
        RawCase{TabletEventsMode::pressureOnly, "pressureOnly"}};
};

enum class TabletMappingArea { fullScreen, custom, frontWindow };

template <>
struct RawEnumCases<TabletMappingArea> {
    static constexpr std::array table{
        RawCase{TabletMappingArea::fullScreen, "fullScreen"},
        RawCase{TabletMappingArea::custom, "custom"},
        RawCase{TabletMappingArea::frontWindow, "frontWindow"}};
};

enum class TabletMappingView { preview, inputOnly };

template <>
struct RawEnumCases<TabletMappingView> {
    static constexpr std::array table{
        RawCase{TabletMappingView::preview, "preview"},
        RawCase{TabletMappingView::inputOnly, "inputOnly"}};
};

enum class SidebarEdge { left, right };

template <>
struct RawEnumCases<SidebarEdge> {
    static constexpr std::array table{
        RawCase{SidebarEdge::left, "left"},
        RawCase{SidebarEdge::right, "right"}};
};

enum class InputMode { touch, draw, tabletMapping };

template <>
struct RawEnumCases<InputMode> {
    static constexpr std::array table{
        RawCase{InputMode::touch, "touch"},
        RawCase{InputMode::draw, "draw"},
        RawCase{InputMode::tabletMapping, "tabletMapping"}};
};

}  // namespace kelvo
