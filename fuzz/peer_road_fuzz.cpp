// The road a tablet's bytes take into the host. The input is a script that a simulated peer
// plays on its end of a socket pair: raw bytes, whole frames, frames expanded to hundreds of
// kilobytes, bursts, the passing of time and hanging up. The host's end is a real Channel on a
// manual executor (virtual time, real descriptor readiness). Each message the channel parses is
// dispatched by type to the record and JSON decoders, and the video stream's messages, device
// status and statistics to a streamer whose frames go back over the same channel. The peer
// reads everything the host sends: it must always parse.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "core/protocol/control_messages.hpp"
#include "core/protocol/frame_parser.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/protocol/records.hpp"
#include "core/protocol/wire.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/fake_stream_encoder.hpp"
#include "core/transport/channel.hpp"
#include "core/util/ipad_stats.hpp"
#include "core/video/channel_video_output.hpp"
#include "core/video/video_streamer.hpp"
#include "quiet_log.hpp"

namespace {

using namespace kelvo;

// Bytes one input may make the peer send, expansions included.
constexpr size_t kMaxPeerBytes = 4 << 20;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::vector<uint8_t> bytes(size_t len) {
        len = std::min(len, n);
        std::vector<uint8_t> out(p, p + len);
        p += len;
        n -= len;
        return out;
    }
};

template <class T>
void decodeJson(const WireMessage& m) {
    (void)Wire::decodeJSON<T>(m.payload);
}

// What the host does with each message it receives, by type.
void dispatch(const WireMessage& m, VideoStreamer& streamer) {
    const auto type = m.type();
    if (!type) return;  // unknown types are ignored
    switch (*type) {
        case MsgType::hello: decodeJson<HelloMsg>(m); break;
        case MsgType::helloAck: decodeJson<HelloAckMsg>(m); break;
        case MsgType::bye: decodeJson<ByeMsg>(m); break;
        case MsgType::pair: decodeJson<PairMsg>(m); break;
        case MsgType::pairAck: decodeJson<PairAckMsg>(m); break;
        case MsgType::config: decodeJson<ConfigMsg>(m); break;
        case MsgType::hostState: decodeJson<HostStateMsg>(m); break;
        case MsgType::keyboardState: decodeJson<KeyboardStateMsg>(m); break;
        case MsgType::uiLayout: decodeJson<UILayoutMsg>(m); break;
        case MsgType::uiState: decodeJson<UIStateMsg>(m); break;
        case MsgType::toast: decodeJson<ToastMsg>(m); break;
        case MsgType::logConfig: decodeJson<LogConfigMsg>(m); break;
        case MsgType::deviceStatus:
            if (auto status = Wire::decodeJSON<DeviceStatusMsg>(m.payload)) streamer.updateDeviceStatus(*status);
            break;
        case MsgType::stats:
            if (auto json = parseJson(m.payload)) {
                if (auto stats = jsonAs<IPadStats>(*json)) streamer.updateIPadStats(*stats);
            }
            break;
        case MsgType::ping: (void)m.load<KVPing>(); break;
        case MsgType::pong: (void)m.load<KVPong>(); break;
        case MsgType::appState: (void)m.load<KVAppState>(); break;
        case MsgType::touchFrame: (void)readTouchFrame(m.payload); break;
        case MsgType::uiEvent: (void)m.load<KVUIEvent>(); break;
        case MsgType::keyEvent: (void)m.load<KVKeyEvent>(); break;
        case MsgType::log: (void)readTabletLogLine(m.payload); break;
        case MsgType::cursorState: (void)m.load<KVCursorState>(); break;
        case MsgType::videoHello: (void)m.load<KVVideoHello>(); break;
        case MsgType::probeResult: (void)m.load<KVProbeResult>(); break;
        case MsgType::frameAck:
        case MsgType::keyframeRequest: streamer.handle(m); break;
        default: break;
    }
}

class Peer {
public:
    Peer(UniqueFd fd, std::shared_ptr<ManualExecutor> queue, std::shared_ptr<Channel> host)
        : fd_(std::move(fd)), queue_(std::move(queue)), host_(std::move(host)) {}

