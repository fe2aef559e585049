#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/runtime/executor.hpp"
#include "core/transport/device_connector.hpp"
#include "core/transport/pairing_store.hpp"
#include "core/transport/service_browser.hpp"
#include "core/transport/wireless_browser.hpp"

namespace kelvo {

// Opens the streams of a paired tablet on Wi-Fi: resolves its advertised service (control or
// video type), connects TLS 1.2 with the pairing's key, and hands the caller a plain socket
// bridged to that TLS connection, so that a Channel works as over USB.
//
// Created, used and destroyed on the main queue. The discovery lookups, TLS and the bridges run
// on `connectQueue` ("kv.wireless.connect"). The interface the control stream became ready on
// pins the video stream and names the transport. A connection that becomes ready after its
// connector is gone is closed and reported as "cancelled". Discovery is held weakly: its owner
// stops and releases it on the main queue (releasing Avahi on a connect queue would wait there
// for its poll thread), and a connect that finds it gone fails.
class WirelessConnector final : public DeviceConnector {
public:
    static constexpr uint64_t connectTimeoutUs = 5'000'000;
    static constexpr uint64_t retryDelayUs = 500'000;  // between lookups that found nothing usable

    WirelessConnector(PairingRecord record, std::string hostID, WirelessLink link,
                      std::optional<std::string> directInterface, std::weak_ptr<ServiceBrowser> discovery,
                      std::shared_ptr<Executor> connectQueue, std::shared_ptr<Executor> mainQueue);
    ~WirelessConnector() override;

    std::string deviceKey() const override { return record_.udid; }
    // "Direct" once the control stream is up on a peer-to-peer interface, else "Wi‑Fi".
    std::string transportLabel() const override;
    // Port 47101 opens the video service, any other the control service. Fails only with
    // ConnectError::failed: "timeout" (after 5 s), "TLS: …", "path is <if>, not peer-to-peer",
    // "socketpair failed", "cancelled", "discovery stopped" (a lookup found discovery gone), or
    // the socket's error.
    void connect(uint16_t port, ConnectCompletion completion) override;

    // "Direct" for a peer-to-peer interface name, else "Wi‑Fi" (with a non-breaking hyphen).
    static std::string label(std::string_view interfaceName);

    // The interface the control stream reached the ready state on (main queue).
    std::optional<std::string> interfaceName() const;

    struct Shared;
    class Attempt;

private:
    PairingRecord record_;
    std::string hostID_;
    WirelessLink link_;
    std::weak_ptr<ServiceBrowser> discovery_;
    std::shared_ptr<Executor> connectQueue_;
    std::shared_ptr<Executor> main_;
    std::shared_ptr<Shared> shared_;  // what attempts may update while the connector lives
};

}  // namespace kelvo
