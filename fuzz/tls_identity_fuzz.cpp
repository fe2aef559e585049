// The TLS server's identity check: a real client offers an identity from the input to a server
// context that knows one host, both in memory; one byte of what the client sends may be altered
// on the way (identity lengths included). The handshake completes only for the host's identity
// and key, sent unaltered.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/transport/secure_transport.hpp"

namespace {

using namespace kelvo;

const std::vector<uint8_t> kKey(32, 0x5A);
const std::string kHost = "3f2c8a10-7d4e-4b1a-9c55-0e6f7a8b9c0d";

using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

// Moves what `from` wrote into `to`, altering the byte at `flipAt` (counted over the whole
// conversation) with `mask`. Returns how many bytes moved.
size_t carry(BIO* from, BIO* to, size_t& offset, size_t flipAt, uint8_t mask) {
    uint8_t chunk[4096];
    size_t moved = 0;
    int n;
    while ((n = BIO_read(from, chunk, sizeof chunk)) > 0) {
        for (int i = 0; i < n; ++i, ++offset)
            if (offset == flipAt) chunk[i] ^= mask;
        BIO_write(to, chunk, n);
        moved += static_cast<size_t>(n);
    }
    return moved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const SslCtxPtr server = makeSecureContext(SecureTransport::parameters(kKey, kHost, false), true);
    if (!server) abort();
    if (size < 4) return 0;
    const size_t flipAt = size_t(data[0]) << 8 | data[1];
    const uint8_t mask = data[2];
    const bool wrongKey = data[3] & 1;
    const std::string identity(reinterpret_cast<const char*>(data + 4), size - 4);

    std::vector<uint8_t> key = kKey;
    if (wrongKey) key[0] ^= 1;
    const SslCtxPtr client = makeSecureContext(SecureTransport::parameters(key, identity, false), false);
    if (!client) abort();

    SslPtr c(SSL_new(client.get()), SSL_free);
    SslPtr s(SSL_new(server.get()), SSL_free);
    if (!c || !s) abort();
    BIO* cIn = BIO_new(BIO_s_mem());
    BIO* cOut = BIO_new(BIO_s_mem());
    BIO* sIn = BIO_new(BIO_s_mem());
    BIO* sOut = BIO_new(BIO_s_mem());
    SSL_set_bio(c.get(), cIn, cOut);
    SSL_set_bio(s.get(), sIn, sOut);
    SSL_set_connect_state(c.get());
    SSL_set_accept_state(s.get());

    size_t clientBytes = 0;
    size_t serverBytes = 0;
    for (int round = 0; round < 16; ++round) {
        SSL_do_handshake(c.get());
        const size_t toServer = carry(cOut, sIn, clientBytes, mask ? flipAt : SIZE_MAX, mask);
        SSL_do_handshake(s.get());
        const size_t toClient = carry(sOut, cIn, serverBytes, SIZE_MAX, 0);
        if (toServer == 0 && toClient == 0) break;
    }
    const bool serverDone = SSL_is_init_finished(s.get());
    // The callback compares the identity as a C string: the client sends it up to its first NUL.
    // The client offers nothing for an identity longer than OpenSSL allows, whatever its C string.
    const bool rightHost = identity.size() <= PSK_MAX_IDENTITY_LEN && identity.substr(0, identity.find('\0')) == kHost;
    if (serverDone && (wrongKey || !rightHost)) abort();
    if (!mask && !wrongKey && rightHost && !serverDone) abort();
    ERR_clear_error();
    return 0;
}
