#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/util/ipad_stats.hpp"
#include "core/util/json.hpp"
#include "core/util/timed_samples.hpp"

namespace kelvo {

// One statistics snapshot of the video stream, made once per second by the streamer.
// Latencies are milliseconds.
struct LiveStats {
    std::chrono::system_clock::time_point date = std::chrono::system_clock::now();
    double fps = 0;           // frames sent during the last tick interval
    double kbps = 0;          // kilobits sent during the last tick interval
    int64_t inFlight = 0;     // frames between encode start and acknowledgement
    int64_t droppedBeforeEncode = 0;  // since the previous snapshot
    int64_t keyframes = 0;    // since the streamer started
    Percentiles encodeMs;     // capture → encoded
    Percentiles transferMs;   // encoded → received by the tablet
    Percentiles decodeMs;     // received → decoded on the tablet
    Percentiles e2eMs;        // capture → decoded
    double ackMsP90 = 0;      // encoded → acknowledged
    double rttMs = 0;         // clock mapping's last round trip
    double offsetMs = 0;      // clock mapping's offset
    int64_t fpsCap = 0;       // the frame-rate cap in force
    std::string capReason;    // why the cap is below the base rate; empty when it is not
    std::string streamSize;   // "2048×1536"
    std::optional<IPadStats> ipad;      // the tablet's last report
    std::optional<std::string> thermal; // the tablet's last thermal state
    std::optional<double> battery;      // 0 … 1
    std::optional<bool> charging;

    friend bool operator==(const LiveStats&, const LiveStats&) = default;
};

// Keys "p50" and "p95".
template <>
struct JsonCoding<Percentiles> {
    static std::optional<Percentiles> read(const Json& v);
    static Json write(const Percentiles& p);
};

// Keys are the field names; absent optionals are left out. `date` is seconds since
// 2001-01-01 00:00:00 UTC as a number, the date form readers of these records expect.
template <>
struct JsonCoding<LiveStats> {
    static std::optional<LiveStats> read(const Json& v);
    static Json write(const LiveStats& s);
};

}  // namespace kelvo
