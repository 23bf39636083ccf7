#include <gtest/gtest.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/serial_termios.h"
#include "platform/serial_device.h"
#include "station/station.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

TEST(SerialDeviceLocationTest, PortNamesMapToDevicePaths) {
  struct Case {
    const char* name;
    const char* dir;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"COM1", "/dev", "/dev/ttyS0"},
      {"\\\\.\\COM3", "/dev", "/dev/ttyS2"},
      {"com12", "/dev", "/dev/ttyS11"},
      {"COM32", "/tmp/ports/", "/tmp/ports/ttyS31"},
      {"/dev/ttyUSB0", "/dev", "/dev/ttyUSB0"},
      {"\\\\.\\/dev/pts/3", "/dev", "/dev/pts/3"},
      {"COM0", "/dev", std::nullopt},
      {"COM", "/dev", std::nullopt},
      {"COM01", "/dev", std::nullopt},
      {"COM3 ", "/dev", std::nullopt},
      {"COMx", "/dev", std::nullopt},
      {"COM99999999999", "/dev", std::nullopt},
      {"LPT1", "/dev", std::nullopt},
      {"ttyS0", "/dev", std::nullopt},
      {"\\\\.\\", "/dev", std::nullopt},
      {"", "/dev", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SerialDeviceLocation(c.name, c.dir), c.path);
  }
}

// The short names of the port-state notice: device paths are told apart
// by what their links point to now.
// What the system says of a device that it refuses for lack of rights:
// its owner, group and rights, and whether this process is in the group.
TEST(SerialOpenErrorTest, AccessTellsOwnerGroupAndRights) {
  test::TempDir dir;
  dir.Write("ttyUSB0", "");
  const std::string device = dir.path() + "/ttyUSB0";
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);
  const DeviceAccess access = SerialDeviceAccess(device);
  EXPECT_TRUE(access.Known);
  EXPECT_FALSE(access.CharacterDevice);  // a plain file stands in for it here
  EXPECT_EQ(access.Mode, 0600u);
  EXPECT_TRUE(access.UserInGroup);  // the file's group is the process's own
  EXPECT_FALSE(access.Owner.empty());
  EXPECT_EQ(access.User, access.Owner);
  EXPECT_TRUE(SerialDeviceAccess("/dev/null").CharacterDevice);
  EXPECT_FALSE(SerialDeviceAccess(dir.path() + "/missing").Known);
  EXPECT_EQ(PortFailureText("/dev/ttyUSB0", std::make_error_code(std::errc::permission_denied), "совет"),
            "Порт /dev/ttyUSB0: нет прав на устройство - совет.");
}

// The advice after "нет прав на устройство": joining the group helps only
// where the group may read and write the device and is not root's.
TEST(SerialOpenErrorTest, AdviceFitsTheDevicesRights) {
  struct Case {
    const char* name;
    DeviceAccess access;
    const char* advice;
  };
  const Case cases[] = {
      {"the group may use it, the user is outside", {true, true, "root", "dialout", 0660, "orvent", false},
       "добавьте пользователя orvent в группу dialout и войдите заново"},
      {"root's own, mode 0600", {true, true, "root", "root", 0600, "orvent", false},
       "владелец root, группа root, права 0600: дайте группе права на чтение и запись правилом udev (например, "
       "GROUP=\"dialout\", MODE=\"0660\") и добавьте в неё пользователя orvent"},
      {"root's group may use it: no group hint", {true, true, "root", "root", 0660, "orvent", false},
       "владелец root, группа root, права 0660: дайте группе права на чтение и запись правилом udev (например, "
       "GROUP=\"dialout\", MODE=\"0660\") и добавьте в неё пользователя orvent"},
      {"the group may not write", {true, true, "root", "dialout", 0640, "orvent", false},
       "владелец root, группа dialout, права 0640: дайте группе права на чтение и запись правилом udev (например, "
       "GROUP=\"dialout\", MODE=\"0660\") и добавьте в неё пользователя orvent"},
      {"in the group, refused all the same", {true, true, "root", "dialout", 0660, "orvent", true},
       "владелец root, группа dialout, права 0660; пользователь orvent в группе, но доступ запрещён иначе (ACL, "
       "SELinux, AppArmor)"},
      {"no device at all", {true, false, "root", "root", 0644, "orvent", false}, "это не устройство, а обычный файл"},
      {"nothing known", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PermissionAdvice(c.access), c.advice);
  }
}

