#include "platform/serial_device.h"
#include "platform/posix/serial_termios.h"
#include "platform/serial_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace orvent {
namespace {

constexpr std::string_view kComPrefix = "COM";
constexpr char kDefaultDeviceDir[] = "/dev";
// The handshake's characters, DC1 and DC3.
constexpr cc_t kXon = 17;
constexpr cc_t kXoff = 19;
constexpr int kWriteWaitMs = static_cast<int>(kSerialWriteWait.count());

std::error_code LastError() { return {errno, std::generic_category()}; }

std::error_code ErrorOf(int code) { return {code, std::generic_category()}; }

// termios speeds of the listed rates; other rates have no portable
// counterpart here and are refused.
std::optional<speed_t> SpeedOf(std::uint32_t rate) {
  static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
      {50, B50},         {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},       {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}};
  for (const auto& [value, speed] : kSpeeds) {
    if (value == rate) return speed;
  }
  return std::nullopt;
}

tcflag_t CharacterSize(std::uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

}  // namespace

std::error_code ToTermios(const SerialLineSettings& s, termios& t) {
  const std::optional<speed_t> speed = SpeedOf(s.baud_rate);
  if (!speed || s.data_bits < 5 || s.data_bits > 8) return ErrorOf(EINVAL);

  // Raw mode flag by flag, so nothing the previous owner set survives.
  // Parity is never checked on input (INPCK off), whatever is sent.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                                      ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUTF8);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
  t.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                                      ECHOKE | NOFLSH | TOSTOP | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= static_cast<tcflag_t>(CLOCAL | CREAD) | CharacterSize(s.data_bits);

  switch (s.parity) {
    case SerialParity::None:
      break;
    case SerialParity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case SerialParity::Even:
      t.c_cflag |= PARENB;
      break;
    case SerialParity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SerialParity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
  // termios knows one or two stop bits; a UART set to two gives one and a
  // half with 5-bit characters, which is the only size that uses it.
  if (s.stop_bits != SerialStopBits::One) t.c_cflag |= CSTOPB;
  if (s.rts == SerialRts::Handshake) t.c_cflag |= CRTSCTS;
  if (s.xon_xoff) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = kXon;
    t.c_cc[VSTOP] = kXoff;
  }
  // A read returns at once with what waits; the driver only asks for that.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, *speed) != 0 || ::cfsetospeed(&t, *speed) != 0) return LastError();
  return {};
}

namespace {

// Sets or clears modem lines; pseudo-terminals refuse these, which the
// driver tolerates.
std::error_code SetModemBits(int fd, int bits, bool on) {
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) return LastError();
  return {};
}

class PosixSerialDevice final : public SerialDevice {
public:
  PosixSerialDevice(int fd, const termios& saved) : fd_(fd), saved_(saved) {}

  ~PosixSerialDevice() override {
    // Dropping unsent output first keeps close() from waiting for a stalled
    // line to drain, which would freeze the main thread.
    ::tcflush(fd_, TCIOFLUSH);
    ::tcsetattr(fd_, TCSANOW, &saved_);
    // The exclusive flag belongs to the terminal, not to this descriptor: it
    // would outlive us while anyone else holds the terminal open.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  // Sets the line and empties the queues of what came or waited before.
  std::error_code Configure(const SerialLineSettings& s) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return LastError();
    if (const std::error_code e = ToTermios(s, t)) return e;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return LastError();

    // The modem lines are outside termios. Pseudo-terminals have none, so
    // their refusal does not fail the settings.
    SetModemBits(fd_, TIOCM_DTR, s.dtr_on);
    if (s.rts != SerialRts::Handshake) SetModemBits(fd_, TIOCM_RTS, s.rts == SerialRts::On);
    if (::tcflush(fd_, TCIOFLUSH) != 0) return LastError();
    return {};
  }

  std::optional<NativeWaitHandle> WaitHandle() const override { return NativeWaitHandle{fd_}; }

  std::error_code Queued(SerialQueues& queues) override {
    int in = 0;
    int out = 0;
    if (::ioctl(fd_, FIONREAD, &in) != 0) return LastError();
    if (::ioctl(fd_, TIOCOUTQ, &out) != 0) return LastError();
    queues.to_read = static_cast<std::size_t>(std::max(in, 0));
    queues.to_send = static_cast<std::size_t>(std::max(out, 0));
    return {};
  }

  std::error_code Read(std::uint8_t* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) {
        count = static_cast<std::size_t>(n);
        return {};
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
      return LastError();
    }
  }

  std::error_code Write(const std::uint8_t* data, std::size_t size, std::size_t& count) override {
    count = 0;
    bool waited = false;
    for (;;) {
      const ssize_t n = ::write(fd_, data, size);
      if (n >= 0) {
        count = static_cast<std::size_t>(n);
        return {};
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return LastError();
      if (waited) return {};  // no room within the write wait: nothing taken
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, kWriteWaitMs) < 0 && errno != EINTR) return LastError();
      waited = true;
    }
  }

  std::error_code SetDtr(bool on) override { return SetModemBits(fd_, TIOCM_DTR, on); }

private:
  const int fd_;
  const termios saved_;
};

