#include "core/transport/socket_bridge.hpp"

#include <errno.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace kelvo {

namespace {

constexpr size_t kReadChunk = 262'144;     // taken from the pair per read
constexpr size_t kReceiveMax = 1'048'576;  // taken from the network before it is written out
constexpr int kPairBuffer = 1'048'576;

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

UniqueFd SocketBridge::attach(TlsStream stream, std::shared_ptr<Executor> executor) {
    // Called from a handshake's readiness callback: a stream that cannot be bridged is closed
    // only after that callback, like every other socket a watch may still hold.
    auto drop = [&] {
        stream.ssl.reset();
        closeAfterCallback(*executor, std::move(stream.socket));
        return UniqueFd();
    };
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return drop();
    UniqueFd callerEnd(fds[0]);
    UniqueFd bridgeEnd(fds[1]);
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kPairBuffer, sizeof kPairBuffer);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kPairBuffer, sizeof kPairBuffer);
    }
    if (!setNonBlocking(bridgeEnd.get())) return drop();
    auto bridge = std::make_shared<SocketBridge>(std::move(stream), std::move(bridgeEnd), executor);
    executor->post([bridge] { bridge->start(); });
    return callerEnd;
}

SocketBridge::SocketBridge(TlsStream stream, UniqueFd pairEnd, std::shared_ptr<Executor> executor)
    : stream_(std::move(stream)), pair_(std::move(pairEnd)), executor_(std::move(executor)) {
    ++live_;
}

SocketBridge::~SocketBridge() {
    // Watches go before the descriptors they watch.
    netWatch_.reset();
    pairWatch_.reset();
    --live_;
}

void SocketBridge::start() {
    self_ = shared_from_this();
    netWatch_ = executor_->watchFd(stream_.socket.get());
    pairWatch_ = executor_->watchFd(pair_.get());
    lingerTimer_ = executor_->makeTimer();
    if (!netWatch_ || !pairWatch_) {
        finish();
        return;
    }
    inbound_.resize(kReceiveMax);
    outbound_.resize(kReadChunk);
    pump();
}

void SocketBridge::pump() {
    if (phase_ != Phase::running) return;
    Wants wants;
    bool progress = true;
    while (progress) {
        progress = false;
        wants = {};
        if (!pumpNetworkToPair(wants, progress)) return;
        if (!pumpPairToNetwork(wants, progress)) return;
    }
    arm(wants);
}

bool SocketBridge::pumpNetworkToPair(Wants& wants, bool& progress) {
    // Everything received is written into the pair before more is taken from the network, so a
    // caller that stops reading stops the network too.
    while (inboundOffset_ < inboundLen_) {
        ssize_t n = send(pair_.get(), inbound_.data() + inboundOffset_, inboundLen_ - inboundOffset_, MSG_NOSIGNAL);
        if (n > 0) {
            inboundOffset_ += static_cast<size_t>(n);
            progress = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno)) {
            wants.pairWrite = true;
            return true;
        } else {
            finish();  // the caller's end is gone
            return false;
        }
    }
    inboundLen_ = 0;
    inboundOffset_ = 0;
    if (peerDone_) {
        beginClose();
        return false;
    }
    while (inboundLen_ < kReceiveMax) {
        ERR_clear_error();
        int room = static_cast<int>(std::min<size_t>(kReceiveMax - inboundLen_, INT_MAX));
        int r = SSL_read(stream_.ssl.get(), inbound_.data() + inboundLen_, room);
        if (r > 0) {
            inboundLen_ += static_cast<size_t>(r);
            progress = true;
            continue;
        }
        switch (SSL_get_error(stream_.ssl.get(), r)) {
            case SSL_ERROR_WANT_READ: wants.netRead = true; return true;
            case SSL_ERROR_WANT_WRITE: wants.netWrite = true; return true;
            case SSL_ERROR_ZERO_RETURN:
                peerDone_ = true;
                progress = true;
                return true;
            default: finish(); return false;
        }
    }
    return true;
}

