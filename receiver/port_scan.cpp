#include "receiver/port_scan.h"

namespace orvent {
namespace {

bool Probe(SerialPacketDriver& driver, const std::string& name) {
  driver.SetPortName(name);
  if (!driver.Connect()) return false;
  driver.Disconnect();
  return true;
}

}  // namespace

PortScanResult ScanSerialPorts(SerialPacketDriver& driver, const SerialPorts& ports) {
  PortScanResult result;
  // Probing through an open port would report every number as present and
  // then close the receiver's line.
  if (driver.Connected()) return result;

  for (int i = kFirstScannedPort; i <= kLastScannedPort; ++i) {
    const std::string port = "COM" + std::to_string(i);
    if (Probe(driver, port)) result.Ports.push_back(port);
  }
  for (const std::string& path : ports.AdapterPaths()) {
    if (Probe(driver, path)) result.Ports.push_back(path);
  }
  if (!result.Ports.empty()) result.Selected = 0;
  return result;
}

}  // namespace orvent
