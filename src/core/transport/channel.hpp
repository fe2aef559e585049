#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/frame_parser.hpp"
#include "core/protocol/msg_type.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// How a channel's socket is configured when the channel is made.
struct SocketOptions {
    bool noDelay = true;
    std::optional<int> bufferSize;  // SO_SNDBUF and SO_RCVBUF, bytes

    static const SocketOptions ctrl;   // no delay, system buffers
    static const SocketOptions video;  // no delay, 2 MiB buffers

    // Non-blocking, TCP_NODELAY, buffer sizes. Failures of the individual calls are ignored.
    void apply(int fd) const;
};

inline const SocketOptions SocketOptions::ctrl{true, std::nullopt};
inline const SocketOptions SocketOptions::video{true, 0x200000};

// Why a channel closed.
class ChannelError {
public:
    enum class Kind { io, protocolError, backlog, eof };

    static ChannelError io(int err) { return ChannelError(Kind::io, err, {}, 0); }
    static ChannelError protocolError(std::string text) { return ChannelError(Kind::protocolError, 0, std::move(text), 0); }
    static ChannelError backlog(int64_t queuedBytes) { return ChannelError(Kind::backlog, 0, {}, queuedBytes); }
    static ChannelError eof() { return ChannelError(Kind::eof, 0, {}, 0); }

    Kind kind() const { return kind_; }
    int errnoValue() const { return errno_; }
    int64_t queuedBytes() const { return bytes_; }
    // "I/O error: <strerror>", "protocol error: <text>",
    // "send backlog too large (<n> bytes)", "connection closed by peer".
    std::string description() const;
    bool operator==(const ChannelError&) const = default;

private:
    ChannelError(Kind kind, int err, std::string text, int64_t bytes)
        : kind_(kind), errno_(err), text_(std::move(text)), bytes_(bytes) {}
    Kind kind_;
    int errno_;
    std::string text_;
    int64_t bytes_;
};

// Framed messages over one connected stream socket, confined to its owner's serial queue.
//
// Every callback runs on that queue. start(), send() and close() run inline when called on it
// and hop to it otherwise, so frames sent from one thread keep their order, and a send made on
// the queue is queued (and written as far as the socket takes it) before send() returns.
// Set the closures before start() or on the queue.
//
// Lifecycle: create (options applied, nothing read or written) → start() → close() (once; the
// descriptor is released and onClose runs with the first reason). Frames sent before start()
// go out when it runs. Destroying an open channel releases the descriptor without calling back.
class Channel : public std::enable_shared_from_this<Channel> {
public:
    using Parts = std::vector<std::vector<uint8_t>>;

    static constexpr int64_t defaultMaxQueuedBytes = 0x3000000;  // 48 MiB
    static constexpr size_t readChunk = 0x40000;                  // one read
    static constexpr size_t maxReadPerEvent = 0x400000;           // then deliver and yield

    // Takes a connected socket; applies `options` at once.
    static std::shared_ptr<Channel> create(UniqueFd fd, std::string name, std::shared_ptr<Executor> queue,
                                           SocketOptions options);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Each received message, in order.
    std::function<void(WireMessage)> onMessage;
    // Once, when the channel closes: the error that closed it, or nullopt for a local close().
    std::function<void(std::optional<ChannelError>)> onClose;
    // Each time everything queued has been written.
    std::function<void()> onDrain;

    const std::string& name() const { return name_; }
    const std::shared_ptr<Executor>& queue() const { return queue_; }

    // Starts reading and writing. Idempotent; does nothing after close(). A descriptor the queue
    // cannot watch closes the channel with an I/O error (EBADF).
    void start();

    // Queues one frame whose payload is the parts joined (empty parts add nothing). Returns
    // false, logs and queues nothing when the payload exceeds the protocol's 8 MiB limit (the
    // peer would close the stream on it). A closed channel drops the frame and returns true.
    // When the queue passes maxQueuedBytes the channel closes with backlog. Any thread.
    bool send(uint8_t rawType, Parts parts);
    bool send(MsgType type, std::vector<uint8_t> payload);
    bool send(MsgType type, Parts parts);
    // Encodes `value` with Wire::json on the calling thread and sends it as the one part.
    template <class T>
    bool sendJSON(MsgType type, const T& value) {
        return send(type, Wire::json(value));
    }

    // Runs `done` on the queue once every frame queued before this call has been written to the
    // socket (handed to the kernel): inline when nothing is left to write. Never, if the channel
    // closes first. Any thread: from another it is posted like send(), after that thread's frames.
    void whenWritten(Task done);

    // Reads and delivers what has already arrived, without waiting for the queue's next readiness
    // report: a peer's last messages before its other stream ended. Started channels only; on the
    // channel's queue at once, from other threads posted.
    void readAvailable();

    // Closes once: unsent data is dropped, the descriptor released, onClose called with `error`.
    // Later closes are ignored. Any thread.
    void close(std::optional<ChannelError> error = std::nullopt);

    // Counters; exact when read on the queue.
    uint64_t bytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
    uint64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    int64_t queuedBytes() const { return queuedBytes_.load(std::memory_order_relaxed); }
    bool isClosed() const { return closed_.load(std::memory_order_acquire); }
    int64_t maxQueuedBytes() const { return maxQueuedBytes_.load(std::memory_order_relaxed); }
    void setMaxQueuedBytes(int64_t bytes) { maxQueuedBytes_.store(bytes, std::memory_order_relaxed); }

private:
    Channel(UniqueFd fd, std::string name, std::shared_ptr<Executor> queue);

    void startOnQueue();
    void enqueue(uint8_t rawType, Parts parts, size_t length);
    void closeOnQueue(std::optional<ChannelError> error);
    void armRead();
    void armWrite();
    void handleReadable();
    void deliverMessages();
    void flush();
    void addWriteWaiter(Task done);
    void notifyWritten();
    void releaseDescriptor();
    void callbackReturned();

    const std::string name_;
    const std::shared_ptr<Executor> queue_;

    // Confined to the queue.
    UniqueFd fd_;
    std::unique_ptr<FdWatch> watch_;
    FrameParser parser_;
    std::unique_ptr<uint8_t[]> readBuffer_;
    std::deque<std::vector<uint8_t>> pending_;  // header, then each non-empty part
    size_t pendingOffset_ = 0;                   // bytes of pending_.front() already written
    uint64_t bytesQueuedTotal_ = 0;             // every byte ever queued; bytesSent_ catches up
    std::deque<std::pair<uint64_t, Task>> writeWaiters_;  // whenWritten: run once bytesSent_ reaches the mark
    uint32_t sendSeq_ = 0;
    uint32_t lastRecvSeq_ = 0;
    bool started_ = false;
    bool writeArmed_ = false;
    int callbackDepth_ = 0;  // onMessage/onDrain running: their closures are released after

    std::atomic<bool> closed_{false};
    std::atomic<uint64_t> bytesSent_{0};
    std::atomic<uint64_t> bytesReceived_{0};
    std::atomic<int64_t> queuedBytes_{0};
    std::atomic<int64_t> maxQueuedBytes_{defaultMaxQueuedBytes};
};

}  // namespace kelvo
