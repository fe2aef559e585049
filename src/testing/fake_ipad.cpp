#include "testing/fake_ipad.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "core/protocol/records.hpp"
#include "testing/h264_decoder.hpp"
#include "core/transport/secure_listener.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/tcp_listener.hpp"
#include "core/util/base64.hpp"
#include "core/util/clock.hpp"
#include "core/util/ipad_stats.hpp"
#include "core/util/log.hpp"
#include "platform/runtime/asio_executor.hpp"

namespace kelvo {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr uint64_t kStatsIntervalUs = 1'000'000;
// The status the tablet's decoder gives for data it cannot take; a probe beyond the tablet's
// pixel limit is answered with it.
constexpr int32_t kBadDataStatus = -12909;

// Pixels of a screen side at scale 2, truncated; nonsense sizes give 0 rather than overflow.
int64_t nativePixels(double points) {
    const double px = 2 * points;
    if (!std::isfinite(px) || px <= 0) return 0;
    return static_cast<int64_t>(std::min(px, 1e9));
}

template <class T>
T clampTo(uint64_t value) {
    return static_cast<T>(std::min<uint64_t>(value, std::numeric_limits<T>::max()));
}

bool exceeds(const std::optional<int64_t>& maxPixels, uint16_t width, uint16_t height) {
    return maxPixels && *maxPixels < int64_t{width} * height;
}

std::string sizeText(unsigned width, unsigned height) {
    return std::to_string(width) + "\u00d7" + std::to_string(height);
}

}  // namespace

struct FakeIPad::Private {};

struct FakeIPad::Probe {
    uint32_t id = 0;
    int64_t count = 0;
    int64_t received = 0;
    int64_t decoded = 0;
    int32_t status = 0;
    uint64_t totalUs = 0;
    uint64_t maxUs = 0;
    int outWidth = 0;
    int outHeight = 0;
    std::unique_ptr<H264Decoder> decoder;
};

struct FakeIPad::Swipe {
    std::unique_ptr<Timer> timer;
    Point from, to;
    double seconds = 0;
    int steps = 2;
    int fingers = 1;
    double spacing = 0;
    uint8_t baseId = 0;
    uint64_t startUs = 0;  // queue time of the first step
    int next = 0;
    bool done = false;
};

// ---- life cycle ----

template <class F>
auto FakeIPad::sync(F&& fn) {
    using R = std::invoke_result_t<F>;
    if (queue_->isCurrent()) return fn();
    // Posting and draining, rather than runSync, also serves a manual queue: its drain runs it
    // on the calling (test) thread.
    if constexpr (std::is_void_v<R>) {
        queue_->post([&] { fn(); });
        queue_->drain();
    } else {
        std::optional<R> result;
        queue_->post([&] { result.emplace(fn()); });
        queue_->drain();
        return std::move(*result);
    }
}

Expected<std::shared_ptr<FakeIPad>, ConnectError> FakeIPad::make(Options options, uint16_t ctrlPort,
                                                                uint16_t videoPort, std::shared_ptr<Executor> queue) {
    if (!queue) queue = AsioExecutor::makeQueue("kv.fake");
    auto fake = std::make_shared<FakeIPad>(Private{}, std::move(options), queue);
    std::weak_ptr<FakeIPad> weak = fake;
    auto ctrl = TCPListener::listen(ctrlPort, kLoopback, queue, [weak](UniqueFd fd) {
        if (auto self = weak.lock(); self && !self->closed_) self->acceptCtrl(std::move(fd), true);
    });
    if (!ctrl.ok()) return ctrl.error();
    fake->ctrlPort_ = ctrl.value()->port();
    fake->sync([&] { fake->ctrlListener_ = std::move(ctrl.value()); });
    auto video = TCPListener::listen(videoPort, kLoopback, queue, [weak](UniqueFd fd) {
        if (auto self = weak.lock(); self && !self->closed_) self->acceptVideo(std::move(fd));
    });
    if (!video.ok()) return video.error();  // releasing `fake` stops the control listener
    fake->videoPort_ = video.value()->port();
    fake->sync([&] { fake->videoListener_ = std::move(video.value()); });
    return fake;
}

