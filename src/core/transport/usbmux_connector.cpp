#include "core/transport/usbmux_connector.hpp"

namespace kelvo {

UsbmuxConnector::UsbmuxConnector(UsbmuxDevice device_, std::shared_ptr<UsbmuxClient> client,
                                 uint64_t connectTimeoutUs)
    : device(std::move(device_)), client_(std::move(client)), connectTimeoutUs_(connectTimeoutUs) {}

void UsbmuxConnector::connect(uint16_t port, ConnectCompletion completion) {
    client_->connect(device.deviceID, port, connectTimeoutUs_,
                     [completion = std::move(completion)](UsbmuxClient::ConnectResult result) {
                         if (result) {
                             completion(std::move(result).value());
                         } else if (result.error().isRefused()) {
                             completion(ConnectError::refused());
                         } else {
                             completion(ConnectError::failed(result.error().description()));
                         }
                     });
}

}  // namespace kelvo
