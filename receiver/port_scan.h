#pragma once

#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"

namespace orvent {

// The ports that opened: "COMn" entries in number order, then the adapter
// device paths; the first entry is selected (-1 when none opened).
struct PortScanResult {
  std::vector<std::string> Ports;
  int Selected = -1;
};

// Probes COM1..COM32 (kFirstScannedPort..kLastScannedPort) and then the
// ports the system lists beyond them (the USB and ACM adapters on Linux) with
// the driver: each port is opened (exclusively, with the driver's line
// settings) and closed again at once, and listed when it opened. A busy port
// is not listed. The driver's port must be closed; an open port is left
// alone and the result is empty. Leaves PortName at the last name probed.
PortScanResult ScanSerialPorts(SerialPacketDriver& driver, const SerialPorts& ports);

}  // namespace orvent
