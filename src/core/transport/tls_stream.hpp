#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

// One TCP connection carrying TLS: the non-blocking socket and the OpenSSL session on it.
struct TlsStream {
    UniqueFd socket;
    SslPtr ssl;

    // A session for `socket` (made non-blocking here) on the given side, or nullopt when OpenSSL
    // cannot make one.
    static std::optional<TlsStream> make(UniqueFd socket, const SslCtxPtr& ctx, bool server);
};

// Why a handshake ended without a session. `tls` is true for failures of TLS itself (alerts,
// a wrong key or identity, a peer that hangs up mid-handshake), false for socket errors.
struct TlsFailure {
    bool tls = true;
    std::string text;
};

// Runs the TLS handshake of one stream on `executor`, driven by readiness of its socket.
// `done` runs there exactly once with the finished stream or the failure, unless cancel() ran
// first. The handshake keeps itself alive until then.
class TlsHandshake : public std::enable_shared_from_this<TlsHandshake> {
public:
    using Done = std::function<void(std::optional<TlsStream> stream, TlsFailure failure)>;

    // Must be called on `executor`.
    static std::shared_ptr<TlsHandshake> start(TlsStream stream, std::shared_ptr<Executor> executor, Done done);

    // On the executor: abandons the handshake and closes the socket; `done` is never called.
    void cancel();

    TlsHandshake(TlsStream stream, std::shared_ptr<Executor> executor, Done done);

private:
    void step();
    void finish(std::optional<TlsStream> stream, TlsFailure failure);

    TlsStream stream_;
    std::shared_ptr<Executor> executor_;
    std::unique_ptr<FdWatch> watch_;
    Done done_;
    std::shared_ptr<TlsHandshake> self_;  // held while the handshake runs
};

}  // namespace kelvo
