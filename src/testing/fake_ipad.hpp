#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/control_messages.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/runtime/executor.hpp"
#include "core/transport/channel.hpp"
#include "core/transport/device_connector.hpp"
#include "core/transport/service_browser.hpp"
#include "core/util/expected.hpp"
#include "core/util/geometry.hpp"
#include "core/util/rect.hpp"
#include "core/input/touch_frame.hpp"
#include "core/video/pixel_buffer.hpp"

namespace kelvo {

class H264Decoder;
class SecureListener;
class TCPListener;
class Timer;

// The simulated tablet: the tablet's side of both streams on 127.0.0.1, so a host (or a test
// playing one) can be driven end to end without hardware.
//
// A host connects by plain TCP to `ctrlPort()` and `videoPort()`, as developer mode does. On
// every control connection the tablet greets with a hello, then answers pings with pongs on the
// host's clock, answers pairing offers, keeps the last config, layout, UI state, host state and
// bye it was sent and every toast, and after each helloAck reports statistics once a second. On
// the video connection it builds a decoder per stream format, acknowledges every frame (0
// decoded, 1 dropped while waiting for a key frame, 2 failed, after a key-frame request) and
// answers decode probes. After a pairing it also listens with TLS-PSK on `secureCtrlPort()` and
// `secureVideoPort()`. Everything it sees is counted in `Counters`, read with `snapshot()`.
//
// Threads: all state lives on one serial queue, "kv.fake" unless the caller gives one. Listeners,
// channels, the statistics timer and swipe steps deliver there; the secure listeners run on a
// queue of their own and hop to it. The driver operations (send, swipe, tap, ...) may be called
// from any thread and run later on the queue, in call order. snapshot(), the secure ports,
// setPairing() and close() wait for the queue, and run inline when called on it. With a manual
// queue (virtual time), call them from the test thread: they run that queue until it is idle.
// Pairing on a manual queue is not supported (the secure listeners hop from other threads).
//
// Lifecycle: make() listening → host sessions → close() (synchronous, final: listeners, timer,
// channels and secure listeners stopped; the counters stay readable) → release. Releasing it
// closes it and drains its queue: no callback of it runs after the last reference is gone.
class FakeIPad : public std::enable_shared_from_this<FakeIPad> {
public:
    struct Options {
        std::string name = "Fake iPad";
        std::string os = "12.5.7";
        int64_t build = 1;
        SizeD screenPoints{1024, 768};
        SizeD screenMillimeters{197, 148};
        // Largest width × height accepted for a stream or a probe; absent: no limit.
        std::optional<int64_t> decodeMaxPixels;
        std::optional<std::vector<HelloMsg::ProbeCacheEntry>> probeCache;
        bool decode = true;     // false: frames are counted and accepted, not decoded
        bool sendStats = true;  // one statistics report a second after each helloAck
        // Advertised name of the secure listeners; absent: not advertised.
        std::optional<std::string> serviceName;
        // Where the secure listeners advertise; needed only with a service name.
        std::shared_ptr<ServicePublisher> publisher;
        // The address the secure listeners bind: loopback, or another (a namespace's link) where
        // a host finds them through a real discovery daemon.
        std::string secureHost = "127.0.0.1";
        // How far the tablet's clock runs ahead of the host's (pong, acknowledgement times), so
        // tests can check that the host relates the clocks rather than comparing them.
        int64_t clockAheadUs = 0;
    };

    static constexpr size_t kMaxCtrlRecorded = 4096;

