#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/serial_device.h"
#include "platform/serial_names.h"
#include "platform/win32/serial_dcb.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {
namespace {

// The queues asked of the port's driver, as large as the packet driver's
// receive buffer: 2048 bytes are two seconds of the 9600 bit/s line, far
// more than arrives between two polls, and an ACK is one byte. Some drivers
// keep queues of their own size instead.
constexpr DWORD kInputQueueSize = 2048;
constexpr DWORD kOutputQueueSize = 2048;
// With XON/XOFF the port asks the receiver to stop when the input queue has
// only a quarter left, and to go on when it holds no more than a quarter.
constexpr WORD kXonXoffLimit = kInputQueueSize / 4;
// The handshake's characters, DC1 and DC3.
constexpr char kXon = 17;
constexpr char kXoff = 19;

}  // namespace

std::error_code ToDcb(const SerialLineSettings& s, DCB& dcb) {
  if (s.baud_rate == 0 || s.data_bits < 5 || s.data_bits > 8) return Win32Error(ERROR_INVALID_PARAMETER);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = s.baud_rate;
  dcb.ByteSize = s.data_bits;
  dcb.fBinary = TRUE;
  // Parity is never checked on input, whatever is sent, as on Linux: a
  // damaged byte reaches the decoder, which judges the whole message.
  dcb.fParity = FALSE;
  switch (s.parity) {
    case SerialParity::None:
      dcb.Parity = NOPARITY;
      break;
    case SerialParity::Odd:
      dcb.Parity = ODDPARITY;
      break;
    case SerialParity::Even:
      dcb.Parity = EVENPARITY;
      break;
    case SerialParity::Mark:
      dcb.Parity = MARKPARITY;
      break;
    case SerialParity::Space:
      dcb.Parity = SPACEPARITY;
      break;
  }
  // A UART has one "long stop" setting: one and a half bits with 5-bit
  // characters, two with longer ones. Windows refuses the other pairings, so
  // either choice becomes what the UART would send, as termios has it.
  if (s.stop_bits == SerialStopBits::One) {
    dcb.StopBits = ONESTOPBIT;
  } else {
    dcb.StopBits = s.data_bits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  dcb.fOutxCtsFlow = s.rts == SerialRts::Handshake ? TRUE : FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = s.dtr_on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  switch (s.rts) {
    case SerialRts::Off:
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case SerialRts::On:
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case SerialRts::Handshake:
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case SerialRts::Toggle:
      dcb.fRtsControl = RTS_CONTROL_TOGGLE;
      break;
  }
  dcb.fOutX = s.xon_xoff ? TRUE : FALSE;
  dcb.fInX = s.xon_xoff ? TRUE : FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.XonLim = kXonXoffLimit;
  dcb.XoffLim = kXonXoffLimit;
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  // Nothing is replaced or dropped on the way in, and a line error must not
  // stop reading until somebody clears it: the poll clears it anyway.
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  return {};
}

COMMTIMEOUTS PortTimeouts() {
  COMMTIMEOUTS t{};
  // MAXDWORD, 0, 0: a read returns at once with what waits, also nothing.
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  // A write waits a fixed time for room, as on Linux; a per-byte part would
  // let a long write hold the main thread.
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = static_cast<DWORD>(kSerialWriteWait.count());
  return t;
}

namespace {

class Win32SerialDevice final : public SerialDevice {
public:
  Win32SerialDevice(HANDLE handle, const DCB& saved_state, const COMMTIMEOUTS& saved_timeouts)
      : handle_(handle), saved_state_(saved_state), saved_timeouts_(saved_timeouts) {}

  ~Win32SerialDevice() override {
    // Dropping unsent output first keeps the close from waiting for a
    // stalled line to drain, which would freeze the main thread.
    ::PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    ::SetCommTimeouts(handle_, &saved_timeouts_);
    ::SetCommState(handle_, &saved_state_);
    ::CloseHandle(handle_);
  }

  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  // Sets the time-outs and the line and empties the queues of what came or
  // waited before. The time-outs come first: the previous owner's could let
  // a read or a write wait for ever.
  std::error_code Configure(const SerialLineSettings& s) {
    COMMTIMEOUTS timeouts = PortTimeouts();
    if (!::SetCommTimeouts(handle_, &timeouts)) return LastWin32Error();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) return LastWin32Error();
    if (const std::error_code e = ToDcb(s, dcb)) return e;
    // The DCB carries DTR and RTS too; a line without modem lines (Wine on
    // a pseudo-terminal) takes it all the same.
    if (!::SetCommState(handle_, &dcb)) return LastWin32Error();
    if (!::PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR)) {
      return LastWin32Error();
    }
    if (!::SetupComm(handle_, kInputQueueSize, kOutputQueueSize)) {
      // Some adapters' drivers keep queues of their own size and refuse to
      // be asked; their port works as well as any.
      const DWORD code = ::GetLastError();
      if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) return Win32Error(code);
    }
    return {};
  }

  // No handle for the event loop: the driver polls every PollingDelay ms.
  // An overlapped WaitCommEvent(EV_RXCHAR) would wake on arrival on Windows,
  // but under Wine the wait ends at once (ERROR_OPERATION_ABORTED) on a line
  // whose modem lines cannot be read, as a pseudo-terminal's cannot: the
  // handle would be signalled with nothing to read and the loop would spin.
  // What the tests can show is what ships, and a 20 ms poll costs nothing.
  std::optional<NativeWaitHandle> WaitHandle() const override { return std::nullopt; }

  // ClearCommError is the call that gives the queues' counts; that it also
  // clears a line error (a framing or an overrun) is what keeps a port with
  // such an error readable on every driver.
  std::error_code Queued(SerialQueues& queues) override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handle_, &errors, &stat)) return LastWin32Error();
    queues.to_read = stat.cbInQue;
    queues.to_send = stat.cbOutQue;
    return {};
  }

  std::error_code Read(std::uint8_t* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    if (!::ReadFile(handle_, buffer, wanted, &got, nullptr)) return LastWin32Error();
    count = got;
    return {};
  }

  std::error_code Write(const std::uint8_t* data, std::size_t size, std::size_t& count) override {
    count = 0;
    DWORD put = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    // The write time-out (kSerialWriteWait) ends a write that finds no room
    // with what it took.
    if (!::WriteFile(handle_, data, wanted, &put, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_TIMEOUT && code != ERROR_SEM_TIMEOUT) return Win32Error(code);
    }
    count = put;
    return {};
  }

  std::error_code SetDtr(bool on) override {
    if (!::EscapeCommFunction(handle_, on ? SETDTR : CLRDTR)) return LastWin32Error();
    return {};
  }