FakeIPad::FakeIPad(Private, Options options, std::shared_ptr<Executor> queue)
    : options_(std::move(options)), queue_(std::move(queue)) {}

FakeIPad::~FakeIPad() {
    sync([this] { closeOnQueue(); });
    // Work already posted finds no owner; running it now keeps it from outliving us by surprise.
    sync([] {});
}

void FakeIPad::post(std::function<void(FakeIPad&)> work) {
    queue_->post([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock(); self && !self->closed_) work(*self);
    });
}

uint64_t FakeIPad::nowUs() const { return Clock::nowUs() + static_cast<uint64_t>(options_.clockAheadUs); }

FakeIPad::Counters FakeIPad::snapshot() {
    return sync([this] { return counters_; });
}

uint16_t FakeIPad::secureCtrlPort() {
    return sync([this] { return secureCtrlPort_; });
}

uint16_t FakeIPad::secureVideoPort() {
    return sync([this] { return secureVideoPort_; });
}

void FakeIPad::close() {
    sync([this] { closeOnQueue(); });
}

void FakeIPad::closeOnQueue() {
    if (closed_) return;
    closed_ = true;
    if (ctrlListener_) ctrlListener_->stop();
    if (videoListener_) videoListener_->stop();
    stopSecureListeners();
    if (statsTimer_) statsTimer_->cancel();
    swipes_.clear();
    if (ctrl_) ctrl_->close();
    if (video_) video_->close();
}

void FakeIPad::log(const std::string& line) {
    Log::d("fake", line);
    if (onLog) onLog(line);
}

// ---- control stream ----

HelloMsg FakeIPad::hello() const {
    HelloMsg hello;
    hello.proto = HelloMsg::Proto{1, 1};
    hello.app = HelloMsg::App{"0.1.0", options_.build};
    hello.device = HelloMsg::Device{"iPad4,1", options_.name, options_.os, "FAKE"};
    const SizeD pt = options_.screenPoints;
    hello.screen = HelloMsg::Screen{std::vector<int64_t>{nativePixels(pt.width), nativePixels(pt.height)},
                                    std::vector<double>{pt.width, pt.height},
                                    2.0,
                                    std::vector<double>{options_.screenMillimeters.width, options_.screenMillimeters.height},
                                    60,
                                    "landscapeLeft"};
    hello.touch = HelloMsg::Touch{11, true, false, false};
    hello.decode = HelloMsg::Decode{true, std::vector<std::string>{"vt"}, options_.probeCache};
    hello.power = HelloMsg::Power{0.8, true, "nominal"};
    if (pairing_) hello.pairing = HelloMsg::Pairing{pairing_->host, SecureTransport::fingerprint(pairing_->key)};
    return hello;
}

void FakeIPad::acceptCtrl(UniqueFd fd, bool trusted) {
    if (ctrl_) ctrl_->close();  // its close handler also ends the old session's video channel
    auto channel = Channel::create(std::move(fd), "fake.ctrl", queue_, SocketOptions::ctrl);
    ctrl_ = channel;
    ctrlTrusted_ = trusted;
    counters_.sessions += 1;
    if (!trusted) counters_.secureSessions += 1;
    std::weak_ptr<FakeIPad> weak = weak_from_this();
    const Channel* identity = channel.get();
    channel->onMessage = [weak](WireMessage message) {
        if (auto self = weak.lock()) self->ctrlMessage(message);
    };
    channel->onClose = [weak, identity](std::optional<ChannelError>) {
        if (auto self = weak.lock()) self->ctrlClosed(identity);
    };
    channel->start();
    channel->sendJSON(MsgType::hello, hello());
    log("ctrl connected, HELLO sent");
}

