#include "core/transport/channel.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "core/protocol/wire.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {

// Pieces handed to one sendmsg: header and payload of several frames leave in one call.
constexpr size_t kMaxIov = 64;

size_t payloadLength(const Channel::Parts& parts) {
    size_t n = 0;
    for (const auto& p : parts) n += p.size();
    return n;
}

std::string hexByte(uint8_t b) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

}  // namespace

void SocketOptions::apply(int fd) const {
    setNonBlocking(fd);
    if (noDelay) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    if (bufferSize) {
        int size = *bufferSize;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

std::string ChannelError::description() const {
    switch (kind_) {
        case Kind::io: return "I/O error: " + std::string(std::strerror(errno_));
        case Kind::protocolError: return "protocol error: " + text_;
        case Kind::backlog: return "send backlog too large (" + std::to_string(bytes_) + " bytes)";
        case Kind::eof: return "connection closed by peer";
    }
    return "channel error";
}

std::shared_ptr<Channel> Channel::create(UniqueFd fd, std::string name, std::shared_ptr<Executor> queue,
                                         SocketOptions options) {
    options.apply(fd.get());
    return std::shared_ptr<Channel>(new Channel(std::move(fd), std::move(name), std::move(queue)));
}

Channel::Channel(UniqueFd fd, std::string name, std::shared_ptr<Executor> queue)
    : name_(std::move(name)), queue_(std::move(queue)), fd_(std::move(fd)) {}

Channel::~Channel() {
    if (watch_) {
        watch_.reset();
        releaseDescriptor();
    }
}

void Channel::start() {
    if (queue_->isCurrent()) {
        startOnQueue();
    } else {
        queue_->post([self = shared_from_this()] { self->startOnQueue(); });
    }
}

bool Channel::send(MsgType type, std::vector<uint8_t> payload) {
    Parts parts;
    parts.push_back(std::move(payload));
    return send(rawValue(type), std::move(parts));
}

bool Channel::send(MsgType type, Parts parts) { return send(rawValue(type), std::move(parts)); }

bool Channel::send(uint8_t rawType, Parts parts) {
    const size_t length = payloadLength(parts);
    if (length > Wire::maxPayload) {
        Log::e("chan", name_ + ": refusing frame type " + hexByte(rawType) + ": " +
                           WireError::tooLarge(length).description());
        return false;
    }
    if (queue_->isCurrent()) {
        enqueue(rawType, std::move(parts), length);
    } else {
        queue_->post([self = shared_from_this(), rawType, parts = std::move(parts), length]() mutable {
            self->enqueue(rawType, std::move(parts), length);
        });
    }
    return true;
}

void Channel::whenWritten(Task done) {
    if (queue_->isCurrent()) {
        addWriteWaiter(std::move(done));
    } else {
        queue_->post([self = shared_from_this(), done = std::move(done)]() mutable {
            self->addWriteWaiter(std::move(done));
        });
    }
}

void Channel::readAvailable() {
    auto read = [self = shared_from_this()] {
        if (self->started_ && !self->isClosed()) self->handleReadable();
    };
    if (queue_->isCurrent()) {
        read();
    } else {
        queue_->post(std::move(read));
    }
}

void Channel::close(std::optional<ChannelError> error) {
    if (queue_->isCurrent()) {
        closeOnQueue(std::move(error));
    } else {
        queue_->post([self = shared_from_this(), error = std::move(error)] { self->closeOnQueue(error); });
    }
}

void Channel::startOnQueue() {
    if (started_ || isClosed()) return;
    started_ = true;
    watch_ = queue_->watchFd(fd_.get());
    if (!watch_) {
        // Nothing would ever report readiness: fail now rather than hang (or dereference null).
        closeOnQueue(ChannelError::io(EBADF));
        return;
    }
    armRead();
    flush();
}

void Channel::armRead() {
    std::weak_ptr<Channel> weak = weak_from_this();
    watch_->waitReadable([weak] {
        auto self = weak.lock();
        if (!self || self->isClosed()) return;
        self->handleReadable();
        if (!self->isClosed()) self->armRead();
    });
}

void Channel::armWrite() {
    writeArmed_ = true;
    std::weak_ptr<Channel> weak = weak_from_this();
    watch_->waitWritable([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->writeArmed_ = false;
        self->flush();
    });
}

void Channel::handleReadable() {
    if (!readBuffer_) readBuffer_ = std::make_unique<uint8_t[]>(readChunk);
    size_t total = 0;
    while (total < maxReadPerEvent) {
        ssize_t n = ::read(fd_.get(), readBuffer_.get(), readChunk);
        if (n == 0) {
            deliverMessages();
            closeOnQueue(ChannelError::eof());
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            // Whole messages read before the error (a peer's last words before a reset) still count.
            const int error = errno;
            deliverMessages();
            closeOnQueue(ChannelError::io(error));
            return;
        }
        total += static_cast<size_t>(n);
        bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        parser_.append(std::span<const uint8_t>(readBuffer_.get(), static_cast<size_t>(n)));
        if (static_cast<size_t>(n) < readChunk) break;
    }
    deliverMessages();
}

void Channel::deliverMessages() {
    while (!isClosed()) {
        auto next = parser_.next();
        if (!next) {
            closeOnQueue(ChannelError::protocolError(next.error().description()));
            return;
        }
        if (!next.value()) return;
        WireMessage& message = *next.value();
        if (message.seq != static_cast<uint32_t>(lastRecvSeq_ + 1)) {
            Log::w("chan", name_ + ": seq jump " + std::to_string(lastRecvSeq_) + " \u2192 " +
                               std::to_string(message.seq));
        }
        lastRecvSeq_ = message.seq;
        if (onMessage) {
            ++callbackDepth_;
            onMessage(std::move(message));
            callbackReturned();
        }
    }
}

void Channel::enqueue(uint8_t rawType, Parts parts, size_t length) {
    if (isClosed()) return;
    ++sendSeq_;  // wraps: the first frame carries 1
    const Wire::Header header = Wire::header(rawType, static_cast<uint32_t>(length), sendSeq_);
    pending_.emplace_back(header.begin(), header.end());
    bytesQueuedTotal_ += Wire::headerSize + length;
    int64_t queued = queuedBytes_.load(std::memory_order_relaxed) + static_cast<int64_t>(Wire::headerSize);
    for (auto& part : parts) {
        if (part.empty()) continue;
        queued += static_cast<int64_t>(part.size());
        pending_.push_back(std::move(part));
    }
    queuedBytes_.store(queued, std::memory_order_relaxed);
    if (queued > maxQueuedBytes()) {
        closeOnQueue(ChannelError::backlog(queued));
        return;
    }
    if (started_ && !writeArmed_) flush();
}

void Channel::flush() {
    if (isClosed()) return;
    while (!pending_.empty()) {
        iovec iov[kMaxIov];
        size_t count = 0;
        for (auto it = pending_.begin(); it != pending_.end() && count < kMaxIov; ++it, ++count) {
            size_t skip = count == 0 ? pendingOffset_ : 0;
            iov[count].iov_base = it->data() + skip;
            iov[count].iov_len = it->size() - skip;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        ssize_t n = ::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL);
        if (n > 0) {
            bytesSent_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            queuedBytes_.fetch_sub(n, std::memory_order_relaxed);
            size_t left = static_cast<size_t>(n);
            while (left > 0) {
                size_t rest = pending_.front().size() - pendingOffset_;
                if (left < rest) {
                    pendingOffset_ += left;
                    break;
                }
                left -= rest;
                pending_.pop_front();
                pendingOffset_ = 0;
            }
            continue;
        }
        if (n == 0) {
            closeOnQueue(ChannelError::eof());
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (watch_ && !writeArmed_) armWrite();
            notifyWritten();
            return;
        }
        closeOnQueue(ChannelError::io(errno));
        return;
    }
    notifyWritten();
    if (onDrain && !isClosed()) {
        ++callbackDepth_;
        onDrain();
        callbackReturned();
    }
}

void Channel::addWriteWaiter(Task done) {
    if (isClosed()) return;
    if (bytesSent() >= bytesQueuedTotal_) {
        done();
        return;
    }
    writeWaiters_.emplace_back(bytesQueuedTotal_, std::move(done));
}

void Channel::notifyWritten() {
    // Taken out first: a waiter may send (and so flush) or close.
    std::vector<Task> due;
    while (!writeWaiters_.empty() && writeWaiters_.front().first <= bytesSent()) {
        due.push_back(std::move(writeWaiters_.front().second));
        writeWaiters_.pop_front();
    }
    for (auto& task : due) {
        if (isClosed()) return;  // an earlier waiter closed: the rest are dropped, as on any close
        task();
    }
}

namespace {
// Closing a socket with unread bytes makes the kernel reset the connection, and a reset makes the
// peer drop what it has not read yet: the last messages we sent (a bye) would be lost. Bounded, so
// a peer that keeps sending cannot hold the close.
void discardUnread(int fd) {
    uint8_t sink[0x4000];
    for (size_t total = 0; total < 0x100000;) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) return;
        total += static_cast<size_t>(n);
    }
}
}  // namespace

void Channel::closeOnQueue(std::optional<ChannelError> error) {
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    if (fd_) discardUnread(fd_.get());
    if (watch_) {
        watch_.reset();
        releaseDescriptor();
    } else {
        fd_.reset();
    }
    pending_.clear();
    pendingOffset_ = 0;
    queuedBytes_.store(0, std::memory_order_relaxed);
    writeWaiters_.clear();
    auto closed = std::move(onClose);
    onClose = nullptr;
    // A closure that is running (it may be the one closing) is released once it returns.
    if (callbackDepth_ == 0) {
        onMessage = nullptr;
        onDrain = nullptr;
    }
    if (closed) closed(std::move(error));
}

void Channel::callbackReturned() {
    if (--callbackDepth_ == 0 && isClosed()) {
        onMessage = nullptr;
        onDrain = nullptr;
    }
}

// The watch may still be finishing a readiness callback on the queue; closing after it lets the
// watch deregister the descriptor before its number can be reused.
void Channel::releaseDescriptor() {
    if (!fd_) return;
    queue_->post([fd = std::make_shared<UniqueFd>(std::move(fd_))] {});
}

}  // namespace kelvo
