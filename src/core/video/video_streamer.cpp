#include "core/video/video_streamer.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

#include "core/util/log.hpp"
#include "core/video/h264.hpp"

namespace kelvo {
namespace {

constexpr const char* kTag = "video";
constexpr uint64_t kTickUs = 1'000'000;
constexpr uint64_t kKeyframeRequestGapUs = 500'000;
constexpr uint64_t kStalledWindowUs = 3'000'000;
constexpr int kMaxFrameQP = 34;
constexpr int64_t kMaxSide = 65535;       // stream sizes travel as 16 bits
constexpr size_t kMaxParameterSet = 65535;  // parameter-set lengths travel as 16 bits
// Frames that cannot open a stream in a row before the encoder is taken as broken.
constexpr int kUnopenableLimit = 2;

bool fitsSide(int64_t side) { return side >= 1 && side <= kMaxSide; }

// a − b for a tablet-derived time; absent when it would overflow (only corrupt times do).
std::optional<int64_t> signedDiff(int64_t a, uint64_t b) {
    if (b > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    int64_t out = 0;
    if (__builtin_sub_overflow(a, static_cast<int64_t>(b), &out)) return std::nullopt;
    return out;
}

std::string sizeText(int width, int height) { return std::to_string(width) + "×" + std::to_string(height); }

}  // namespace

VideoStreamer::Config VideoStreamer::Config::from(const ProbeSelection& selection, int fps, int bitrate) {
    ProbeSelection sel = selection;
    if (!fitsSide(sel.width) || !fitsSide(sel.height)) {
        const auto orientation = sel.height > sel.width ? Orientation::portrait : Orientation::landscape;
        ProbeSelection fb = ProbeSelection::fallback(orientation);
        Log::w(kTag, "stored selection size " + std::to_string(sel.width) + "×" + std::to_string(sel.height) +
                         " unusable, falling back to " + fb.description());
        sel.rungName = fb.rungName;
        sel.width = fb.width;
        sel.height = fb.height;
        sel.levelOverride = fb.levelOverride;
    }
    if (sel.levelOverride < 0 || sel.levelOverride > 255) {
        Log::w(kTag, "stored selection level " + std::to_string(sel.levelOverride) +
                         " out of range, keeping the encoder's level");
        sel.levelOverride = 0;
    }
    Config c;
    c.width = static_cast<int>(sel.width);
    c.height = static_cast<int>(sel.height);
    c.profile = sel.profile;
    c.levelOverride = static_cast<uint8_t>(sel.levelOverride);
    // A ceiling below 1 means nothing usable was stored; the caller's rate stands.
    c.fps = sel.maxFps >= 1 ? static_cast<int>(std::min<int64_t>(sel.maxFps, fps)) : fps;
    c.bitrate = bitrate;
    c.window = 4;
    return c;
}

VideoStreamer::VideoStreamer(std::shared_ptr<Executor> queue, std::shared_ptr<VideoOutput> channel,
                             std::shared_ptr<const ClockSync> clock, Config config, EncoderFactory makeEncoder)
    : queue_(std::move(queue)),
      channel_(std::move(channel)),
      clock_(std::move(clock)),
      makeEncoder_(std::move(makeEncoder)),
      config_(config),
      policy_(config.fps),
      gate_(config.window),
      currentFps_(config.fps) {
    // A frame that would wait inside a busy encoder waits in the gate instead, where a newer
    // capture replaces it.
    gate_.encoderDepth = 1;
    // The gate is a member, so it never calls a streamer that is gone.
    gate_.encode = [this](const PixelBufferRef& frame, uint64_t ptsUs, bool key) { encodeFrame(frame, ptsUs, key); };
}

VideoStreamer::~VideoStreamer() {
    if (encoder_) encoder_->invalidate();
}

std::optional<EncoderError> VideoStreamer::start() {
    if (auto error = makeEncoder()) return error;
    statsTimer_ = queue_->makeTimer();
    std::weak_ptr<VideoStreamer> weak = weak_from_this();
    statsTimer_->scheduleRepeating(kTickUs, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    return std::nullopt;
}

std::optional<EncoderError> VideoStreamer::makeEncoder() {
    if (encoder_) encoder_->invalidate();
    EncoderConfig ec{config_.width, config_.height, currentFps_, scaledBitrate(), config_.profile, kMaxFrameQP};
    auto made = makeEncoder_(ec);
    if (!made) return made.error();
    encoder_ = std::move(made.value());
    rebuildPending_ = false;
    if (rebuildTimer_) rebuildTimer_->cancel();
    beginNewStream();
    return std::nullopt;
}

void VideoStreamer::beginNewStream() {
    generation_ += 1;
    streamId_ += 1;  // wraps from 4294967295 to 0
    frameId_ = 0;
    needFormat_ = true;
    streamStopped_ = false;
    unopenableFrames_ = 0;
    lastSPS_.reset();
    lastPPS_.reset();
    inflight_.clear();
    gate_.resetInFlight();
    gate_.requestKeyframeOnNext();
}

void VideoStreamer::submit(PixelBufferRef frame, uint64_t captureUs) {
    if (stopped_) return;
    gate_.submit(std::move(frame), captureUs);
}

void VideoStreamer::encodeFrame(const PixelBufferRef& frame, uint64_t ptsUs, bool keyframe) {
    // Without a working encoder the frame finishes at once; a pending rebuild brings one back.
    if (!encoder_ || rebuildPending_) {
        gate_.encodeEnded();
        gate_.frameFinished();
        return;
    }
    const int64_t generation = generation_;
    std::weak_ptr<VideoStreamer> weak = weak_from_this();
    std::shared_ptr<Executor> queue = queue_;
    encoder_->encode(frame, ptsUs, keyframe, [weak, queue, ptsUs, generation](EncodeResult result) {
        const uint64_t encodedUs = queue->nowUs();
        if (weak.expired()) return;
        queue->post([weak, result = std::move(result), ptsUs, encodedUs, generation]() mutable {
            if (auto self = weak.lock()) self->complete(std::move(result), ptsUs, encodedUs, generation);
        });
    });
}

void VideoStreamer::complete(EncodeResult result, uint64_t captureUs, uint64_t encodedUs,
                             int64_t generation) {
    // A new stream already reset the window, so stale results are not finished.
    if (generation != generation_ || stopped_) return;
    if (!result) {
        gate_.frameFinished();
        restartEncoder(result.error().description());
    } else if (!result.value() || paused_ || streamStopped_) {
        // After a pause or a stream stop the tablet must see nothing more of this stream.
        gate_.frameFinished();
    } else {
        sendFrame(std::move(*result.value()), captureUs, encodedUs);
    }
    // The encoder takes the next frame only now, so that a key frame this result called for
    // goes to it rather than behind a frame started meanwhile. A new stream has reset the count.
    if (generation == generation_ && !stopped_) gate_.encodeEnded();
}

void VideoStreamer::sendFrame(EncodedFrame frame, uint64_t captureUs, uint64_t encodedUs) {
    const bool hasParameterSets = frame.isKeyframe && frame.sps && frame.pps &&
                                  frame.sps->size() <= kMaxParameterSet && frame.pps->size() <= kMaxParameterSet;
    if (hasParameterSets) {
        std::vector<uint8_t> sps = config_.levelOverride != 0 ? H264::rewriteLevel(*frame.sps, config_.levelOverride) : *frame.sps;
        const bool due = needFormat_ || !lastSPS_ || sps != *lastSPS_ || !lastPPS_ || *frame.pps != *lastPPS_;
        if (due) {
            sendFormat(sps, *frame.pps);
            lastSPS_ = std::move(sps);
            lastPPS_ = *frame.pps;
            needFormat_ = false;
        }
        keyframesSent_ += 1;
    } else if (needFormat_) {
        refuseUnopenableFrame(frame);
        return;
    }

    KVVideoFrameHeader header;
    header.streamId = streamId_;
    header.frameId = frameId_ + 1;  // wraps
    header.captureUs = captureUs;
    header.flags = frame.isKeyframe ? KVVideoFrameHeader::kKeyFrame : 0;
    const int64_t dataSize = static_cast<int64_t>(frame.data.size());
    if (!channel_->send(rawValue(MsgType::videoFrame), {Wire::pod(header), std::move(frame.data)})) {
        // Refused as too large; the channel said why. The tablet needs a fresh key frame.
        gate_.frameFinished();
        gate_.requestKeyframeOnNext();
        return;
    }
    frameId_ = header.frameId;

    const uint64_t sentUs = nowUs();
    inflight_[frameId_] = InFlight{captureUs, encodedUs, sentUs};
    framesSent_ += 1;
    bytesSent_ += dataSize + 16 + 24;
    if (encodedUs >= captureUs) encodeMs_.add(static_cast<double>(encodedUs - captureUs) / 1000.0, sentUs);
    unopenableFrames_ = 0;
    rebuildBackoffUs_ = kMinRebuildBackoffUs;
}

// A frame while a format is due that cannot carry one. It is not sent; the next frame is asked to
// be a key frame instead of encoding this one again at once, which could spin on an encoder that
// keeps answering the same way. A second such frame in a row means the encoder is broken.
void VideoStreamer::refuseUnopenableFrame(const EncodedFrame& frame) {
    gate_.frameFinished();
    unopenableFrames_ += 1;
    if (unopenableFrames_ >= kUnopenableLimit) {
        unopenableFrames_ = 0;
        restartEncoder(frame.isKeyframe ? "key frames without parameter sets" : "key frames not honoured");
        return;
    }
    if (frame.isKeyframe) {
        gate_.requestKeyframeOnNext();
    } else {
        gate_.forceKeyframe(nowUs());
    }
}

void VideoStreamer::sendFormat(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    KVStreamFormat format;
    format.streamId = streamId_;
    format.width = static_cast<uint16_t>(config_.width);
    format.height = static_cast<uint16_t>(config_.height);
    format.spsLength = static_cast<uint16_t>(sps.size());
    format.ppsLength = static_cast<uint16_t>(pps.size());
    channel_->send(rawValue(MsgType::streamFormat), {Wire::pod(format), sps, pps});
    Log::i(kTag, [&] {
        return "stream " + std::to_string(streamId_) + " format " + sizeText(config_.width, config_.height) +
               " level=" + std::to_string(H264::levelIdc(sps).value_or(0));
    });
}

void VideoStreamer::sendStreamStop(StreamStopReason reason) {
    KVStreamStop stop;
    stop.streamId = streamId_;
    stop.reason = static_cast<uint8_t>(reason);
    channel_->send(rawValue(MsgType::streamStop), {Wire::pod(stop)});
    streamStopped_ = true;
}

void VideoStreamer::restartEncoder(const std::string& reason) {
    gate_.requestKeyframeOnNext();
    if (rebuildPending_) return;  // a rebuild is already on its way
    const uint64_t now = nowUs();
    if (nextRebuildAllowedUs_ && now < *nextRebuildAllowedUs_) {
        const uint64_t waitUs = *nextRebuildAllowedUs_ - now;
        Log::w(kTag, "encoder failed again (" + reason + "), rebuilding in " + std::to_string(waitUs / 1000) + " ms");
        rebuildPending_ = true;
        if (!rebuildTimer_) rebuildTimer_ = queue_->makeTimer();
        std::weak_ptr<VideoStreamer> weak = weak_from_this();
        rebuildTimer_->scheduleOnce(waitUs, [weak, reason] {
            if (auto self = weak.lock()) self->rebuildEncoder(reason);
        });
        return;
    }
    rebuildEncoder(reason);
}

void VideoStreamer::rebuildEncoder(const std::string& reason) {
    if (stopped_) return;
    const uint64_t now = nowUs();
    nextRebuildAllowedUs_ = now + rebuildBackoffUs_;
    rebuildBackoffUs_ = std::min(rebuildBackoffUs_ * 2, kMaxRebuildBackoffUs);
    Log::w(kTag, "rebuilding encoder: " + reason);
    sendStreamStop(StreamStopReason::restart);
    if (auto error = makeEncoder()) {
        Log::e(kTag, "cannot rebuild encoder: " + error->description());
        // Keep frames away from the invalidated encoder until the next attempt.
        rebuildPending_ = false;
        restartEncoder(EncoderError::invalidated().description());
        return;
    }
    gate_.forceKeyframe(now);
}

void VideoStreamer::pause(std::optional<StreamStopReason> stopReason) {
    if (stopped_ || paused_) return;
    paused_ = true;
    gate_.setPaused(true);
    if (stopReason) sendStreamStop(*stopReason);
    Log::i(kTag, "paused");
}

void VideoStreamer::resume() {
    if (stopped_ || !paused_) return;
    paused_ = false;
    beginNewStream();
    const bool hadPending = gate_.hasPending();
    gate_.setPaused(false);
    if (!hadPending) gate_.forceKeyframe(nowUs());
    Log::i(kTag, "resumed (stream " + std::to_string(streamId_) + ")");
}

std::optional<EncoderError> VideoStreamer::reconfigure(Config config) {
    if (stopped_) return std::nullopt;
    sendStreamStop(StreamStopReason::restart);
    const bool sizeChanged = config.width != config_.width || config.height != config_.height;
    config_ = config;
    policy_.baseFps = config.fps;
    const int fps = std::min(config.fps, currentFps_);
    const bool fpsChanged = fps != currentFps_;
    currentFps_ = fps;
    gate_.window = config.window;
    // The capture follows the cap, as it does the policy's.
    if (fpsChanged && onFrameRateChange) onFrameRateChange(currentFps_);
    if (sizeChanged) {
        gate_.reset();  // the last frame has the old size
        return makeEncoder();
    }
    if (auto error = makeEncoder()) return error;
    gate_.forceKeyframe(nowUs());
    return std::nullopt;
}

void VideoStreamer::stop(std::optional<StreamStopReason> reason) {
    if (stopped_) return;
    if (reason) sendStreamStop(*reason);
    stopped_ = true;
    statsTimer_.reset();
    rebuildTimer_.reset();
    if (encoder_) encoder_->invalidate();
    encoder_.reset();
    gate_.reset();
    inflight_.clear();
}

void VideoStreamer::forceKeyframe() {
    if (stopped_ || paused_) return;
    gate_.forceKeyframe(nowUs());
}

void VideoStreamer::handle(const WireMessage& message) {
    switch (message.rawType) {
        case rawValue(MsgType::frameAck):
            if (auto ack = message.load<KVFrameAck>(0)) onAck(*ack);
            break;
        case rawValue(MsgType::keyframeRequest):
            if (auto request = message.load<KVKeyframeRequest>(0)) onKeyframeRequest(*request);
            break;
        default:
            break;
    }
}

void VideoStreamer::onAck(const KVFrameAck& ack) {
    if (ack.streamId != streamId_) return;
    auto it = inflight_.find(ack.frameId);
    if (it == inflight_.end()) return;
    const InFlight frame = it->second;
    inflight_.erase(it);
    gate_.frameFinished();

    const uint64_t now = nowUs();
    if (now >= frame.encodedUs) ackMs_.add(static_cast<double>(now - frame.encodedUs) / 1000.0, now);
    if (ack.receivedUs != 0 && ack.decodedUs >= ack.receivedUs) {
        decodeMs_.add(static_cast<double>(ack.decodedUs - ack.receivedUs) / 1000.0, now);
    }
    if (ack.receivedUs != 0 && clock_->hasSample()) {
        // Tablet times are outside data: a difference that does not fit is dropped, not wrapped.
        if (auto transfer = signedDiff(clock_->macTime(ack.receivedUs), frame.encodedUs)) {
            transferMs_.add(static_cast<double>(*transfer) / 1000.0, now);
        }
        if (auto e2e = signedDiff(clock_->macTime(ack.decodedUs), frame.captureUs)) {
            e2eMs_.add(static_cast<double>(*e2e) / 1000.0, now);
        }
    }
}

void VideoStreamer::onKeyframeRequest(const KVKeyframeRequest& request) {
    const uint64_t now = nowUs();
    if (now - lastKeyframeRequestUs_ < kKeyframeRequestGapUs) return;
    lastKeyframeRequestUs_ = now;
    Log::i(kTag, "keyframe requested (reason " + std::to_string(request.reason) + ", last good " +
                     std::to_string(request.lastGoodFrameId) + ")");
    if (!paused_ && !stopped_) gate_.forceKeyframe(now);
}

void VideoStreamer::updateDeviceStatus(const DeviceStatusMsg& status) {
    deviceStatus_ = status;
    policy_.updateDevice(status.thermal, status.battery, status.charging, nowUs());
}

void VideoStreamer::updateIPadStats(const IPadStats& stats) { ipadStats_ = stats; }

void VideoStreamer::tick() {
    if (stopped_) return;
    const uint64_t now = nowUs();
    const uint64_t twoSecondsAgo = now > 2'000'000 ? now - 2'000'000 : 0;
    const uint64_t oneSecondAgo = now > 1'000'000 ? now - 1'000'000 : 0;

    if (!paused_ && !inflight_.empty()) {
        uint64_t oldestSentUs = std::numeric_limits<uint64_t>::max();
        for (const auto& [id, frame] : inflight_) oldestSentUs = std::min(oldestSentUs, frame.sentUs);
        if (now > oldestSentUs && now - oldestSentUs > kStalledWindowUs) {
            Log::w(kTag, std::to_string(inflight_.size()) + " frames unacknowledged for 3 s, resetting window");
            inflight_.clear();
            gate_.resetInFlight();
            gate_.forceKeyframe(now);
        }
    }

    std::optional<double> decodeP95;
    if (ipadStats_ && ipadStats_->decodeUsP95) {
        decodeP95 = *ipadStats_->decodeUsP95 / 1000.0;
    } else {
        decodeP95 = decodeMs_.percentile(0.95, twoSecondsAgo);
    }
    const std::optional<double> ackP90 = ackMs_.percentile(0.9, oneSecondAgo);
    const AdaptivePolicy::Decision decision = policy_.evaluate(now, decodeP95, ackP90);
    capReason_ = decision.reason;

    if (decision.fps != currentFps_) {
        currentFps_ = decision.fps;
        if (encoder_) encoder_->setFrameRate(currentFps_);
        if (onFrameRateChange) onFrameRateChange(currentFps_);
        std::string line = "fps cap → " + std::to_string(currentFps_);
        if (!decision.reason.empty()) line += "（" + decision.reason + "）";
        Log::i(kTag, line);
    }
    if (decision.bitrateScale != bitrateScale_) {
        bitrateScale_ = decision.bitrateScale;
        if (encoder_) encoder_->setBitrate(scaledBitrate());
    }

    LiveStats stats = makeStats(twoSecondsAgo);
    droppedAtLastTick_ = gate_.droppedBeforeEncode();
    framesSent_ = 0;
    bytesSent_ = 0;
    if (onStats) onStats(stats);
}

LiveStats VideoStreamer::makeStats(uint64_t sinceUs) const {
    LiveStats s;
    s.date = std::chrono::system_clock::now();
    s.fps = static_cast<double>(framesSent_);
    s.kbps = static_cast<double>(bytesSent_) * 8.0 / 1000.0;
    s.inFlight = gate_.inFlight();
    s.droppedBeforeEncode = gate_.droppedBeforeEncode() - droppedAtLastTick_;
    s.keyframes = keyframesSent_;
    s.encodeMs = Percentiles(encodeMs_.values(sinceUs));
    s.transferMs = Percentiles(transferMs_.values(sinceUs));
    s.decodeMs = Percentiles(decodeMs_.values(sinceUs));
    s.e2eMs = Percentiles(e2eMs_.values(sinceUs));
    s.ackMsP90 = ackMs_.percentile(0.9, sinceUs).value_or(0);
    s.rttMs = static_cast<double>(clock_->lastRttUs()) / 1000.0;
    s.offsetMs = static_cast<double>(clock_->offsetUs()) / 1000.0;
    s.fpsCap = currentFps_;
    s.capReason = capReason_;
    s.streamSize = sizeText(config_.width, config_.height);
    s.ipad = ipadStats_;
    if (deviceStatus_) {
        s.thermal = deviceStatus_->thermal;
        s.battery = deviceStatus_->battery;
        s.charging = deviceStatus_->charging;
    }
    return s;
}

}  // namespace kelvo
