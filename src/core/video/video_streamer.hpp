#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/records.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/clock_sync.hpp"
#include "core/util/timed_samples.hpp"
#include "core/video/adaptive_policy.hpp"
#include "core/protocol/control_messages.hpp"
#include "core/util/live_stats.hpp"
#include "core/video/frame_gate.hpp"
#include "core/video/probe_selection.hpp"
#include "core/video/stream_encoder.hpp"
#include "core/video/video_output.hpp"

namespace kelvo {

// Carries one session's display to the tablet: gates captured frames, drives the encoder, sends
// stream formats and frames on the video channel, matches acknowledgements, and once a second
// applies the adaptive policy and publishes LiveStats.
// Everything, callbacks included, runs on `queue` (the video channel's queue); callers hop there.
// Lifecycle: construct (no I/O) → start → stop (final; no callback after it) → destroy.
// Held by shared_ptr: encoder results hop back holding it weakly.
class VideoStreamer : public std::enable_shared_from_this<VideoStreamer> {
public:
    struct Config {
        int width = 0;
        int height = 0;
        int fps = 60;         // base frame rate
        int bitrate = 0;  // bits per second at scale 1.0
        H264Profile profile = H264Profile::constrainedHigh;
        uint8_t levelOverride = 0;  // 0: the SPS goes out as the encoder made it
        int window = 4;             // frames between encode start and acknowledgement

        bool operator==(const Config&) const = default;

        // From a probe selection, which may come from a stored profile: a level outside 0…255 is
        // dropped (encoder's level) and a size that does not fit 16 bits falls back to the L4
        // size, each with a warning. fps = min(selection.maxFps, fps).
        static Config from(const ProbeSelection& selection, int fps, int bitrate);
    };

    VideoStreamer(std::shared_ptr<Executor> queue, std::shared_ptr<VideoOutput> channel,
                  std::shared_ptr<const ClockSync> clock, Config config, EncoderFactory makeEncoder);
    ~VideoStreamer();
    VideoStreamer(const VideoStreamer&) = delete;
    VideoStreamer& operator=(const VideoStreamer&) = delete;

    // Makes the first encoder (stream 1) and starts the one-second tick. On failure nothing runs
    // and the error is returned; the caller decides what follows. Call once.
    std::optional<EncoderError> start();
    // A captured frame and its capture time. Ignored after stop.
    void submit(PixelBufferRef frame, uint64_t captureUs);
    // A key frame as soon as possible (not while paused or stopped).
    void forceKeyframe();
    // A message received on the video channel: frame acknowledgements and key-frame requests;
    // anything else, or a payload too short for its record, is ignored.
    void handle(const WireMessage& message);
    // Stops streaming; with a reason the tablet is told with a stream stop. Frames still in the
    // encoder are dropped.
    void pause(std::optional<StreamStopReason> stopReason);
    // Starts a new stream, opening with a key frame.
    void resume();
    // New settings: ends the current stream (restart) and makes a new encoder; on failure the
    // error is returned and the streamer retries on its own.
    std::optional<EncoderError> reconfigure(Config config);
    // Final. With a reason the tablet is told. Idempotent.
    void stop(std::optional<StreamStopReason> reason);
    void updateDeviceStatus(const DeviceStatusMsg& status);
    void updateIPadStats(const IPadStats& stats);

    // Frame-rate cap in force.
    int fps() const { return currentFps_; }
    const Config& config() const { return config_; }
    uint32_t streamId() const { return streamId_; }
    bool paused() const { return paused_; }
    // The caller sets its onToast.
    AdaptivePolicy& policy() { return policy_; }

    // Each tick's statistics, on `queue`.
    std::function<void(const LiveStats&)> onStats;
    // Each new frame-rate cap, on `queue` (the session adjusts the capture rate).
    std::function<void(int)> onFrameRateChange;

private:
    struct InFlight {
        uint64_t captureUs;
        uint64_t encodedUs;
        uint64_t sentUs;
    };

    uint64_t nowUs() const { return queue_->nowUs(); }
    // The configured bitrate at the scale in force, truncated toward zero.
    int scaledBitrate() const { return static_cast<int>(bitrateScale_ * config_.bitrate); }
    std::optional<EncoderError> makeEncoder();
    void beginNewStream();
    void encodeFrame(const PixelBufferRef& frame, uint64_t ptsUs, bool keyframe);
    void complete(EncodeResult result, uint64_t captureUs, uint64_t encodedUs, int64_t generation);
    void sendFrame(EncodedFrame frame, uint64_t captureUs, uint64_t encodedUs);
    void refuseUnopenableFrame(const EncodedFrame& frame);
    void sendFormat(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);
    void sendStreamStop(StreamStopReason reason);
    void restartEncoder(const std::string& reason);
    void rebuildEncoder(const std::string& reason);
    void onAck(const KVFrameAck& ack);
    void onKeyframeRequest(const KVKeyframeRequest& request);
    void tick();
    LiveStats makeStats(uint64_t sinceUs) const;

    std::shared_ptr<Executor> queue_;
    std::shared_ptr<VideoOutput> channel_;
    std::shared_ptr<const ClockSync> clock_;
    EncoderFactory makeEncoder_;
    Config config_;
    uint32_t streamId_ = 0;
    bool paused_ = false;
    AdaptivePolicy policy_;
    FrameGate<PixelBufferRef> gate_;
    std::unique_ptr<StreamEncoder> encoder_;
    int64_t generation_ = 0;
    uint32_t frameId_ = 0;
    bool needFormat_ = true;
    // A stream stop went out for the current stream: nothing more may be sent in it.
    bool streamStopped_ = false;
    std::optional<std::vector<uint8_t>> lastSPS_;
    std::optional<std::vector<uint8_t>> lastPPS_;
    std::map<uint32_t, InFlight> inflight_;
    uint64_t lastKeyframeRequestUs_ = 0;
    bool stopped_ = false;
    int currentFps_;
    double bitrateScale_ = 1.0;
    std::string capReason_;
    std::unique_ptr<Timer> statsTimer_;
    int64_t framesSent_ = 0;
    int64_t bytesSent_ = 0;
    int64_t keyframesSent_ = 0;
    int64_t droppedAtLastTick_ = 0;
    TimedSamples encodeMs_{kSampleAgeUs};
    TimedSamples transferMs_{kSampleAgeUs};
    TimedSamples decodeMs_{kSampleAgeUs};
    TimedSamples e2eMs_{kSampleAgeUs};
    TimedSamples ackMs_{kSampleAgeUs};
    std::optional<IPadStats> ipadStats_;
    std::optional<DeviceStatusMsg> deviceStatus_;

    // Encoder recovery: rebuilds are spaced by a back-off so a failing encoder (or a frame it
    // cannot take) never spins; frames that cannot open a stream are counted.
    std::unique_ptr<Timer> rebuildTimer_;
    bool rebuildPending_ = false;
    std::optional<uint64_t> nextRebuildAllowedUs_;
    uint64_t rebuildBackoffUs_ = kMinRebuildBackoffUs;
    int unopenableFrames_ = 0;

    static constexpr uint64_t kSampleAgeUs = 10'000'000;
    static constexpr uint64_t kMinRebuildBackoffUs = 1'000'000;
    static constexpr uint64_t kMaxRebuildBackoffUs = 8'000'000;
};

}  // namespace kelvo
