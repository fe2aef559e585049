#include "core/transport/direct_connector.hpp"

#include "core/protocol/wire.hpp"
#include "core/transport/tcp.hpp"

namespace kelvo {

DirectConnector::DirectConnector(std::string host_, uint16_t ctrlPort_, uint16_t videoPort_,
                                 std::shared_ptr<Executor> connectQueue, std::shared_ptr<Executor> mainQueue,
                                 uint64_t connectTimeoutUs)
    : host(std::move(host_)), ctrlPort(ctrlPort_), videoPort(videoPort_), connectQueue_(std::move(connectQueue)),
      mainQueue_(std::move(mainQueue)), connectTimeoutUs_(connectTimeoutUs) {}

std::string DirectConnector::deviceKey() const { return "direct:" + host + ":" + std::to_string(ctrlPort); }

std::string DirectConnector::transportLabel() const { return "TCP " + host; }

bool DirectConnector::isTrustedForPairing() const {
    return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

uint16_t DirectConnector::mappedPort(uint16_t port) const {
    if (port == Wire::ctrlPort) return ctrlPort;
    if (port == Wire::videoPort) return videoPort;
    return port;
}

void DirectConnector::connect(uint16_t port, ConnectCompletion completion) {
    TCP::connect(host, mappedPort(port), connectTimeoutUs_, connectQueue_,
                 [mainQueue = mainQueue_, completion = std::move(completion)](ConnectResult result) {
                     // Shared so that the task stays copyable; an unclaimed descriptor is closed with it.
                     auto held = std::make_shared<ConnectResult>(std::move(result));
                     mainQueue->post([held, completion] { completion(std::move(*held)); });
                 });
}

}  // namespace kelvo
