#pragma once

#include <termios.h>

#include <system_error>

#include "platform/serial_device.h"

namespace orvent {

// Turns `t` into a raw line with the given settings, leaving alone only
// what no setting concerns. EINVAL for a rate or character size that
// termios cannot express. The modem lines (DTR, RTS) are not in termios.
std::error_code ToTermios(const SerialLineSettings& settings, termios& t);

}  // namespace orvent