void FakeIPad::ctrlClosed(const Channel* closing) {
    if (closing != ctrl_.get() && (ctrl_ || video_)) return;
    log("ctrl closed");
    ctrl_.reset();
    if (statsTimer_) statsTimer_->cancel();
    if (video_) video_->close();
}

void FakeIPad::ctrlMessage(const WireMessage& message) {
    const auto type = message.type();
    if (!type) return;
    if (*type != MsgType::ping && counters_.ctrlReceived.size() < kMaxCtrlRecorded) {
        counters_.ctrlReceived.push_back(*type);
    }
    switch (*type) {
        case MsgType::helloAck:
            counters_.helloAcks += 1;
            counters_.lastHelloAck = Wire::decodeJSON<HelloAckMsg>(message.payload);
            if (options_.sendStats) startStats();
            break;
        case MsgType::bye: {
            const auto bye = Wire::decodeJSON<ByeMsg>(message.payload);
            counters_.lastBye = bye ? std::optional(bye->reason) : std::nullopt;
            counters_.lastByeDetail = bye ? bye->detail : std::nullopt;
            log("BYE " + (bye ? bye->reason : std::string("?")));
            break;
        }
        case MsgType::ping: {
            const auto ping = message.load<KVPing>();
            if (!ping) break;
            const uint64_t t1 = nowUs();
            if (!ctrl_) break;
            ctrl_->send(MsgType::pong, Wire::pod(KVPong{ping->t0, t1, nowUs()}));
            break;
        }
        case MsgType::config:
            counters_.lastConfig = Wire::decodeJSON<ConfigMsg>(message.payload);
            break;
        case MsgType::hostState:
            counters_.lastHostState = Wire::decodeJSON<HostStateMsg>(message.payload);
            break;
        case MsgType::pair:
            answerPair(message);
            break;
        case MsgType::cursorShape:
            counters_.cursorShapes += 1;
            break;
        case MsgType::cursorState:
            counters_.cursorStates += 1;
            break;
        case MsgType::uiLayout:
            counters_.lastLayout = Wire::decodeJSON<UILayoutMsg>(message.payload);
            break;
        case MsgType::uiState:
            counters_.lastUIState = Wire::decodeJSON<UIStateMsg>(message.payload);
            break;
        case MsgType::toast:
            if (auto toast = Wire::decodeJSON<ToastMsg>(message.payload)) counters_.toasts.push_back(toast->text);
            break;
        default:
            break;
    }
}

void FakeIPad::answerPair(const WireMessage& message) {
    PairAckMsg answer;
    if (!ctrlTrusted_) {
        answer = {false, std::nullopt, "not usb"};
    } else if (auto pair = Wire::decodeJSON<PairMsg>(message.payload); !pair) {
        answer = {false, std::nullopt, "bad PAIR"};
    } else {
        auto key = pair->psk ? base64Decode(*pair->psk) : std::nullopt;
        if (key && key->size() == SecureTransport::keyLength) {
            counters_.pairedFingerprint = SecureTransport::fingerprint(*key);
            pairing_ = Pairing{pair->host, std::move(*key)};
            restartSecureListeners();
            answer = {true, options_.serviceName.value_or("fake-" + std::to_string(ctrlPort_)), std::nullopt};
        } else {
            pairing_.reset();
            counters_.pairedFingerprint.reset();
            restartSecureListeners();
            answer = {true, std::nullopt, std::nullopt};
        }
    }
    counters_.pairAcks.push_back(answer);
    if (ctrl_) ctrl_->sendJSON(MsgType::pairAck, answer);
}

void FakeIPad::setPairing(const std::string& host, std::optional<std::vector<uint8_t>> key) {
    sync([&] {
        if (key) {
            counters_.pairedFingerprint = SecureTransport::fingerprint(*key);
            pairing_ = Pairing{host, std::move(*key)};
        } else {
            pairing_.reset();
            counters_.pairedFingerprint.reset();
        }
        if (!closed_) restartSecureListeners();
    });
}

