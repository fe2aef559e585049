#include "core/transport/secure_transport.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/util/hex_string.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {

// OpenSSL's name of each suite we know; any other number is refused.
const char* suiteName(uint16_t suite) {
    switch (suite) {
        case 0xCCAC: return "ECDHE-PSK-CHACHA20-POLY1305";
        case 0x00A8: return "PSK-AES128-GCM-SHA256";
    }
    return nullptr;
}

struct PskData {
    std::vector<uint8_t> key;
    std::string identity;
};

// The context owns its PSK data through ex_data, so that SSL objects that outlive our handle on
// the context still find it.
int pskIndex() {
    static const int index = SSL_CTX_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<PskData*>(ptr);
        });
    return index;
}

const PskData* pskOf(SSL* ssl) {
    return static_cast<const PskData*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), pskIndex()));
}

unsigned int clientPsk(SSL* ssl, const char*, char* identity, unsigned int maxIdentityLen, unsigned char* psk,
                       unsigned int maxPskLen) {
    const PskData* data = pskOf(ssl);
    if (!data || data->identity.size() > maxIdentityLen || data->key.size() > maxPskLen) return 0;
    // `identity` has room for maxIdentityLen bytes plus the terminating zero.
    std::memcpy(identity, data->identity.c_str(), data->identity.size() + 1);
    std::memcpy(psk, data->key.data(), data->key.size());
    return static_cast<unsigned int>(data->key.size());
}

unsigned int serverPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPskLen) {
    const PskData* data = pskOf(ssl);
    // Another host's identity is refused outright: the handshake ends with unknown_psk_identity.
    if (!data || !identity || data->identity != identity || data->key.size() > maxPskLen) return 0;
    std::memcpy(psk, data->key.data(), data->key.size());
    return static_cast<unsigned int>(data->key.size());
}

}  // namespace

std::vector<uint8_t> SecureTransport::newKey() {
    std::vector<uint8_t> key(keyLength);
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        Log::e("pairing", "secure random generator failed");
        std::abort();
    }
    return key;
}

std::string SecureTransport::fingerprint(const std::vector<uint8_t>& key) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(key.data(), key.size(), digest, &size, EVP_sha256(), nullptr) != 1 || size < 8) {
        // SHA-256 of a byte string cannot fail short of a broken library.
        Log::e("pairing", "SHA-256 failed");
        std::abort();
    }
    return hexString(std::span<const uint8_t>(digest, 8));
}

SecureParameters SecureTransport::parameters(std::vector<uint8_t> key, std::string identity, bool peerToPeer) {
    return SecureParameters{std::move(key), std::move(identity), peerToPeer,
                            std::vector<uint16_t>(ciphersuites.begin(), ciphersuites.end())};
}

std::string SecureTransport::negotiatedSuite(const SSL* ssl) {
    if (!ssl || !SSL_is_init_finished(ssl)) return "?";
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (!cipher) return "?";
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(SSL_CIPHER_get_protocol_id(cipher) & 0xFFFF));
    return text;
}

SslCtxPtr makeSecureContext(const SecureParameters& params, bool server) {
    std::string list;
    for (uint16_t suite : params.ciphersuites) {
        const char* name = suiteName(suite);
        if (!name) return nullptr;
        if (!list.empty()) list += ':';
        list += name;
    }
    if (list.empty()) return nullptr;

    SslCtxPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), SSL_CTX_free);
    if (!ctx) return nullptr;
    SSL_CTX* c = ctx.get();
    if (SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) != 1 || SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(c, list.c_str()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // The bridge retries a blocked write with whatever is left of its buffer.
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_ex_data(c, pskIndex(), new PskData{params.key, params.identity});
    if (server) {
        SSL_CTX_set_psk_server_callback(c, serverPsk);
    } else {
        SSL_CTX_set_psk_client_callback(c, clientPsk);
    }
    return ctx;
}

std::string takeSslError(std::string_view fallback) {
    unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0) return std::string(fallback);
    const char* reason = ERR_reason_error_string(first);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    return text;
}

}  // namespace kelvo
