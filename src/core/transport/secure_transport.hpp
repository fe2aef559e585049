#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// How one secured TCP connection or listener is set up: TLS 1.2 with a pre-shared key, no
// certificates. A plain value; the owner may narrow `ciphersuites` (tests do).
struct SecureParameters {
    std::vector<uint8_t> key;        // the pre-shared key
    std::string identity;            // PSK identity: the host id of the pairing
    bool peerToPeer = true;          // a hint; Linux has no peer-to-peer Wi-Fi interfaces to allow
    std::vector<uint16_t> ciphersuites;  // offered (client) or accepted (server), in this order
};

// What both ends of a Wi-Fi link agree on. Stateless; every function is callable from any thread.
struct SecureTransport {
    static constexpr std::string_view ctrlServiceType = "_kelvo._tcp";
    static constexpr std::string_view videoServiceType = "_kelvo-video._tcp";
    static constexpr size_t keyLength = 32;
    static constexpr std::array<uint16_t, 2> ciphersuites{0xCCAC, 0x00A8};

    // 32 bytes from the secure random generator. Aborts the process if the generator fails:
    // a key that is not random must never be handed out.
    static std::vector<uint8_t> newKey();

    // The first 8 bytes of SHA-256 of `key`, as 16 lower-case hex characters.
    static std::string fingerprint(const std::vector<uint8_t>& key);

    // Parameters offering both suites, TLS 1.2 only, with this key and identity.
    static SecureParameters parameters(std::vector<uint8_t> key, std::string identity, bool peerToPeer);

    // The negotiated suite as "0xCCAC", or "?" without a finished TLS session.
    static std::string negotiatedSuite(const SSL* ssl);
};

using SslCtxPtr = std::shared_ptr<SSL_CTX>;

// An OpenSSL context for one side, pinned to TLS 1.2 with exactly the parameters' suites and the
// PSK callbacks. A server context accepts only the parameters' identity. Null when OpenSSL
// refuses the configuration (an unknown suite number, no suites).
SslCtxPtr makeSecureContext(const SecureParameters& params, bool server);

// The text of the newest OpenSSL error of this thread (clearing the queue), or `fallback`.
std::string takeSslError(std::string_view fallback);

}  // namespace kelvo
