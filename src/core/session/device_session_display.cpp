#include "core/session/device_session.hpp"

// Placeholder until the display start lands.

namespace kelvo {

void DeviceSession::requestKeyframe() {}

}  // namespace kelvo
