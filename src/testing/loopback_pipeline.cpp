#include "testing/loopback_pipeline.hpp"

#include <future>

#include "core/transport/tcp.hpp"
#include "core/util/clock.hpp"
#include "core/video/channel_video_output.hpp"
#include "core/video/test_pattern_source.hpp"

namespace kelvo {

std::unique_ptr<LoopbackPipeline> LoopbackPipeline::start(Options options, std::string& error) {
    std::unique_ptr<LoopbackPipeline> p(new LoopbackPipeline());
    p->videoQueue_ = options.videoQueue;
    p->peerQueue_ = options.peerQueue;
    p->sourceQueue_ = options.sourceQueue;

    FakeIPad::Options tabletOptions;
    tabletOptions.sendStats = false;
    tabletOptions.clockAheadUs = options.tabletClockAheadUs;
    auto tablet = FakeIPad::make(tabletOptions, 0, 0, p->peerQueue_);
    if (!tablet.ok()) {
        error = "simulated tablet: " + tablet.error().description();
        return nullptr;
    }
    p->tablet_ = std::move(tablet.value());
    p->tablet_->onFrameDecoded = std::move(options.onDecoded);
    auto connected = std::make_shared<std::promise<ConnectResult>>();
    TCP::connect("127.0.0.1", p->tablet_->videoPort(), 2'000'000, p->videoQueue_,
                 [connected](ConnectResult r) { connected->set_value(std::move(r)); });
    ConnectResult video = connected->get_future().get();
    if (!video.ok()) {
        error = "video connect: " + video.error().description();
        p->stop();
        return nullptr;
    }
    p->hostChannel_ = Channel::create(std::move(video).value(), "video", p->videoQueue_, SocketOptions::video);

    auto clock = std::make_shared<ClockSync>();
    const uint64_t t0 = Clock::nowUs();
    const uint64_t t1 = p->tablet_->nowUs();
    const uint64_t t2 = p->tablet_->nowUs();
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
        if (streamer_) streamer_->stop(StreamStopReason::ended);
        if (hostChannel_) hostChannel_->close();
    });
    if (tablet_) tablet_->close();
    // Work already posted (a frame hop, an encoder result) has run once this returns.
    for (auto* q : {videoQueue_.get(), peerQueue_.get(), sourceQueue_.get()}) q->drain();
}

}  // namespace kelvo
