#include "core/testing/video_receiver.hpp"

#include <span>

#include "core/protocol/records.hpp"
#include "core/util/clock.hpp"

namespace kelvo {

struct VideoReceiver::Private {};

std::shared_ptr<VideoReceiver> VideoReceiver::make(std::shared_ptr<Channel> channel, int64_t clockOffsetUs) {
    return std::make_shared<VideoReceiver>(Private{}, std::move(channel), clockOffsetUs);
}

VideoReceiver::VideoReceiver(Private, std::shared_ptr<Channel> channel, int64_t clockOffsetUs)
    : channel_(std::move(channel)), clockOffsetUs_(clockOffsetUs) {}

uint64_t VideoReceiver::nowUs() const { return Clock::nowUs() + static_cast<uint64_t>(clockOffsetUs_); }

VideoReceiver::Counters VideoReceiver::counters() const {
    std::lock_guard<std::mutex> lock(m_);
    return counters_;
}

void VideoReceiver::start() {
    std::weak_ptr<VideoReceiver> weak = weak_from_this();
    channel_->onMessage = [weak](WireMessage message) {
        if (auto self = weak.lock()) self->onMessage(message);
    };
    channel_->start();
}

void VideoReceiver::stop() { channel_->close(); }

void VideoReceiver::onMessage(const WireMessage& message) {
    switch (message.rawType) {
        case rawValue(MsgType::streamFormat):
            openStream(message);
            break;
        case rawValue(MsgType::videoFrame):
            receiveFrame(message);
            break;
        case rawValue(MsgType::streamStop): {
            std::lock_guard<std::mutex> lock(m_);
            counters_.stops += 1;
            break;
        }
        default:
            break;
    }
}

void VideoReceiver::openStream(const WireMessage& message) {
    decoder_.reset();
    const auto format = message.load<KVStreamFormat>(0);
    std::lock_guard<std::mutex> lock(m_);
    counters_.formats += 1;
    if (!format || message.payload.size() < KVStreamFormat::kSize + format->spsLength + format->ppsLength) {
        counters_.decodeErrors += 1;
        return;
    }
    std::span<const uint8_t> rest(message.payload);
    auto made = H264Decoder::create(rest.subspan(KVStreamFormat::kSize, format->spsLength),
                                    rest.subspan(KVStreamFormat::kSize + format->spsLength, format->ppsLength));
    if (!made) {
        counters_.decodeErrors += 1;
        return;
    }
    decoder_ = std::move(made.value());
}

void VideoReceiver::receiveFrame(const WireMessage& message) {
    const auto header = message.load<KVVideoFrameHeader>(0);
    if (!header) return;
    KVFrameAck ack;
    ack.streamId = header->streamId;
    ack.frameId = header->frameId;
    ack.receivedUs = nowUs();
    bool decoded = false;
    if (!decoder_) {
        ack.status = KVFrameAck::kDroppedAwaitingKeyFrame;
    } else if (decoder_->decode(std::span<const uint8_t>(message.payload).subspan(KVVideoFrameHeader::kSize))) {
        decoded = true;
    } else {
        ack.status = KVFrameAck::kDecodeFailed;
    }
    {
        std::lock_guard<std::mutex> lock(m_);
        counters_.frames += 1;
        counters_.awaitingKey += ack.status == KVFrameAck::kDroppedAwaitingKeyFrame;
        counters_.decoded += decoded;
        counters_.decodeErrors += ack.status == KVFrameAck::kDecodeFailed;
    }
    ack.decodedUs = nowUs();
    if (decoded && onDecoded) onDecoded(header->captureUs, ack.decodedUs - static_cast<uint64_t>(clockOffsetUs_));
    channel_->send(MsgType::frameAck, Wire::pod(ack));
}

}  // namespace kelvo
