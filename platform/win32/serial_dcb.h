#pragma once

#include <windows.h>

#include <system_error>

#include "platform/serial_device.h"

namespace orvent {

// Sets the line settings into `dcb`, leaving alone only what no setting
// concerns. ERROR_INVALID_PARAMETER for a character size outside 5..8 or no
// rate. The modem lines follow the settings when the DCB is applied.
std::error_code ToDcb(const SerialLineSettings& settings, DCB& dcb);

// The time-outs every port runs with: a read takes what waits and never
// waits for more; a write waits kSerialWriteWait for room.
COMMTIMEOUTS PortTimeouts();

}  // namespace orvent
