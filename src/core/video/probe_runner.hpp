#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/protocol/records.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/runtime/executor.hpp"
#include "core/transport/channel.hpp"
#include "core/video/probe_ladder.hpp"
#include "core/video/stream_encoder.hpp"

namespace kelvo {

// Measures over the video channel how well the tablet decodes each rung of the ladder: per rung
// and profile it renders and encodes 30 numbered test frames, sends them as one probe and waits
// for the tablet's probe result or a time-out. The walk goes from the largest rung down, retries a
// failed constrained-high rung with main, and stops at the first result decisive under the policy.
//
// run(), handle(), the walk, onProgress and the completion all run on the channel's queue; only
// rendering and encoder feeding run on `workQueue` ("kv.probe.encode"), and the x264 work on the
// encoder's own thread. Held by shared_ptr: work that hops between queues holds it weakly, so a
// released runner is never called back and its pending answer time-out does nothing.
class ProbeRunner : public std::enable_shared_from_this<ProbeRunner> {
public:
    static constexpr int framesPerRung = 30;
    // Frames inside the encoder at once; the rest are rendered only when a slot frees, so a
    // rung never holds 30 full-size pictures in memory.
    static constexpr int encodeWindow = 3;

    using Completion = std::function<void(std::vector<RungResult>, std::optional<ProbeSelection>)>;

    // `makeEncoder` makes one started encoder per probe (the x264 one in a session).
    static std::shared_ptr<ProbeRunner> create(std::shared_ptr<Channel> channel, std::shared_ptr<Executor> workQueue,
                                               EncoderFactory makeEncoder = H264StreamEncoder::factory());
    ~ProbeRunner();
    ProbeRunner(const ProbeRunner&) = delete;
    ProbeRunner& operator=(const ProbeRunner&) = delete;

    // Walks `ladder` under `policy` (on the queue). The completion gets every rung result in the
    // order made and the selection, on the queue; at once for an empty ladder. Nothing happens
    // after cancel(), nor while another walk runs (logged).
    void run(std::vector<ProbeRung> ladder, QualityPolicy policy, Completion completion);
    // A message from the video channel (on the queue): the answer to the waiting probe; a result
    // for another probe id, a payload too short for its record, or any other message is ignored.
    void handle(const WireMessage& message);
    // Any thread. Ends the walk: no probe starts after it, the waiting one is dropped and frames
    // still encoding are discarded when they come back. Once it returns neither onProgress nor
    // the completion runs: from elsewhere it waits for the queue to finish one already running
    // (so never call it from a queue the channel's queue may wait on).
    void cancel();

    // Set before run(), on the queue.
    int64_t bitrate = 25'000'000;  // bits per second for the probe encoder, read when a probe starts
    std::function<void(const RungResult&)> onProgress;  // every rung result as it is made
    // Answer time-out: this base plus 0.1 µs per byte of frames sent (10 MB/s).
    uint64_t answerTimeoutBaseUs = 3'500'000;
    // Rendering and encoding one rung must finish within this, or the rung counts as not encoded.
    uint64_t encodeTimeoutUs = 10'000'000;

    // The frames of one probe as encoded: frame 0's parameter sets and each frame that the
    // encoder produced, in order, as length-prefixed NAL units.
    struct Encoded {
        std::vector<uint8_t> sps;
        std::vector<uint8_t> pps;
        std::vector<std::vector<uint8_t>> frames;
    };
    struct Encoding;
    struct Private {};
    // Use create().
    ProbeRunner(Private, std::shared_ptr<Channel> channel, std::shared_ptr<Executor> workQueue,
                EncoderFactory makeEncoder);

private:
    struct Walk {
        std::vector<ProbeRung> ladder;
        QualityPolicy policy = QualityPolicy::smoothness;
        Completion completion;
        std::vector<RungResult> results;
        size_t index = 0;
    };
    struct Waiting {
        uint32_t id = 0;
        std::unique_ptr<Timer> timer;
        std::function<void(std::optional<KVProbeResult>)> completion;
    };

    void probe(H264Profile profile);
    void encoded(const ProbeRung& rung, H264Profile profile, std::shared_ptr<Encoded> frames);
    void send(const ProbeRung& rung, H264Profile profile, Encoded& encoded);  // moves the frames out
    void timedOut(uint32_t id, const ProbeRung& rung);
    void rungDone(RungResult result);
    void cancelOnQueue();

    const std::shared_ptr<Channel> channel_;
    const std::shared_ptr<Executor> queue_;
    const std::shared_ptr<Executor> workQueue_;
    const EncoderFactory makeEncoder_;

    // Set at once by cancel() from any thread; everything else is confined to queue_.
    std::atomic<bool> cancelled_{false};
    uint32_t nextProbeID_ = 0;  // the last id used
    std::optional<Walk> walk_;
    std::optional<Waiting> waiting_;
};

}  // namespace kelvo
