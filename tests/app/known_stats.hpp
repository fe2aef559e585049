#pragma once

#include "core/util/live_stats.hpp"

namespace kelvo::test {

// A statistics snapshot whose rows are known, without the tablet's own figures.
inline LiveStats knownStats() {
    LiveStats s;
    s.fps = 59.6;
    s.kbps = 12345;
    s.inFlight = 2;
    s.droppedBeforeEncode = 1;
    s.encodeMs = {3.14, 6.5};
    s.transferMs = {1.04, 2};
    s.decodeMs = {4, 8.25};
    s.e2eMs = {12.3, 20.05};
    s.rttMs = 1.5;
    s.offsetMs = -0.25;
    s.fpsCap = 45;
    s.capReason = "thermal";
    s.streamSize = "2048×1536";
    return s;
}

}  // namespace kelvo::test
