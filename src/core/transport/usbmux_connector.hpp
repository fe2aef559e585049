#pragma once

#include <memory>

#include "core/transport/device_connector.hpp"
#include "core/transport/usbmux_client.hpp"

namespace kelvo {

// Reaches a cable-attached tablet through the daemon's tunnel. Completions arrive on the
// client's callback queue (the main queue).
class UsbmuxConnector final : public DeviceConnector {
public:
    static constexpr uint64_t defaultConnectTimeoutUs = 3'000'000;

    UsbmuxConnector(UsbmuxDevice device, std::shared_ptr<UsbmuxClient> client,
                    uint64_t connectTimeoutUs = defaultConnectTimeoutUs);

    // The device's udid.
    std::string deviceKey() const override { return device.udid; }
    std::string transportLabel() const override { return "USB"; }
    // The daemon's result 3 becomes refused; every other daemon error is failed with its text.
    void connect(uint16_t port, ConnectCompletion completion) override;
    bool isTrustedForPairing() const override { return true; }

    const UsbmuxDevice device;

private:
    std::shared_ptr<UsbmuxClient> client_;
    uint64_t connectTimeoutUs_;
};

}  // namespace kelvo