// Adapter device numbers of one kind ("ttyUSB") found in `dir`.
std::vector<unsigned> AdapterNumbers(const std::string& dir, std::string_view stem) {
  std::vector<unsigned> numbers;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return numbers;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= stem.size() || name.substr(0, stem.size()) != stem) continue;
    const std::string_view digits = name.substr(stem.size());
    if (digits == "0") {
      numbers.push_back(0);
    } else if (const auto n = PortNumber(digits)) {
      numbers.push_back(*n);
    }
  }
  ::closedir(d);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

}  // namespace

std::optional<std::string> SerialDeviceLocation(std::string_view name, std::string_view device_dir) {
  name = WithoutDevicePrefix(name);
  if (!name.empty() && name.front() == '/') return std::string(name);
  const std::optional<unsigned> number = ComPortNumber(name);
  if (!number) return std::nullopt;
  std::string path(device_dir);
  if (path.empty() || path.back() != '/') path += '/';
  return path + "ttyS" + std::to_string(*number - 1);
}

namespace {

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

bool ProcessInGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

}  // namespace

DeviceAccess SerialDeviceAccess(const std::string& device_path) {
  struct stat info {};
  DeviceAccess access;
  if (::stat(device_path.c_str(), &info) != 0) return access;
  access.Known = true;
  access.CharacterDevice = S_ISCHR(info.st_mode);
  access.Owner = UserName(info.st_uid);
  access.Group = GroupName(info.st_gid);
  access.Mode = static_cast<unsigned>(info.st_mode & 07777);
  access.User = UserName(::geteuid());
  access.UserInGroup = ProcessInGroup(info.st_gid);
  return access;
}

DeviceAccess SystemSerialPorts::Access(std::string_view name) const {
  const std::optional<std::string> path = SerialDeviceLocation(name, device_dir_);
  return path ? SerialDeviceAccess(*path) : DeviceAccess{};
}

std::string SerialNoticeName(std::string_view name, std::string_view device_dir) {
  name = WithoutDevicePrefix(name);
  if (name.empty() || name.front() != '/') return std::string(name);
  // A link (/dev/serial/by-id/..., a name of the operator's) is told apart by
  // what it points to now; a path that is not there stays as it is.
  std::string path(name);
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    path = resolved;
    std::free(resolved);
  }
  std::string dir(device_dir);
  if (dir.empty() || dir.back() != '/') dir += '/';
  const std::string serial = dir + "ttyS";
  if (path.starts_with(serial)) {
    // ttyS0 is COM1: the number here may be 0, but has no leading zeros.
    const std::string_view digits = std::string_view(path).substr(serial.size());
    const std::optional<unsigned> n = digits == "0" ? std::optional<unsigned>(0) : PortNumber(digits);
    if (n && *n < kMaxComNumber) return std::string(kComPrefix) + std::to_string(*n + 1);
  }
  std::string_view below(path);
  constexpr std::string_view kDev = "/dev/";
  if (below.starts_with(kDev)) {
    below.remove_prefix(kDev.size());
  } else {
    below = below.substr(below.rfind('/') + 1);
  }
  if (below.starts_with("tty")) below.remove_prefix(3);
  return std::string(below);
}

SystemSerialPorts::SystemSerialPorts() : device_dir_(kDefaultDeviceDir) {}

SystemSerialPorts::SystemSerialPorts(std::string device_dir) : device_dir_(std::move(device_dir)) {}

std::unique_ptr<SerialDevice> SystemSerialPorts::Open(std::string_view name, const SerialLineSettings& settings,
                                                      std::error_code& error) {
  error.clear();
  const std::optional<std::string> path = SerialDeviceLocation(name, device_dir_);
  if (!path) {
    error = ErrorOf(ENOENT);
    return nullptr;
  }
  // Non-blocking, so neither a missing carrier nor a full line can hold the
  // main thread; no controlling terminal, so the line cannot signal us.
  const int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = LastError();
    return nullptr;
  }
  const auto fail = [&](std::error_code e) -> std::unique_ptr<SerialDevice> {
    error = e;
    ::close(fd);
    return nullptr;
  };
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) return fail(LastError());
  // Two locks, because each misses a case: flock binds only programs that ask
  // for it, but binds root too; TIOCEXCL binds every later open(), except
  // root's. Together a second opener fails as on a busy port elsewhere.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? ErrorOf(EBUSY) : LastError());
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(LastError());
  // From here the device owns the descriptor: a line that refuses the
  // settings is given back as it was found when the device goes.
  auto device = std::make_unique<PosixSerialDevice>(fd, saved);
  error = device->Configure(settings);
  if (error) return nullptr;
  return device;
}

std::vector<std::string> SystemSerialPorts::AdapterPaths() const {
  std::vector<std::string> paths;
  std::string dir = device_dir_;
  if (dir.empty() || dir.back() != '/') dir += '/';
  for (const std::string_view stem : {std::string_view("ttyUSB"), std::string_view("ttyACM")}) {
    for (const unsigned n : AdapterNumbers(device_dir_, stem)) paths.push_back(dir + std::string(stem) + std::to_string(n));
  }
  return paths;
}

}  // namespace orvent
