#include "core/transport/tls_stream.hpp"

#include <errno.h>
#include <openssl/err.h>

#include <csignal>
#include <cstring>
#include <mutex>

namespace kelvo {

std::optional<TlsStream> TlsStream::make(UniqueFd socket, const SslCtxPtr& ctx, bool server) {
    if (!socket || !ctx) return std::nullopt;
    // OpenSSL writes sockets with write(2), which raises SIGPIPE on a reset peer; the process
    // wants EPIPE instead.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { std::signal(SIGPIPE, SIG_IGN); });
    if (!setNonBlocking(socket.get())) return std::nullopt;
    SslPtr ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    // A peer that vanishes without close_notify still has its authenticated bytes delivered.
    SSL_set_options(ssl.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (server) {
        SSL_set_accept_state(ssl.get());
    } else {
        SSL_set_connect_state(ssl.get());
    }
    return TlsStream{std::move(socket), std::move(ssl)};
}

TlsHandshake::TlsHandshake(TlsStream stream, std::shared_ptr<Executor> executor, Done done)
    : stream_(std::move(stream)), executor_(std::move(executor)), done_(std::move(done)) {}

std::shared_ptr<TlsHandshake> TlsHandshake::start(TlsStream stream, std::shared_ptr<Executor> executor, Done done) {
    auto hs = std::make_shared<TlsHandshake>(std::move(stream), executor, std::move(done));
    hs->watch_ = executor->watchFd(hs->stream_.socket.get());
    hs->self_ = hs;
    // Never calls back before the caller has the handle.
    std::weak_ptr<TlsHandshake> weak = hs;
    executor->post([weak] {
        if (auto self = weak.lock()) self->step();
    });
    return hs;
}

void TlsHandshake::cancel() {
    if (!self_) return;
    done_ = nullptr;
    watch_.reset();
    stream_.ssl.reset();
    closeAfterCallback(*executor_, std::move(stream_.socket));
    self_.reset();  // may destroy this; nothing follows
}

void TlsHandshake::step() {
    if (!self_) return;
    ERR_clear_error();
    errno = 0;
    int r = SSL_do_handshake(stream_.ssl.get());
    if (r == 1) {
        finish(std::move(stream_), {});
        return;
    }
    int err = SSL_get_error(stream_.ssl.get(), r);
    std::weak_ptr<TlsHandshake> weak = weak_from_this();
    auto again = [weak] {
        if (auto self = weak.lock()) self->step();
    };
    if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && !watch_) {
        // Nobody would ever report the socket ready again.
        finish(std::nullopt, {false, "socket cannot be watched"});
        return;
    }
    switch (err) {
        case SSL_ERROR_WANT_READ: watch_->waitReadable(again); return;
        case SSL_ERROR_WANT_WRITE: watch_->waitWritable(again); return;
        case SSL_ERROR_SYSCALL:
            if (errno != 0) {
                finish(std::nullopt, {false, std::strerror(errno)});
                return;
            }
            [[fallthrough]];
        case SSL_ERROR_ZERO_RETURN:
            // A peer hanging up mid-handshake lands here: ignoring unexpected end of stream
            // makes OpenSSL report it as an orderly close.
            finish(std::nullopt, {true, takeSslError("connection closed during handshake")});
            return;
        default: finish(std::nullopt, {true, takeSslError("handshake failed")}); return;
    }
}

void TlsHandshake::finish(std::optional<TlsStream> stream, TlsFailure failure) {
    auto keep = std::move(self_);
    watch_.reset();
    if (!stream) {
        stream_.ssl.reset();
        closeAfterCallback(*executor_, std::move(stream_.socket));
    }
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done(std::move(stream), std::move(failure));
}

}  // namespace kelvo
