#pragma once

#include <string>

#include "core/input/key_layout_map.hpp"

namespace kelvo {

// The map of the X keyboard's current layout (its active group), read through XKB: each virtual
// key's evdev key translated without and with Shift, Caps Lock and other locks left out. The US
// ANSI map when the server cannot be reached ("" uses $DISPLAY) or has no XKB.
KeyLayoutMap x11KeyLayoutMap(const std::string& display);

// Makes KeyLayoutMap::current() give the layout of `display`, kept over one connection and read
// again whenever the server announces a new keymap or another active group (a layout switch).
void installX11KeyLayoutSource(const std::string& display);

}  // namespace kelvo