void FakeIPad::stopSecureListeners() {
    if (secureCtrl_) secureCtrl_->stop();
    if (secureVideo_) secureVideo_->stop();
    secureCtrl_.reset();
    secureVideo_.reset();
    secureCtrlPort_ = secureVideoPort_ = 0;
}

void FakeIPad::restartSecureListeners() {
    stopSecureListeners();
    if (!pairing_) return;
    if (!secureQueue_) secureQueue_ = AsioExecutor::makeQueue("kv.fake.secure");
    std::weak_ptr<FakeIPad> weak = weak_from_this();
    auto listen = [&](std::string_view type, bool control) {
        SecureListener::Options options;
        options.host = options_.secureHost;
        if (options_.serviceName) options.service = SecureListener::Service{*options_.serviceName, std::string(type)};
        options.publisher = options_.publisher;
        options.onReject = [weak](std::string reason) {
            if (auto self = weak.lock()) {
                self->post([reason = std::move(reason)](FakeIPad& me) {
                    me.counters_.rejected += 1;
                    me.log("rejected: " + reason);
                });
            }
        };
        auto accept = [weak, control](UniqueFd fd) {
            auto self = weak.lock();
            if (!self) return;
            auto shared = std::make_shared<UniqueFd>(std::move(fd));
            self->post([shared, control](FakeIPad& me) {
                if (control) {
                    me.acceptCtrl(std::move(*shared), false);
                } else {
                    me.acceptVideo(std::move(*shared));
                }
            });
        };
        return SecureListener::listen(SecureTransport::parameters(pairing_->key, pairing_->host, false), options,
                                      secureQueue_, accept);
    };
    auto ctrl = listen(SecureTransport::ctrlServiceType, true);
    if (!ctrl.ok()) {
        log("secure listener failed: " + ctrl.error().description());
        return;
    }
    auto video = listen(SecureTransport::videoServiceType, false);
    if (!video.ok()) {
        ctrl.value()->stop();
        log("secure listener failed: " + video.error().description());
        return;
    }
    secureCtrl_ = std::move(ctrl.value());
    secureVideo_ = std::move(video.value());
    secureCtrlPort_ = secureCtrl_->port();
    secureVideoPort_ = secureVideo_->port();
    log("secure listeners on " + std::to_string(secureCtrlPort_) + " / " + std::to_string(secureVideoPort_));
}

void FakeIPad::startStats() {
    if (!statsTimer_) statsTimer_ = queue_->makeTimer();
    // Counting from now: a restarted timer reports only what was decoded since it started.
    statsPreviousDecoded_ = counters_.framesDecoded;
    std::weak_ptr<FakeIPad> weak = weak_from_this();
    statsTimer_->scheduleRepeating(kStatsIntervalUs, [weak] {
        if (auto self = weak.lock(); self && !self->closed_) self->statsTick();
    });
}

void FakeIPad::statsTick() {
    if (!ctrl_) return;
    IPadStats stats;
    stats.decoded = counters_.framesDecoded - statsPreviousDecoded_;
    statsPreviousDecoded_ = counters_.framesDecoded;
    stats.decodeErrors = counters_.decodeErrors;
    stats.decodeUsAvg = counters_.avgDecodeUs;
    stats.cpu = 0.05;
    stats.memMB = 30.0;
    ctrl_->sendJSON(MsgType::stats, stats);
}

// ---- video stream ----

void FakeIPad::acceptVideo(UniqueFd fd) {
    if (video_) video_->close();  // its close handler also ends the old session's control channel
    auto channel = Channel::create(std::move(fd), "fake.video", queue_, SocketOptions::video);
    video_ = channel;
    decoder_.reset();
    waitingKeyframe_ = true;
    std::weak_ptr<FakeIPad> weak = weak_from_this();
    const Channel* identity = channel.get();
    channel->onMessage = [weak](WireMessage message) {
        if (auto self = weak.lock()) self->videoMessage(message);
    };
    channel->onClose = [weak, identity](std::optional<ChannelError>) {
        if (auto self = weak.lock()) self->videoClosed(identity);
    };
    channel->start();
    log("video connected");
}

