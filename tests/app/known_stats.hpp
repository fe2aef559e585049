#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/util/live_stats.hpp"

namespace kelvo::test {

// A statistics snapshot whose rows are knownRows().
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
    s.ipad = IPadStats{};
    s.ipad->cpu = 0.236;
    s.ipad->memMB = 151.5;
    s.ipad->decodeErrors = 3;
    s.battery = 0.876;
    s.charging = true;
    s.thermal = "fair";
    return s;
}

inline std::vector<std::pair<std::string, std::string>> knownRows() {
    return {
        {"码流", "2048×1536  上限 45 fps thermal"},
        {"帧率 / 码率", "60 fps · 12.3 Mbps · 在途 2 · 编码前丢弃 1"},
        {"编码", "P50 3.1 ms · P95 6.5 ms"},
        {"传输", "P50 1.0 ms · P95 2.0 ms"},
        {"解码（iPad）", "P50 4.0 ms · P95 8.2 ms"},
        {"端到端", "P50 12.3 ms · P95 20.1 ms"},
        {"PING", "往返 1.5 ms · 时钟偏移 -0.2 ms"},
        {"iPad", "CPU 24% · 内存 152 MB · 解码错误 3"},
        {"电量 / 温度", "87% 充电中 · fair"},
    };
}

}  // namespace kelvo::test
