#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/event_loop.h"

namespace orvent {

// What the serial packet driver needs of the operating system, one call per
// service so that each platform maps it onto its own calls (termios and ioctl
// here, the communications API of Windows later). Every call answers with an
// error code translated where the OS reported it; none throws.

enum class SerialParity { None, Odd, Even, Mark, Space };
enum class SerialStopBits { One, OneAndHalf, Two };
// How RTS is driven: held low, held high, by the receiver's handshake, or
// raised only while sending.
enum class SerialRts { Off, On, Handshake, Toggle };

// One complete set of line settings, applied as a whole.
struct SerialLineSettings {
  std::uint32_t baud_rate = 9600;
  std::uint8_t data_bits = 8;  // 5..8
  SerialParity parity = SerialParity::None;
  SerialStopBits stop_bits = SerialStopBits::One;
  bool dtr_on = true;
  SerialRts rts = SerialRts::On;
  bool cts_flow = false;  // sending waits for CTS
  bool xon_xoff = false;  // XON/XOFF handshake both ways
  std::uint32_t xon_limit = 0;
  std::uint32_t xoff_limit = 0;
  std::uint8_t xon_char = 17;
  std::uint8_t xoff_char = 19;
};

// Read and write time-outs in milliseconds, as the driver asks for them.
struct SerialTimeouts {
  std::uint32_t read_interval = 0;
  std::uint32_t read_total_multiplier = 0;
  std::uint32_t read_total_constant = 0;
  std::uint32_t write_total_multiplier = 0;
  std::uint32_t write_total_constant = 0;
};

// Bytes waiting in the input queue and not yet sent from the output queue.
struct SerialQueueStatus {
  std::uint32_t in_queue = 0;
  std::uint32_t out_queue = 0;
};

// The modem status lines.
struct SerialModemLines {
  bool cts = false;
  bool dsr = false;
  bool ring = false;
  bool rlsd = false;  // carrier detect

  bool AnyActive() const { return cts || dsr || ring || rlsd; }
};

// One open port, held exclusively. Closing it (destruction) gives back the
// line settings it found and drops whatever still waits in its queues.
class SerialDevice {
public:
  virtual ~SerialDevice() = default;

  virtual std::error_code ApplySettings(const SerialLineSettings& settings) = 0;
  // Drops what waits in the input and/or the output queue.
  virtual std::error_code Purge(bool input, bool output) = 0;
  // Asks for queue sizes; a platform whose queues are fixed succeeds without effect.
  virtual std::error_code SetQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
  virtual std::error_code SetTimeouts(const SerialTimeouts& timeouts) = 0;
  // Clears the line's error state and reports the queue counts.
  virtual std::error_code QueryStatus(SerialQueueStatus& status) = 0;
  // Reads at most `size` bytes; `count` is what arrived (0 when none waits).
  virtual std::error_code Read(std::uint8_t* buffer, std::size_t size, std::size_t& count) = 0;
  // Writes at most `size` bytes, waiting no longer than the write time-out for
  // room; `count` is what the device took.
  virtual std::error_code Write(const std::uint8_t* data, std::size_t size, std::size_t& count) = 0;
  virtual std::error_code SetDtr(bool on) = 0;
  virtual std::error_code ModemStatus(SerialModemLines& lines) = 0;
  // What an event loop can wait on for bytes to read; none for a device
  // that must be polled.
  virtual std::optional<NativeWaitHandle> WaitHandle() const { return std::nullopt; }
};

std::string SerialNoticeName(std::string_view name, std::string_view device_dir);

// Port numbers that the port scan probes by name ("COMn"), in this order.
inline constexpr int kFirstScannedPort = 1;
inline constexpr int kLastScannedPort = 32;

// The namespace of serial ports: which names exist and open. The driver and
// the port scan reach devices only through it, so tests can stand in for it.
class SerialPorts {
public:
  virtual ~SerialPorts() = default;

  // Opens a port by name ("COM3", or a device path; an optional "\\.\" in
  // front is the Windows device namespace and is ignored) exclusively, for
  // reading and writing. Null with `error` set when it cannot be opened,
  // also when another opener holds it.
  virtual std::unique_ptr<SerialDevice> Open(std::string_view name, std::error_code& error) = 0;

  // The ports present now that the scan of COM1..COM32 does not reach: on
  // Linux the device paths of the USB and ACM serial adapters, each kind in
  // number order; on Windows the "COMn" ports the system lists above COM32,
  // in number order.
  virtual std::vector<std::string> AdapterPaths() const = 0;

  // The short name by which a port-state notice tells this port apart from
  // others (SerialNoticeName); the name itself unless a platform says otherwise.
  virtual std::string NoticeName(std::string_view name) const { return std::string(name); }
};

// The ports of this machine. `device_dir` is the folder in which port names
// are looked up on Linux (tests point it at a folder of links to
// pseudo-terminals); Windows has one device namespace and ignores it.
class SystemSerialPorts final : public SerialPorts {
public:
  SystemSerialPorts();
  explicit SystemSerialPorts(std::string device_dir);

  std::unique_ptr<SerialDevice> Open(std::string_view name, std::error_code& error) override;
  std::vector<std::string> AdapterPaths() const override;
  std::string NoticeName(std::string_view name) const override { return SerialNoticeName(name, device_dir_); }

private:
  std::string device_dir_;
};

// The device path for a port name on this platform; the one place where a
// port name becomes a device. On Linux "COMn" (any case, n from 1) is
// `device_dir`/ttyS(n-1), a name starting with "/" is used as it is, with or
// without a leading "\\.\". On Windows "COMn" (any case) is "\\.\COMn", and
// any other name after "\\.\" is that device. Nothing for any other name.
std::optional<std::string> SerialDeviceLocation(std::string_view name, std::string_view device_dir);

// The short name by which a port-state notice tells ports apart: a "COMn"
// name stays as it is; a device path, once its links are followed, is
// "COMn" for `device_dir`/ttyS(n-1) and otherwise its path below /dev/
// without a leading "tty" ("USB0", "ACM1", "pts/3"). The notice cuts it to
// 6 characters. Any other name is given back unchanged. A leading "\\.\" is
// dropped first; on Windows that is all there is to it.
std::string SerialNoticeName(std::string_view name, std::string_view device_dir);

// What the person at the station can do about a port the system will not
// open for lack of rights, to follow "нет прав на устройство"; empty where
// there is nothing to add.
std::string_view SerialPermissionAdvice();

}  // namespace orvent