void FakeIPad::videoClosed(const Channel* closing) {
    if (closing != video_.get() && (ctrl_ || video_)) return;
    video_.reset();
    // What the host sent on the control stream before this one ended (its bye) is read first.
    if (auto ctrl = ctrl_) {
        ctrl->readAvailable();
        ctrl->close();
    }
}

void FakeIPad::videoMessage(const WireMessage& message) {
    const auto type = message.type();
    if (!type) return;
    switch (*type) {
        case MsgType::videoHello:
            log("VIDEO_HELLO");
            break;
        case MsgType::streamFormat:
            streamFormat(message);
            break;
        case MsgType::videoFrame:
            videoFrame(message);
            break;
        case MsgType::streamStop:
            counters_.streamStops += 1;
            if (auto stop = message.load<KVStreamStop>()) counters_.stopReasons.push_back(stop->reason);
            decoder_.reset();
            waitingKeyframe_ = true;
            break;
        case MsgType::probeBegin:
            probeBegin(message);
            break;
        case MsgType::probeFrame:
            probeFrame(message);
            break;
        default:
            break;
    }
}

void FakeIPad::streamFormat(const WireMessage& message) {
    const auto format = message.load<KVStreamFormat>();
    if (!format) return;
    // Parameter sets announced beyond the payload are a short record, not something to read.
    const auto sets = readParameterSets(message.payload, KVStreamFormat::kSize, format->spsLength, format->ppsLength);
    if (!sets) return;
    counters_.streamFormats += 1;
    counters_.streamSize = SizeD{double(format->width), double(format->height)};
    streamId_ = format->streamId;
    waitingKeyframe_ = true;
    decoder_.reset();
    if (options_.decode && !exceeds(options_.decodeMaxPixels, format->width, format->height)) {
        if (auto made = H264Decoder::create(sets->sps, sets->pps)) decoder_ = std::move(made.value());
    }
    log("STREAM_FORMAT #" + std::to_string(format->streamId) + " " + sizeText(format->width, format->height));
}

void FakeIPad::videoFrame(const WireMessage& message) {
    const auto header = message.load<KVVideoFrameHeader>();
    if (!header) return;
    KVFrameAck ack{header->streamId, header->frameId, nowUs(), 0, KVFrameAck::kDecoded};
    counters_.framesReceived += 1;
    if (header->isKeyFrame()) counters_.keyframes += 1;
    if (!header->isKeyFrame() && waitingKeyframe_) {
        ack.status = KVFrameAck::kDroppedAwaitingKeyFrame;
    } else if (!options_.decode) {
        waitingKeyframe_ = false;
        counters_.framesDecoded += 1;
    } else {
        bool decoded = false;
        if (decoder_) {
            auto out = decoder_->decode(std::span<const uint8_t>(message.payload).subspan(KVVideoFrameHeader::kSize),
                                        onPictureDecoded != nullptr);
            if (out) {
                const uint64_t decodedUs = Clock::nowUs();
                decoded = true;
                waitingKeyframe_ = false;
                counters_.framesDecoded += 1;
                decodeTotalUs_ += out.value().decodeUs;
                counters_.avgDecodeUs = double(decodeTotalUs_) / double(counters_.framesDecoded);
                if (onFrameDecoded) onFrameDecoded(header->captureUs, decodedUs);
                if (onPictureDecoded && out.value().image) onPictureDecoded(*out.value().image, header->captureUs, decodedUs);
            } else {
                log("decode failed: " + out.error().description());
            }
        }
        if (!decoded) {
            counters_.decodeErrors += 1;
            waitingKeyframe_ = true;
            if (video_) video_->send(MsgType::keyframeRequest, Wire::pod(KVKeyframeRequest{header->streamId, 0, 1}));
            ack.status = KVFrameAck::kDecodeFailed;
        }
    }
    ack.decodedUs = nowUs();
    if (video_) video_->send(MsgType::frameAck, Wire::pod(ack));
}