TEST(SerialNoticeNameTest, DevicePathsGetShortNamesThatTellPortsApart) {
  test::TempDir dir;
  const std::string dev = dir.path();
  dir.Write("ttyS4", "");
  std::filesystem::create_symlink(dev + "/ttyS4", dev + "/by-id-adapter");
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::filesystem::create_symlink(pty.path(), dev + "/receiver");
  const std::string pts = pty.path().substr(std::string("/dev/").size());
  struct Case {
    std::string name;
    std::string notice;
  };
  const Case cases[] = {
      {"COM3", "COM3"},
      {"COM255", "COM255"},
      {"\\\\.\\COM2", "COM2"},
      {dev + "/ttyS0", "COM1"},
      {dev + "/by-id-adapter", "COM5"},
      {dev + "/receiver", pts},
      {"/dev/ttyUSB0", "USB0"},
      {"/dev/ttyACM1", "ACM1"},
      {"/dev/pts/3", "pts/3"},
      {"/dev/serial/by-id/usb-adapter-gone", "serial/by-id/usb-adapter-gone"},
      {"/home/station/port", "port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SerialNoticeName(c.name, dev), c.notice);
  }
}

TEST(SerialTermiosTest, SettingsBecomeARawLine) {
  struct Case {
    const char* name;
    SerialLineSettings settings;
    tcflag_t cflag;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
    tcflag_t iflag;  // of IXON | IXOFF
    speed_t speed;
  };
  const auto with = [](auto change) {
    SerialLineSettings s;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"9600 8N1", {}, CS8, 0, B9600},
      {"7E2", with([](auto& s) {
         s.data_bits = 7;
         s.parity = SerialParity::Even;
         s.stop_bits = SerialStopBits::Two;
       }),
       CS7 | PARENB | CSTOPB, 0, B9600},
      {"5O1.5", with([](auto& s) {
         s.data_bits = 5;
         s.parity = SerialParity::Odd;
         s.stop_bits = SerialStopBits::OneAndHalf;
       }),
       CS5 | PARENB | PARODD | CSTOPB, 0, B9600},
      {"6 mark", with([](auto& s) {
         s.data_bits = 6;
         s.parity = SerialParity::Mark;
       }),
       CS6 | PARENB | PARODD | CMSPAR, 0, B9600},
      {"space", with([](auto& s) { s.parity = SerialParity::Space; }), CS8 | PARENB | CMSPAR, 0, B9600},
      {"RTS/CTS at 115200", with([](auto& s) {
         s.rts = SerialRts::Handshake;
         s.baud_rate = 115200;
       }),
       CS8 | CRTSCTS, 0, B115200},
      {"XON/XOFF at 110", with([](auto& s) {
         s.xon_xoff = true;
         s.baud_rate = 110;
       }),
       CS8, IXON | IXOFF, B110},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Start from a cooked line with everything switched on that raw mode
    // must switch off.
    termios t{};
    t.c_iflag = ICRNL | IXON | IXANY | INPCK | ISTRIP | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cflag = CS8 | PARENB | PARODD | CSTOPB | CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    ASSERT_FALSE(ToTermios(c.settings, t));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag, c.iflag) << "nothing but the handshake stays on input";
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetospeed(&t), c.speed);
    EXPECT_EQ(::cfgetispeed(&t), c.speed);
  }
}

TEST(SerialTermiosTest, RatesAndSizesTermiosCannotExpressAreRefused) {
  for (const std::uint32_t rate : {0u, 14400u, 56000u, 128000u, 256000u, 31250u}) {
    SCOPED_TRACE(rate);
    SerialLineSettings s;
    s.baud_rate = rate;
    termios t{};
    EXPECT_EQ(ToTermios(s, t), std::errc::invalid_argument);
  }
  SerialLineSettings s;
  s.data_bits = 9;
  termios t{};
  EXPECT_EQ(ToTermios(s, t), std::errc::invalid_argument);
}

// A line that cannot take the settings does not open, and is left as it
// was found and free for the next opener.
TEST(SerialOpenTest, ARefusedLineIsClosedAsItWasFound) {
  test::PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &before), 0);

  SystemSerialPorts ports;
  SerialLineSettings refused;
  refused.baud_rate = 14400;
  std::error_code error;
  EXPECT_EQ(ports.Open(pty.path(), refused, error), nullptr);
  EXPECT_EQ(error, std::errc::invalid_argument);
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));

  const std::unique_ptr<SerialDevice> device = ports.Open(pty.path(), {}, error);
  ASSERT_NE(device, nullptr) << error.message();
  EXPECT_FALSE(error);
  // Held now: a second opener finds it busy.
  EXPECT_EQ(ports.Open(pty.path(), {}, error), nullptr);
  EXPECT_EQ(error, std::errc::device_or_resource_busy);
}

// What waited on the line before the opening is dropped, and a write that
// finds no room gives back after the write wait with what it took.
TEST(SerialOpenTest, OpeningEmptiesTheQueuesAndAFullLineBoundsTheWrite) {
  test::PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  ASSERT_TRUE(pty.Write("stale"));
  ASSERT_TRUE(pty.WaitUntilWaiting(5));
  SystemSerialPorts ports;
  std::error_code error;
  const std::unique_ptr<SerialDevice> device = ports.Open(pty.path(), {}, error);
  ASSERT_NE(device, nullptr) << error.message();
  SerialQueues queues;
  ASSERT_FALSE(device->Queued(queues));
  EXPECT_EQ(queues.to_read, 0u);

  // Nobody reads the receiver's end, so the line fills up.
  const std::vector<std::uint8_t> block(4096, 'x');
  std::size_t count = 1;
  for (int i = 0; i < 1000 && count > 0; ++i) ASSERT_FALSE(device->Write(block.data(), block.size(), count));
  ASSERT_EQ(count, 0u) << "the line never filled";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(device->Write(block.data(), block.size(), count));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(count, 0u);
  EXPECT_GE(waited, kSerialWriteWait);
  EXPECT_LT(waited, std::chrono::seconds(1));
}

}  // namespace
}  // namespace orvent
