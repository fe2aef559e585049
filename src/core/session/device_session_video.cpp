#include "core/session/device_session.hpp"

// Placeholder until the video connection lands.

namespace kelvo {

void DeviceSession::connectVideo() {}
std::optional<ProbeSelection> DeviceSession::cachedSelection(const HelloMsg&, const DeviceIdentity&) {
    return std::nullopt;
}

}  // namespace kelvo