bool SocketBridge::pumpPairToNetwork(Wants& wants, bool& progress) {
    if (outboundOffset_ == outboundLen_ && !localDone_) {
        ssize_t n = read(pair_.get(), outbound_.data(), outbound_.size());
        if (n > 0) {
            outboundLen_ = static_cast<size_t>(n);
            outboundOffset_ = 0;
            progress = true;
        } else if (n == 0) {
            localDone_ = true;
            progress = true;
        } else if (errno == EINTR) {
            progress = true;
        } else if (wouldBlock(errno)) {
            wants.pairRead = true;
        } else {
            finish();
            return false;
        }
    }
    while (outboundOffset_ < outboundLen_) {
        ERR_clear_error();
        int r = SSL_write(stream_.ssl.get(), outbound_.data() + outboundOffset_,
                          static_cast<int>(outboundLen_ - outboundOffset_));
        if (r > 0) {
            outboundOffset_ += static_cast<size_t>(r);
            progress = true;
            continue;
        }
        switch (SSL_get_error(stream_.ssl.get(), r)) {
            case SSL_ERROR_WANT_WRITE: wants.netWrite = true; return true;
            case SSL_ERROR_WANT_READ: wants.netRead = true; return true;
            default: finish(); return false;
        }
    }
    if (localDone_) {
        // The caller hung up after its last bytes: those are with TLS now; end politely.
        beginClose();
        return false;
    }
    return true;
}

void SocketBridge::arm(const Wants& wants) {
    std::weak_ptr<SocketBridge> weak = weak_from_this();
    auto on = [weak](bool SocketBridge::Wants::*flag) {
        return [weak, flag] {
            auto self = weak.lock();
            if (!self) return;
            self->armed_.*flag = false;
            self->onReady();
        };
    };
    if (wants.netRead && !armed_.netRead) {
        armed_.netRead = true;
        netWatch_->waitReadable(on(&Wants::netRead));
    }
    if (wants.netWrite && !armed_.netWrite) {
        armed_.netWrite = true;
        netWatch_->waitWritable(on(&Wants::netWrite));
    }
    if (wants.pairRead && !armed_.pairRead && pairWatch_) {
        armed_.pairRead = true;
        pairWatch_->waitReadable(on(&Wants::pairRead));
    }
    if (wants.pairWrite && !armed_.pairWrite && pairWatch_) {
        armed_.pairWrite = true;
        pairWatch_->waitWritable(on(&Wants::pairWrite));
    }
}

void SocketBridge::onReady() {
    switch (phase_) {
        case Phase::running: pump(); return;
        case Phase::sendingClose: shutdownStep(); return;
        case Phase::draining: drainStep(); return;
        case Phase::closed: return;
    }
}

void SocketBridge::beginClose() {
    phase_ = Phase::sendingClose;
    // What is already in the pair stays readable for the caller, followed by end-of-file.
    pairWatch_.reset();
    closeAfterCallback(*executor_, std::move(pair_));
    armed_.pairRead = armed_.pairWrite = false;
    shutdownStep();
}

void SocketBridge::shutdownStep() {
    ERR_clear_error();
    int r = SSL_shutdown(stream_.ssl.get());
    if (r >= 0) {
        // close_notify is out; a FIN follows it once the kernel has sent everything before it.
        ::shutdown(stream_.socket.get(), SHUT_WR);
        if (peerDone_ || r == 1) {
            finish();
            return;
        }
        // Closing with unread bytes would reset the connection and could throw away what we
        // still have in flight, so wait (bounded) for the peer to end too.
        phase_ = Phase::draining;
        std::weak_ptr<SocketBridge> weak = weak_from_this();
        lingerTimer_->scheduleOnce(kLingerUs, [weak] {
            if (auto self = weak.lock()) self->finish();
        });
        drainStep();
        return;
    }
    Wants wants;
    switch (SSL_get_error(stream_.ssl.get(), r)) {
        case SSL_ERROR_WANT_WRITE: wants.netWrite = true; break;
        case SSL_ERROR_WANT_READ: wants.netRead = true; break;
        default: finish(); return;
    }
    arm(wants);
}

void SocketBridge::drainStep() {
    char scratch[16'384];
    for (;;) {
        ssize_t n = read(stream_.socket.get(), scratch, sizeof scratch);
        if (n > 0) continue;  // nobody is left to read it
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && wouldBlock(errno)) {
            Wants wants;
            wants.netRead = true;
            arm(wants);
            return;
        }
        finish();
        return;
    }
}

void SocketBridge::finish() {
    if (phase_ == Phase::closed) return;
    phase_ = Phase::closed;
    if (lingerTimer_) lingerTimer_->cancel();
    netWatch_.reset();
    pairWatch_.reset();
    closeAfterCallback(*executor_, std::move(pair_));
    stream_.ssl.reset();
    closeAfterCallback(*executor_, std::move(stream_.socket));
    // Every entry point holds its own reference, so this never destroys the bridge mid-call.
    self_.reset();
}

}  // namespace kelvo
