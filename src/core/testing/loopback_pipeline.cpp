#include "core/testing/loopback_pipeline.hpp"

#include "core/testing/loopback_pair.hpp"
#include "core/util/clock.hpp"
#include "core/video/channel_video_output.hpp"
#include "core/video/test_pattern_source.hpp"

namespace kelvo {

std::unique_ptr<LoopbackPipeline> LoopbackPipeline::start(Options options, std::string& error) {
    std::unique_ptr<LoopbackPipeline> p(new LoopbackPipeline());
    p->videoQueue_ = options.videoQueue;
    p->peerQueue_ = options.peerQueue;
    p->sourceQueue_ = options.sourceQueue;

    auto pair = LoopbackPair::connect(p->videoQueue_, p->peerQueue_);
    if (!pair) {
        error = "no loopback connection";
        return nullptr;
    }
    p->hostChannel_ = pair->host;
    p->receiver_ = VideoReceiver::make(pair->peer, options.tabletClockAheadUs);
    p->receiver_->onDecoded = std::move(options.onDecoded);
    p->receiver_->start();

    auto clock = std::make_shared<ClockSync>();
    const uint64_t t0 = Clock::nowUs();
    const uint64_t t1 = p->receiver_->nowUs();
    const uint64_t t2 = p->receiver_->nowUs();
    clock->add(t0, t1, t2, Clock::nowUs());

    auto output = options.output ? options.output(p->hostChannel_) : std::make_shared<ChannelVideoOutput>(p->hostChannel_);
    p->streamer_ = std::make_shared<VideoStreamer>(
        p->videoQueue_, output, clock,
        VideoStreamer::Config{options.width, options.height, options.fps, options.bitrate, H264Profile::constrainedHigh, 0, 4},
        std::move(options.encoderFactory));
    std::weak_ptr<VideoStreamer> weak = p->streamer_;
    std::optional<EncoderError> startError = runSync(*p->videoQueue_, [&] {
        p->streamer_->onStats = std::move(options.onStats);
        p->hostChannel_->onMessage = [weak](WireMessage message) {
            if (auto s = weak.lock()) s->handle(message);
        };
        p->hostChannel_->start();
        return p->streamer_->start();
    });
    if (startError) {
        error = startError->description();
        p->stop();
        return nullptr;
    }

    std::shared_ptr<FrameSource> source = options.source;
    if (!source) source = TestPatternSource::make(p->sourceQueue_, options.width, options.height, options.fps);
    auto videoQueue = p->videoQueue_;
    source->setOnFrame([videoQueue, weak](const PixelBufferRef& buffer, uint64_t captureUs) {
        videoQueue->post([weak, buffer, captureUs] {
            if (auto s = weak.lock()) s->submit(buffer, captureUs);
        });
    });
    source->start([](std::optional<SourceError>) {});
    p->source_ = std::move(source);
    return p;
}

LoopbackPipeline::~LoopbackPipeline() { stop(); }

void LoopbackPipeline::stop() {
    if (stopped_) return;
    stopped_ = true;
    if (source_) source_->stop();
    source_.reset();
    // A start that failed early left some of these unset; what was made is still stopped.
    runSync(*videoQueue_, [&] {
        if (streamer_) streamer_->stop(3);
        if (hostChannel_) hostChannel_->close();
    });
    if (receiver_) receiver_->stop();
    // Work already posted (a frame hop, an encoder result) has run once this returns.
    for (auto* q : {videoQueue_.get(), peerQueue_.get(), sourceQueue_.get()}) q->drain();
}

}  // namespace kelvo