void FakeIPad::probeBegin(const WireMessage& message) {
    const auto begin = message.load<KVProbeBegin>();
    if (!begin) return;
    const auto sets = readParameterSets(message.payload, KVProbeBegin::kSize, begin->spsLength, begin->ppsLength);
    if (!sets) return;
    auto probe = std::make_unique<Probe>();
    probe->id = begin->probeId;
    probe->count = begin->frameCount;
    if (exceeds(options_.decodeMaxPixels, begin->width, begin->height)) {
        probe->status = kBadDataStatus;
    } else if (options_.decode) {
        auto made = H264Decoder::create(sets->sps, sets->pps);
        if (made) {
            probe->decoder = std::move(made.value());
        } else {
            // A decoder that did not start is a failure even when its status reads 0.
            probe->status = made.error().status() != 0 ? made.error().status() : -1;
        }
    }
    probe_ = std::move(probe);  // one still running is dropped without an answer
    log("PROBE_BEGIN " + sizeText(begin->width, begin->height) + " level " + std::to_string(begin->level));
}

void FakeIPad::probeFrame(const WireMessage& message) {
    const auto frame = message.load<KVProbeFrame>();
    if (!frame || !probe_ || frame->probeId != probe_->id) return;
    Probe& probe = *probe_;
    probe.received += 1;
    if (probe.status == 0) {
        if (probe.decoder) {
            auto out = probe.decoder->decode(std::span<const uint8_t>(message.payload).subspan(KVProbeFrame::kSize));
            if (out) {
                probe.decoded += 1;
                probe.totalUs += out.value().decodeUs;
                probe.maxUs = std::max(probe.maxUs, out.value().decodeUs);
                probe.outWidth = out.value().width;
                probe.outHeight = out.value().height;
            } else {
                probe.status = out.error().status() != 0 ? out.error().status() : -1;
            }
        } else if (!options_.decode) {
            probe.decoded += 1;
        }
    }
    if (probe.received != probe.count) return;
    KVProbeResult result;
    result.probeId = probe.id;
    result.status = probe.status;
    result.decoded = clampTo<uint16_t>(uint64_t(probe.decoded));
    result.outWidth = clampTo<uint16_t>(uint64_t(probe.outWidth));
    result.outHeight = clampTo<uint16_t>(uint64_t(probe.outHeight));
    result.avgDecodeUs = probe.decoded > 0 ? clampTo<uint32_t>(probe.totalUs / uint64_t(probe.decoded)) : 0;
    result.maxDecodeUs = clampTo<uint32_t>(probe.maxUs);
    if (video_) video_->send(MsgType::probeResult, Wire::pod(result));
    counters_.probesAnswered += 1;
    probe_.reset();
}

// ---- drivers ----

void FakeIPad::send(std::vector<TouchSample> touches) {
    post([touches = std::move(touches)](FakeIPad& me) mutable { me.sendTouches(std::move(touches)); });
}

void FakeIPad::sendTouches(std::vector<TouchSample> touches) {
    if (!ctrl_) return;
    ctrl_->send(MsgType::touchFrame, TouchFrame{nowUs(), std::move(touches)}.encode());
}

void FakeIPad::swipe(Point from, Point to, double seconds, int fingers, double spacing) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 3600 || fingers < 0 || fingers > 256) {
        post([seconds, fingers](FakeIPad& me) {
            me.log("swipe ignored: " + std::to_string(seconds) + " s, " + std::to_string(fingers) + " fingers");
        });
        return;
    }
    const int steps = std::max(2, static_cast<int>(seconds * 60));
    post([=](FakeIPad& me) { me.startSwipe(from, to, seconds, steps, fingers, spacing); });
}

void FakeIPad::tap(Point at) { swipe(at, at, 0.05, 1, 0.05); }

