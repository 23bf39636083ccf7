#pragma once

#include <chrono>
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

// What the serial packet driver needs of the operating system: a port opened
// with its line settings, reads of what waits, bounded writes, DTR, and
// something the event loop can wait on. Each platform maps it onto its own
// calls (termios and ioctl, the communications API of Windows); what only one
// platform knows of (queue sizes, time-out tables) stays in its own file.
// Every call answers with an error code translated where the OS reported it,
// compared against std::errc conditions; none throws.

enum class SerialParity { None, Odd, Even, Mark, Space };
enum class SerialStopBits { One, OneAndHalf, Two };
// How RTS is driven: held low, held high, by the handshake (sending then
// waits for CTS), or raised only while sending.
enum class SerialRts { Off, On, Handshake, Toggle };

// One complete set of line settings, applied as a whole when a port opens.
// Input parity is never checked: a damaged byte reaches the decoder, which
// judges the whole message.
struct SerialLineSettings {
  std::uint32_t baud_rate = 9600;
  std::uint8_t data_bits = 8;  // 5..8
  SerialParity parity = SerialParity::None;
  SerialStopBits stop_bits = SerialStopBits::One;
  bool dtr_on = true;
  SerialRts rts = SerialRts::On;
  bool xon_xoff = false;  // XON/XOFF (DC1/DC3) handshake both ways
};

// How long a write waits for room in the output queue before it gives back
// what it took: short, because it holds the main thread.
inline constexpr std::chrono::milliseconds kSerialWriteWait{10};

// Bytes that wait in the port's queues: received and not read yet, written
// and not sent yet.
struct SerialQueues {
  std::size_t to_read = 0;
  std::size_t to_send = 0;
};

// One open port, held exclusively, its line set and its queues emptied at
// the opening. Closing it (destruction) drops whatever still waits in its
// queues, without waiting for a stalled line, and gives back the line
// settings it found.
class SerialDevice {
public:
  virtual ~SerialDevice() = default;

  // Fails when the port is gone (an adapter unplugged).
  virtual std::error_code Queued(SerialQueues& queues) = 0;
  // Reads at most `size` bytes without waiting; `count` is what arrived
  // (0 when none waits).
  virtual std::error_code Read(std::uint8_t* buffer, std::size_t size, std::size_t& count) = 0;
  // Writes at most `size` bytes, waiting no longer than kSerialWriteWait for
  // room; `count` is what the device took, 0 when it found none.
  virtual std::error_code Write(const std::uint8_t* data, std::size_t size, std::size_t& count) = 0;
  // Lines that have no modem lines (pseudo-terminals) refuse.
  virtual std::error_code SetDtr(bool on) = 0;
  // What an event loop can wait on for bytes to read; none for a device
  // that must be polled.
  virtual std::optional<NativeWaitHandle> WaitHandle() const { return std::nullopt; }
};

// The short name by which a port-state notice tells ports apart: a "COMn"
// name stays as it is; a device path, once its links are followed, is
// "COMn" for `device_dir`/ttyS(n-1) and otherwise its path below /dev/
// without a leading "tty" ("USB0", "ACM1", "pts/3"). The notice cuts it to
// 6 characters. Any other name is given back unchanged. A leading "\\.\" is
// dropped first; on Windows that is all there is to it.
std::string SerialNoticeName(std::string_view name, std::string_view device_dir);

// Port numbers that the port scan probes by name ("COMn"), in this order.
inline constexpr int kFirstScannedPort = 1;
inline constexpr int kLastScannedPort = 32;

// The namespace of serial ports: which names exist and open. The driver and
// the port scan reach devices only through it, so tests can stand in for it.
// Who owns a device and who may use it, as the system says: what the
// operator needs to mend a refusal of rights.
struct DeviceAccess {
  bool Known = false;            // the device could be looked at
  bool CharacterDevice = false;  // a device at all, not a plain file
  std::string Owner;
  std::string Group;
  unsigned Mode = 0;             // the permission bits, 0644 and the like
  std::string User;              // who the program runs as
  bool UserInGroup = false;      // in this process, which a new membership reaches only at the next login
};

class SerialPorts {
public:
  virtual ~SerialPorts() = default;

  // Opens a port by name ("COM3", or a device path; an optional "\\.\" in
  // front is the Windows device namespace and is ignored) exclusively, for
  // reading and writing, with the given line. Null with `error` set when it
  // cannot be opened, also when another opener holds it or the line cannot
  // take the settings (then it is closed again, as it was found).
  virtual std::unique_ptr<SerialDevice> Open(std::string_view name, const SerialLineSettings& settings,
                                             std::error_code& error) = 0;

  // The ports present now that the scan of COM1..COM32 does not reach: on
  // Linux the device paths of the USB and ACM serial adapters, each kind in
  // number order; on Windows the "COMn" ports the system lists above COM32,
  // in number order.
  virtual std::vector<std::string> AdapterPaths() const = 0;

  // The short name by which a port-state notice tells this port apart from
  // others (SerialNoticeName); the name itself unless a platform says otherwise.
  virtual std::string NoticeName(std::string_view name) const { return std::string(name); }

  // SerialDeviceAccess for the port under `name`.
  virtual DeviceAccess Access(std::string_view) const { return {}; }
};

// The ports of this machine. `device_dir` is the folder in which port names
// are looked up on Linux (tests point it at a folder of links to
// pseudo-terminals); Windows has one device namespace and ignores it.
class SystemSerialPorts final : public SerialPorts {
public:
  SystemSerialPorts();
  explicit SystemSerialPorts(std::string device_dir);

  std::unique_ptr<SerialDevice> Open(std::string_view name, const SerialLineSettings& settings,
                                     std::error_code& error) override;
  std::vector<std::string> AdapterPaths() const override;
  std::string NoticeName(std::string_view name) const override { return SerialNoticeName(name, device_dir_); }
  DeviceAccess Access(std::string_view name) const override;

private:
  std::string device_dir_;
};

// The device path for a port name on this platform; the one place where a
// port name becomes a device. On Linux "COMn" (any case, n from 1) is
// `device_dir`/ttyS(n-1), a name starting with "/" is used as it is, with or
// without a leading "\\.\". On Windows "COMn" (any case) is "\\.\COMn", and
// any other name after "\\.\" is that device. Nothing for any other name.
std::optional<std::string> SerialDeviceLocation(std::string_view name, std::string_view device_dir);


// Who may use the device at `device_path`, for the words that follow a
// refusal of rights (on Linux; nothing is known elsewhere).
DeviceAccess SerialDeviceAccess(const std::string& device_path);

}  // namespace orvent