private:
  const HANDLE handle_;
  // Given back at close; the calls that take them are not const-correct.
  DCB saved_state_;
  COMMTIMEOUTS saved_timeouts_;
};

// Whether the system knows `name` ("COM3") as a device, whoever holds it.
bool DeviceNameExists(std::string_view name) {
  wchar_t target[512];
  return ::QueryDosDeviceW(Widen(name).c_str(), target, static_cast<DWORD>(std::size(target))) != 0;
}

// Why a port did not open. Windows refuses a COM port that another program
// holds with ERROR_ACCESS_DENIED, not with a sharing violation; ports are
// open to every user, so a port the system knows and refuses is taken to be
// busy, and the status line says so. A refused name the system does not know
// (Wine's ports are links to Unix devices, which it does not list) stays a
// question of rights.
std::error_code OpenError(DWORD code, std::string_view name) {
  if (code == ERROR_ACCESS_DENIED && DeviceNameExists(name)) return Win32Error(ERROR_BUSY);
  return Win32Error(code);
}

}  // namespace

std::optional<std::string> SerialDeviceLocation(std::string_view name, std::string_view) {
  const std::string_view bare = WithoutDevicePrefix(name);
  if (const std::optional<unsigned> n = ComPortNumber(bare)) {
    return std::string(kWindowsDevicePrefix) + "COM" + std::to_string(*n);
  }
  // Any other device, by its name in the device namespace.
  if (bare.size() < name.size() && !bare.empty()) return std::string(name);
  return std::nullopt;
}

std::string SerialNoticeName(std::string_view name, std::string_view) { return std::string(WithoutDevicePrefix(name)); }

// Windows has no group that grants the ports; a port it knows but refuses
// is reported busy, so this is a device the system itself shuts off.
DeviceAccess SerialDeviceAccess(const std::string&) { return {}; }

DeviceAccess SystemSerialPorts::Access(std::string_view) const { return {}; }

SystemSerialPorts::SystemSerialPorts() = default;

SystemSerialPorts::SystemSerialPorts(std::string device_dir) : device_dir_(std::move(device_dir)) {}

std::unique_ptr<SerialDevice> SystemSerialPorts::Open(std::string_view name, const SerialLineSettings& settings,
                                                      std::error_code& error) {
  error.clear();
  const std::optional<std::string> location = SerialDeviceLocation(name, device_dir_);
  if (!location) {
    error = Win32Error(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  // No sharing: the port is ours alone until it is closed. Not overlapped:
  // the driver polls, and the time-outs bound every read and write.
  const HANDLE handle = ::CreateFileW(Widen(*location).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = OpenError(::GetLastError(), WithoutDevicePrefix(*location));
    return nullptr;
  }
  // A device without line settings (a file, a printer) is no serial port.
  DCB state{};
  state.DCBlength = sizeof state;
  COMMTIMEOUTS timeouts{};
  if (!::GetCommState(handle, &state) || !::GetCommTimeouts(handle, &timeouts)) {
    error = LastWin32Error();
    ::CloseHandle(handle);
    return nullptr;
  }
  // From here the device owns the handle: a line that refuses the settings
  // is given back as it was found when the device goes.
  auto device = std::make_unique<Win32SerialDevice>(handle, state, timeouts);
  error = device->Configure(settings);
  if (error) return nullptr;
  return device;
}

std::vector<std::string> SystemSerialPorts::AdapterPaths() const {
  // The ports' drivers list them here, one value each, the data being the
  // port's name ("COM41"); the names are what the scan opens.
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::vector<std::string> listed;
  for (DWORD index = 0;; ++index) {
    wchar_t value_name[256];
    DWORD name_length = static_cast<DWORD>(std::size(value_name));
    wchar_t data[64] = {};
    DWORD data_size = sizeof data - sizeof(wchar_t);  // room for an end the registry need not store
    DWORD type = 0;
    const LONG result = ::RegEnumValueW(key, index, value_name, &name_length, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &data_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;  // too long for a port name, or not text
    std::wstring_view text(data, data_size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.remove_suffix(1);
    listed.push_back(Narrow(text));
  }
  ::RegCloseKey(key);
  return ComPortsBeyondScan(listed);
}

}  // namespace orvent
