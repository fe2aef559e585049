#include "core/session/device_session.hpp"

// Placeholder until tablet mapping on the session lands.

namespace kelvo {

void DeviceSession::setInputMode(InputMode) {}
void DeviceSession::inputModeChanged(InputMode) {}

}  // namespace kelvo
