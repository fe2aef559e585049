#pragma once

#include <array>

#include "core/protocol/control_messages.hpp"

namespace kelvo {

// Item ids of the tablet's sidebar (the item of a uiEvent) and its layout.
namespace SidebarItem {
inline constexpr int command = 10;
inline constexpr int option = 11;
inline constexpr int control = 12;
inline constexpr int shift = 13;
inline constexpr int undo = 20;
inline constexpr int redo = 21;
inline constexpr int escape = 22;
inline constexpr int drawMode = 30;
inline constexpr int eraser = 31;
inline constexpr int keyboard = 40;     // handled on the tablet
inline constexpr int hideSidebar = 41;  // handled on the tablet

inline constexpr std::array<int, 4> modifiers{command, option, control, shift};

// The sidebar the host sends: the thirteen standard rows on the settings' edge.
inline UILayoutMsg layout(const Settings& settings) { return UILayoutMsg::from(settings); }
}  // namespace SidebarItem

}  // namespace kelvo
