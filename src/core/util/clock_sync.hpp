#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace kelvo {

// Maps the tablet's microsecond clock onto the host's from four-timestamp ping/pong exchanges.
// Thread-safe: written where pongs arrive, read by the video queue. Never calls out.
class ClockSync {
public:
    static constexpr size_t kMaxSamples = 16;

    // One exchange: t0 host send of the ping, t1 tablet receive, t2 tablet send of the pong,
    // t3 host receive. Any values are accepted; results of absurd ones saturate, never wrap.
    void add(uint64_t t0, uint64_t t1, uint64_t t2, uint64_t t3);

    bool hasSample() const;
    // Tablet clock minus host clock of the sample with the smallest round trip; 0 without samples.
    int64_t offsetUs() const;
    int64_t minRttUs() const;
    // Round trip of the newest sample; 0 without samples.
    int64_t lastRttUs() const;
    // A tablet time (its bits read as signed) as host time; unchanged without samples.
    int64_t macTime(uint64_t ipadUs) const;
    void reset();

private:
    struct Sample {
        int64_t rtt = 0;     // never negative
        int64_t offset = 0;  // tablet minus host
    };

    mutable std::mutex lock_;
    std::vector<Sample> samples_;  // oldest first
    std::optional<Sample> best_;
    std::optional<Sample> last_;
};

}  // namespace kelvo