    // Sends every byte, letting the host read whenever the socket is full; drops the rest once
    // the host has closed.
    void send(const std::vector<uint8_t>& bytes) {
        if (writeClosed_ || sentTotal_ + bytes.size() > kMaxPeerBytes) return;
        sentTotal_ += bytes.size();
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return;  // the host has gone
            if (host_->isClosed()) return;
            pump();
        }
    }

    void hangUp() {
        writeClosed_ = true;
        ::shutdown(fd_.get(), SHUT_WR);
    }

    // Lets the host run, then reads and checks whatever it sent.
    void pump() {
        queue_->runUntilIdle();
        uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            fromHost_.append(std::span<const uint8_t>(chunk, static_cast<size_t>(n)));
            for (;;) {
                auto next = fromHost_.next();
                if (!next) abort();  // the host sent a frame its peer must reject
                if (!next.value()) break;
            }
            queue_->runUntilIdle();
        }
    }

private:
    UniqueFd fd_;
    std::shared_ptr<ManualExecutor> queue_;
    std::shared_ptr<Channel> host_;
    FrameParser fromHost_;
    size_t sentTotal_ = 0;
    bool writeClosed_ = false;
};

std::vector<uint8_t> frameOf(uint8_t type, uint32_t seq, const std::vector<uint8_t>& payload) {
    auto frame = Wire::frame(type, seq, payload);
    return frame ? std::move(frame).value() : std::vector<uint8_t>{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLog();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) abort();
    UniqueFd hostFd(fds[0]);
    UniqueFd peerFd(fds[1]);

    auto queue = std::make_shared<ManualExecutor>("kv.s.video");
    auto channel = Channel::create(std::move(hostFd), "video", queue, SocketOptions::video);
    auto script = std::make_shared<EncoderScript>();
    auto streamer = std::make_shared<VideoStreamer>(
        queue, std::make_shared<ChannelVideoOutput>(channel), std::make_shared<ClockSync>(),
        VideoStreamer::Config{1920, 1080, 60, 8'000'000, H264Profile::constrainedHigh, 0, 4}, script->factory());
    bool closed = false;
    channel->onMessage = [&](WireMessage m) {
        if (closed) abort();  // nothing is delivered after the close
        dispatch(m, *streamer);
    };
    channel->onClose = [&](std::optional<ChannelError>) {
        if (closed) abort();  // once
        closed = true;
        streamer->stop(std::nullopt);
    };
    if (streamer->start()) abort();
    channel->start();

    Peer peer(std::move(peerFd), queue, channel);
    Reader in{data, size};
    uint32_t seq = 0;
    std::vector<uint8_t> last;
    while (in.n > 0 && !closed) {
        switch (in.u8() % 8) {
            case 0: peer.send(in.bytes(in.u8())); break;
            case 1:
            case 2: {
                const uint8_t type = in.u8();
                last = frameOf(type, seq++, in.bytes(in.u8()));
                peer.send(last);
                break;
            }
            case 3: {
                // A large payload from a short pattern: compaction and buffer release are reached.
                const uint8_t type = in.u8();
                const size_t length = (size_t(in.u8()) + 1) * 8 * 1024;
                auto pattern = in.bytes(1 + in.u8() % 8);
                if (pattern.empty()) pattern.push_back(0);
                std::vector<uint8_t> payload(length);
                for (size_t i = 0; i < length; ++i) payload[i] = pattern[i % pattern.size()];
                peer.send(frameOf(type, seq++, payload));
                break;
            }
            case 4: {
                const size_t times = 1 + in.u8();
                for (size_t i = 0; i < times && !last.empty(); ++i) peer.send(last);
                break;
            }
            case 5: queue->advance(in.u8() * 10'000u); break;
            case 6: streamer->submit(PixelBuffer::make(PixelFormat::nv12, 16, 16), queue->nowUs()); break;
            default: peer.hangUp(); break;
        }
        peer.pump();
    }
    peer.hangUp();
    peer.pump();
    streamer->stop(std::nullopt);
    channel->close();
    queue->runUntilIdle();
    return 0;
}