    struct Counters {
        int64_t sessions = 0;  // control connections accepted, plain or secure
        int64_t helloAcks = 0;
        int64_t probesAnswered = 0;
        int64_t streamFormats = 0;
        int64_t framesReceived = 0;
        int64_t framesDecoded = 0;  // or accepted while decoding is off
        int64_t keyframes = 0;
        int64_t decodeErrors = 0;  // frames that failed to decode or found no decoder
        int64_t streamStops = 0;
        std::vector<uint8_t> stopReasons;  // of every stream stop, in order
        int64_t cursorShapes = 0;
        int64_t cursorStates = 0;
        std::vector<std::string> toasts;
        std::optional<UIStateMsg> lastUIState;
        std::optional<ConfigMsg> lastConfig;
        std::optional<UILayoutMsg> lastLayout;
        std::optional<HostStateMsg> lastHostState;
        SizeD streamSize;  // of the last stream format
        std::optional<std::string> lastBye;
        std::optional<std::string> lastByeDetail;
        std::optional<HelloAckMsg> lastHelloAck;
        // The type of every control message received but pings, in order, up to kMaxCtrlRecorded.
        std::vector<MsgType> ctrlReceived;
        double avgDecodeUs = 0;  // over every real decode
        int64_t secureSessions = 0;
        int64_t rejected = 0;  // connections the secure listeners refused
        std::optional<std::string> pairedFingerprint;
        std::vector<PairAckMsg> pairAcks;

        bool operator==(const Counters&) const = default;
    };

    // Listening on 127.0.0.1 at the given ports (0: any free port), or the listener's error.
    // `queue`: the queue all state lives on; default a new "kv.fake" on the shared pool.
    static Expected<std::shared_ptr<FakeIPad>, ConnectError> make(Options options, uint16_t ctrlPort = 0,
                                                                 uint16_t videoPort = 0,
                                                                 std::shared_ptr<Executor> queue = nullptr);
    ~FakeIPad();
    FakeIPad(const FakeIPad&) = delete;
    FakeIPad& operator=(const FakeIPad&) = delete;

    // Each log line of the tablet, on the queue, whatever the log's minimum level (the log gets
    // them as debug entries tagged "fake"). Set before the host connects.
    std::function<void(const std::string&)> onLog;
    // Each frame decoded: its capture time and the decode end, on the host's clock, on the queue.
    // Set before the host connects (latency measurements).
    std::function<void(uint64_t captureUs, uint64_t decodedUs)> onFrameDecoded;
    // Each decoded picture (NV12) with its capture time and decode end on the host's clock, on the
    // queue. Setting it makes every decode keep a copy of the picture. Set before the host connects.
    std::function<void(const PixelBuffer& picture, uint64_t captureUs, uint64_t decodedUs)> onPictureDecoded;

    const Options& options() const { return options_; }
    uint16_t ctrlPort() const { return ctrlPort_; }
    uint16_t videoPort() const { return videoPort_; }
    const std::shared_ptr<Executor>& queue() const { return queue_; }
    // The tablet's clock in microseconds: the monotonic clock shifted by `clockAheadUs`. Any thread.
    uint64_t nowUs() const;

    // A copy of the counters.
    Counters snapshot();
    // Ports of the TLS-PSK listeners, 0 while there is no pairing (or they failed to start).
    uint16_t secureCtrlPort();
    uint16_t secureVideoPort();

    // Takes (or, without a key, forgets) a pairing and restarts the secure listeners for it. Any
    // key length is taken as given.
    void setPairing(const std::string& host, std::optional<std::vector<uint8_t>> key);
    // Stops listening, cancels the statistics timer and pending swipe steps, closes both channels
    // and the secure listeners. Idempotent.
    void close();

    // ---- drivers: each runs later on the queue and writes on the current control channel; with
    // no control channel it sends nothing. Out-of-range arguments are logged and ignored.