void FakeIPad::startSwipe(Point from, Point to, double seconds, int steps, int fingers, double spacing) {
    std::erase_if(swipes_, [](const auto& s) { return s->done; });
    touchId_ = static_cast<uint8_t>(touchId_ + 10);
    auto swipe = std::make_unique<Swipe>();
    swipe->timer = queue_->makeTimer();
    swipe->from = from;
    swipe->to = to;
    swipe->seconds = seconds;
    swipe->steps = steps;
    swipe->fingers = fingers;
    swipe->spacing = spacing;
    swipe->baseId = touchId_;
    swipe->startUs = queue_->nowUs();
    Swipe& s = *swipe;
    swipes_.push_back(std::move(swipe));
    swipeStep(s);
}

// Sends step `next` (the first at once, with the call) and arms the timer for the one after;
// delays are measured from the swipe's start so rounding does not add up.
void FakeIPad::swipeStep(Swipe& s) {
    const int i = s.next;
    const double frac = double(i) / s.steps;
    const TouchPhase phase = i == 0 ? TouchPhase::began : i == s.steps ? TouchPhase::ended : TouchPhase::moved;
    std::vector<TouchSample> touches;
    for (int f = 0; f < s.fingers; ++f) {
        TouchSample t;
        t.id = static_cast<uint8_t>(s.baseId + f);
        t.phase = phase;
        t.tapCount = 1;
        t.norm = Point{s.from.x + (s.to.x - s.from.x) * frac + s.spacing * f, s.from.y + (s.to.y - s.from.y) * frac};
        t.radius = 8.0;
        t.radiusTolerance = 2.0;
        touches.push_back(t);
    }
    sendTouches(std::move(touches));
    if (i == s.steps) {
        s.done = true;
        return;
    }
    s.next += 1;
    const uint64_t dueUs = s.startUs + static_cast<uint64_t>(std::llround(s.seconds * 1e6 * s.next / s.steps));
    const uint64_t now = queue_->nowUs();
    std::weak_ptr<FakeIPad> weak = weak_from_this();
    Swipe* step = &s;
    s.timer->scheduleOnce(dueUs > now ? dueUs - now : 0, [weak, step] {
        // The timer is cancelled with its swipe, so `step` is alive whenever this runs.
        if (auto self = weak.lock(); self && !self->closed_) self->swipeStep(*step);
    });
}

void FakeIPad::sendUIEvent(int item, int phase) {
    post([item, phase](FakeIPad& me) {
        if (item < 0 || item > 0xFFFF || phase < 0 || phase > 0xFF) {
            me.log("uiEvent ignored: item " + std::to_string(item) + " phase " + std::to_string(phase));
            return;
        }
        if (me.ctrl_) {
            me.ctrl_->send(MsgType::uiEvent, Wire::pod(KVUIEvent{me.nowUs(), uint16_t(item), uint8_t(phase)}));
        }
    });
}

void FakeIPad::sendText(const std::string& text) {
    post([text](FakeIPad& me) {
        if (me.ctrl_) me.ctrl_->send(MsgType::textInput, std::vector<uint8_t>(text.begin(), text.end()));
    });
}

void FakeIPad::sendAppState(int state) {
    post([state](FakeIPad& me) {
        if (state < 0 || state > 0xFF) {
            me.log("appState ignored: " + std::to_string(state));
            return;
        }
        if (me.ctrl_) me.ctrl_->send(MsgType::appState, Wire::pod(KVAppState{uint8_t(state)}));
    });
}

void FakeIPad::sendBye(const std::string& reason) {
    post([reason](FakeIPad& me) {
        if (!me.ctrl_) return;
        me.ctrl_->sendJSON(MsgType::bye, ByeMsg{reason, std::nullopt});
        me.ctrl_->close();
    });
}

void FakeIPad::sendLog(uint8_t level, const std::string& text) {
    post([level, text](FakeIPad& me) {
        if (!me.ctrl_) return;
        std::vector<uint8_t> payload = Wire::pod(KVLogHeader{level});
        payload.insert(payload.end(), text.begin(), text.end());
        me.ctrl_->send(MsgType::log, payload);
    });
}

}  // namespace kelvo
