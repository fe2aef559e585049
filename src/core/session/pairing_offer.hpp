#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/handshake_messages.hpp"
#include "core/transport/pairing_store.hpp"

namespace kelvo {

// A session's pairing with one tablet for Wi-Fi: offers a new pre-shared key when the tablet's
// greeting shows it lacks the one stored for it, stores the key with the service name the tablet
// answers, and withdraws the pairing on request. At most one offer is outstanding; an answer
// with none outstanding is ignored.
// Main queue; no timers and no threads. stop() is final: no offer, answer or withdrawal after it.
class PairingOffer {
public:
    using Send = std::function<void(const PairMsg&)>;

    // `deviceKey`: the tablet's key in the store; `hostName`: the name the tablet shows for us.
    PairingOffer(PairingStore& store, std::string deviceKey, std::string hostName, Send send);

    // Offers a key unless one is outstanding or `hello` carries this host's id and the
    // fingerprint of the key stored for the tablet. `name`: the tablet's, for the log.
    void offerIfNeeded(const HelloMsg& hello, const std::string& name);
    // The tablet's answer (nullopt: not readable). Saves the record (`name` in it) when the
    // tablet took the key and named its service, and reports it; logs a refusal.
    void answered(const std::optional<PairAckMsg>& answer, const std::string& name);
    // Asks the tablet to forget this host's key.
    void withdraw();
    void stop();

    // A record saved after the tablet took the key.
    std::function<void(const PairingRecord&)> onPaired;

private:
    PairingStore& store_;
    const std::string deviceKey_;
    const std::string hostName_;
    Send send_;
    std::optional<std::vector<uint8_t>> pendingKey_;
    bool stopped_ = false;
};

}  // namespace kelvo
