#include "core/transport/direct_connector.hpp"

#include "core/transport/tcp.hpp"

namespace kelvo {

namespace {
constexpr uint16_t kCtrlPort = 47100;
constexpr uint16_t kVideoPort = 47101;
}  // namespace

DirectConnector::DirectConnector(std::string host_, uint16_t ctrlPort_, uint16_t videoPort_,
                                 std::shared_ptr<Executor> connectQueue, std::shared_ptr<Executor> mainQueue)
    : host(std::move(host_)), ctrlPort(ctrlPort_), videoPort(videoPort_), connectQueue_(std::move(connectQueue)),
      mainQueue_(std::move(mainQueue)) {}

std::string DirectConnector::deviceKey() const { return "direct:" + host + ":" + std::to_string(ctrlPort); }

std::string DirectConnector::transportLabel() const { return "TCP " + host; }

bool DirectConnector::isTrustedForPairing() const {
    return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

uint16_t DirectConnector::mappedPort(uint16_t port) const {
    if (port == kCtrlPort) return ctrlPort;
    if (port == kVideoPort) return videoPort;
    return port;
}

void DirectConnector::connect(uint16_t port, ConnectCompletion completion) {
    connectQueue_->post([host = host, port = mappedPort(port), mainQueue = mainQueue_,
                         completion = std::move(completion)] {
        // Shared so that the task stays copyable; an unclaimed descriptor is closed with it.
        auto result = std::make_shared<ConnectResult>(TCP::connect(host, port, connectTimeoutSeconds));
        mainQueue->post([result, completion] { completion(std::move(*result)); });
    });
}

}  // namespace kelvo
