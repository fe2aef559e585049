#include "core/transport/secure_transport.hpp"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(SecureTransport, KeysAreFreshAndFingerprintsArePublishedDigestPrefixes) {
    auto a = SecureTransport::newKey();
    auto b = SecureTransport::newKey();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(SecureTransport::fingerprint({}), "e3b0c44298fc1c14");
    EXPECT_EQ(SecureTransport::fingerprint({'a', 'b', 'c'}), "ba7816bf8f01cfea");
}

TEST(SecureTransport, ContextsAcceptOnlyKnownSuites) {
    auto params = SecureTransport::parameters(SecureTransport::newKey(), "host", true);
    EXPECT_EQ(params.ciphersuites, (std::vector<uint16_t>{0xCCAC, 0x00A8}));
    EXPECT_TRUE(makeSecureContext(params, false));
    EXPECT_TRUE(makeSecureContext(params, true));
    params.ciphersuites = {0xC02F};  // a certificate suite: no
    EXPECT_FALSE(makeSecureContext(params, false));
    params.ciphersuites = {};
    EXPECT_FALSE(makeSecureContext(params, true));
    EXPECT_EQ(SecureTransport::negotiatedSuite(nullptr), "?");
}

}  // namespace
}  // namespace kelvo