    // One touch frame stamped with the time of sending.
    void send(std::vector<TouchSample> touches);
    // max(2, trunc(60 × seconds)) + 1 frames from `from` to `to` spread over `seconds`
    // (0 ≤ seconds ≤ 3600): began, moved…, ended. `fingers` (0…256) lie `spacing` apart along x;
    // every swipe takes ids 10 above the previous one's, wrapping at 256.
    void swipe(Point from, Point to, double seconds, int fingers, double spacing);
    // A one-finger swipe in place lasting 0.05 s.
    void tap(Point at);
    // A sidebar press (phase 0), release (1) or cancel; item 0…65535, phase 0…255.
    void sendUIEvent(int item, int phase);
    // Typed text, as UTF-8.
    void sendText(const std::string& text);
    // 0 foreground, else background; 0…255.
    void sendAppState(int state);
    // A bye with this reason, then closes the control channel (and with it the video channel).
    void sendBye(const std::string& reason);
    // One line of the tablet's own log; `level` is the raw level byte (0 debug … 3 error).
    void sendLog(uint8_t level, const std::string& text);

    struct Private;
    FakeIPad(Private, Options options, std::shared_ptr<Executor> queue);

private:
    struct Probe;
    struct Swipe;

    template <class F>
    auto sync(F&& fn);
    void post(std::function<void(FakeIPad&)> work);
    void log(const std::string& line);

    void acceptCtrl(UniqueFd fd, bool trusted);
    void ctrlMessage(const WireMessage& message);
    void ctrlClosed(const Channel* closing);
    void answerPair(const WireMessage& message);
    void startStats();
    void statsTick();
    void restartSecureListeners();
    void stopSecureListeners();
    void closeOnQueue();

    void acceptVideo(UniqueFd fd);
    void videoMessage(const WireMessage& message);
    void videoClosed(const Channel* closing);
    void streamFormat(const WireMessage& message);
    void videoFrame(const WireMessage& message);
    void probeBegin(const WireMessage& message);
    void probeFrame(const WireMessage& message);

    void sendTouches(std::vector<TouchSample> touches);
    void startSwipe(Point from, Point to, double seconds, int steps, int fingers, double spacing);
    void swipeStep(Swipe& swipe);

    HelloMsg hello() const;

    const Options options_;
    const std::shared_ptr<Executor> queue_;
    std::shared_ptr<Executor> secureQueue_;
    uint16_t ctrlPort_ = 0;
    uint16_t videoPort_ = 0;

    // Confined to the queue.
    bool closed_ = false;
    std::unique_ptr<TCPListener> ctrlListener_;
    std::unique_ptr<TCPListener> videoListener_;
    std::shared_ptr<Channel> ctrl_;
    std::shared_ptr<Channel> video_;
    bool ctrlTrusted_ = false;
    Counters counters_;
    std::unique_ptr<H264Decoder> decoder_;
    uint32_t streamId_ = 0;
    bool waitingKeyframe_ = true;
    std::unique_ptr<Probe> probe_;
    std::unique_ptr<Timer> statsTimer_;
    int64_t statsPreviousDecoded_ = 0;
    uint64_t decodeTotalUs_ = 0;
    uint8_t touchId_ = 0;
    std::vector<std::unique_ptr<Swipe>> swipes_;
    struct Pairing {
        std::string host;
        std::vector<uint8_t> key;
    };
    std::optional<Pairing> pairing_;
    std::unique_ptr<SecureListener> secureCtrl_;
    std::unique_ptr<SecureListener> secureVideo_;
    uint16_t secureCtrlPort_ = 0;
    uint16_t secureVideoPort_ = 0;
};

// Closes a simulated tablet when a test's scope ends, while the queues still run: a tablet whose
// last reference goes in a late callback of its own queue as the process exits would wait on a
// pool that no longer runs.
class FakeIPadCloser {
public:
    explicit FakeIPadCloser(std::shared_ptr<FakeIPad> fake) : fake_(std::move(fake)) {}
    ~FakeIPadCloser() {
        if (fake_) fake_->close();
    }
    FakeIPadCloser(const FakeIPadCloser&) = delete;
    FakeIPadCloser& operator=(const FakeIPadCloser&) = delete;

private:
    std::shared_ptr<FakeIPad> fake_;
};

}  // namespace kelvo
