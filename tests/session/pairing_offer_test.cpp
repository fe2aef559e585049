// The pairing offer alone: when it offers, what an answer stores, and stop.
#include "core/session/pairing_offer.hpp"

#include <gtest/gtest.h>

#include "core/transport/secure_transport.hpp"
#include "core/util/base64.hpp"

namespace kelvo {
namespace {

struct OfferRig {
    PairingStore store{std::nullopt};
    std::vector<PairMsg> sent;
    std::vector<PairingRecord> paired;
    PairingOffer offer{store, "udid-1", "Test Host", [this](const PairMsg& m) { sent.push_back(m); }};

    OfferRig() {
        offer.onPaired = [this](const PairingRecord& r) { paired.push_back(r); };
    }
    // A greeting that shows the tablet holding `key` from this host (none: no pairing shown).
    HelloMsg hello(const std::optional<std::vector<uint8_t>>& key, std::string host = "") const {
        HelloMsg h;
        if (key) h.pairing = HelloMsg::Pairing{host.empty() ? store.hostID() : host, SecureTransport::fingerprint(*key)};
        return h;
    }
};

TEST(PairingOfferTest, OffersOnlyWhenTheTabletLacksTheStoredKey) {
    const auto stored = SecureTransport::newKey();
    struct Case {
        const char* name;
        bool record;
        std::optional<std::vector<uint8_t>> shown;
        std::string host;
        size_t offers;
    };
    const std::vector<Case> cases{
        {"no record", false, std::nullopt, "", 1},
        {"holds the stored key", true, stored, "", 0},
        {"holds an older key", true, SecureTransport::newKey(), "", 1},
        {"key of another host", true, stored, "other-host", 1},
        {"shows a key we have no record of", false, stored, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OfferRig rig;
        if (c.record) rig.store.save({"udid-1", "Tab", "svc", stored, std::chrono::system_clock::now()});
        rig.offer.offerIfNeeded(rig.hello(c.shown, c.host), "Tab");
        rig.offer.offerIfNeeded(rig.hello(c.shown, c.host), "Tab");  // never a second while one is out
        ASSERT_EQ(rig.sent.size(), c.offers);
        if (!c.offers) continue;
        EXPECT_EQ(rig.sent[0].host, rig.store.hostID());
        EXPECT_EQ(rig.sent[0].name, "Test Host");
        ASSERT_TRUE(rig.sent[0].psk);
        EXPECT_EQ(base64Decode(*rig.sent[0].psk)->size(), 32u);
    }
}

// The kinds of answer are the session's pairing test; here the record and what follows it.
TEST(PairingOfferTest, ATakenKeyIsStoredOnceAndNotOfferedAgain) {
    OfferRig rig;
    rig.offer.answered(PairAckMsg{true, "svc-1", std::nullopt}, "Tab");  // nothing outstanding
    EXPECT_FALSE(rig.store.record("udid-1"));
    rig.offer.offerIfNeeded(rig.hello(std::nullopt), "Tab");
    rig.offer.answered(PairAckMsg{true, "svc-1", std::nullopt}, "Tab");
    rig.offer.answered(PairAckMsg{true, "svc-2", std::nullopt}, "Tab");  // answered already
    const auto record = rig.store.record("udid-1");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->service, "svc-1");
    EXPECT_EQ(std::optional(record->key), base64Decode(*rig.sent[0].psk));
    EXPECT_EQ(rig.paired, std::vector<PairingRecord>{*record});
    rig.offer.offerIfNeeded(rig.hello(record->key), "Tab");
    EXPECT_EQ(rig.sent.size(), 1u);
}

TEST(PairingOfferTest, WithdrawAndStop) {
    OfferRig rig;
    rig.offer.withdraw();
    ASSERT_EQ(rig.sent.size(), 1u);
    EXPECT_FALSE(rig.sent[0].psk);
    EXPECT_EQ(rig.sent[0].host, rig.store.hostID());

    rig.offer.offerIfNeeded(rig.hello(std::nullopt), "Tab");
    rig.offer.stop();
    rig.offer.answered(PairAckMsg{true, "svc", std::nullopt}, "Tab");
    rig.offer.offerIfNeeded(rig.hello(std::nullopt), "Tab");
    rig.offer.withdraw();
    EXPECT_EQ(rig.sent.size(), 2u);
    EXPECT_FALSE(rig.store.record("udid-1"));
    EXPECT_TRUE(rig.paired.empty());
}

}  // namespace
}  // namespace kelvo
