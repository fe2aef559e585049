#include "core/session/pairing_offer.hpp"

#include <chrono>
#include <span>

#include "core/transport/secure_transport.hpp"
#include "core/util/log.hpp"

namespace kelvo {

PairingOffer::PairingOffer(PairingStore& store, std::string deviceKey, std::string hostName, Send send)
    : store_(store), deviceKey_(std::move(deviceKey)), hostName_(std::move(hostName)), send_(std::move(send)) {}

void PairingOffer::offerIfNeeded(const HelloMsg& hello, const std::string& name) {
    if (stopped_ || pendingKey_) return;
    if (auto record = store_.record(deviceKey_)) {
        if (hello.pairing && hello.pairing->host == store_.hostID() &&
            hello.pairing->key == SecureTransport::fingerprint(record->key)) {
            return;
        }
    }
    auto key = SecureTransport::newKey();
    Log::i("pairing", "pairing " + name + " for wireless (fingerprint " + SecureTransport::fingerprint(key) + ")");
    send_(PairMsg(store_.hostID(), hostName_, std::span<const uint8_t>(key)));
    pendingKey_ = std::move(key);
}

void PairingOffer::answered(const std::optional<PairAckMsg>& answer, const std::string& name) {
    if (stopped_ || !pendingKey_) return;
    auto key = std::move(*pendingKey_);
    pendingKey_.reset();
    if (answer && answer->ok && answer->service && !answer->service->empty()) {
        PairingRecord record{deviceKey_, name, *answer->service, std::move(key), std::chrono::system_clock::now()};
        store_.save(record);
        Log::i("pairing", "paired " + record.name + " as " + record.service);
        if (onPaired) onPaired(record);
        return;
    }
    Log::w("pairing", "iPad refused pairing: " + (answer && answer->reason ? *answer->reason : "bad PAIR_ACK"));
}

void PairingOffer::withdraw() {
    if (stopped_) return;
    send_(PairMsg(store_.hostID(), hostName_, std::nullopt));
}

void PairingOffer::stop() {
    stopped_ = true;
    pendingKey_.reset();
}

}  // namespace kelvo
