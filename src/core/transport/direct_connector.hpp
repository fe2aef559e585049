#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/transport/device_connector.hpp"

namespace kelvo {

// Plain TCP to a configured host (developer mode). Control and video ports are mapped to
// `ctrlPort` and `videoPort`; any other port is used as given.
class DirectConnector final : public DeviceConnector {
public:
    static constexpr uint64_t defaultConnectTimeoutUs = 2'000'000;

    // `connectQueue` waits on the connects ("kv.direct.connect"); results go to `mainQueue`.
    // Each address of the host gets `connectTimeoutUs`.
    DirectConnector(std::string host, uint16_t ctrlPort, uint16_t videoPort, std::shared_ptr<Executor> connectQueue,
                    std::shared_ptr<Executor> mainQueue, uint64_t connectTimeoutUs = defaultConnectTimeoutUs);

    // "direct:<host>:<ctrlPort>".
    std::string deviceKey() const override;
    // "TCP <host>".
    std::string transportLabel() const override;
    void connect(uint16_t port, ConnectCompletion completion) override;
    // Only for the loopback names "127.0.0.1", "localhost" and "::1" (exact spelling).
    bool isTrustedForPairing() const override;

    // The port actually dialled for `port`.
    uint16_t mappedPort(uint16_t port) const;

    const std::string host;
    const uint16_t ctrlPort;
    const uint16_t videoPort;

private:
    std::shared_ptr<Executor> connectQueue_;
    std::shared_ptr<Executor> mainQueue_;
    uint64_t connectTimeoutUs_;
};

}  // namespace kelvo
