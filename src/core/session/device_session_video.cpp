#include "core/session/device_session.hpp"

// Placeholder until the video connection lands.

namespace kelvo {

void DeviceSession::connectVideo() {}

}  // namespace kelvo
