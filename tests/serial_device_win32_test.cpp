// The Windows serial device without a line: port names, the line settings as
// a DCB, the fixed time-outs, and why a port does not open. On a real line (a
// pseudo-terminal that Wine shows as a COM port) it is tested from Linux:
// serial_wine_test.cpp.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/serial_device.h"
#include "platform/win32/serial_dcb.h"
#include "platform/win32/win32_error.h"
#include "station/station.h"

namespace orvent {
namespace {

TEST(SerialDeviceLocationTest, PortNamesMapToTheDeviceNamespace) {
  struct Case {
    const char* name;
    std::optional<std::string> location;
  };
  const Case cases[] = {
      {"COM1", "\\\\.\\COM1"},
      {"com12", "\\\\.\\COM12"},
      {"\\\\.\\COM3", "\\\\.\\COM3"},
      {"\\\\.\\com3", "\\\\.\\COM3"},
      {"COM255", "\\\\.\\COM255"},
      {"\\\\.\\CNCA0", "\\\\.\\CNCA0"},
      {"COM0", std::nullopt},
      {"COM01", std::nullopt},
      {"COM", std::nullopt},
      {"COM3 ", std::nullopt},
      {"LPT1", std::nullopt},
      {"/dev/ttyS0", std::nullopt},
      {"C:\\receiver.txt", std::nullopt},
      {"\\\\.\\", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SerialDeviceLocation(c.name, ""), c.location);
  }
  // The notice names a port as the operator does.
  EXPECT_EQ(SerialNoticeName("COM3", ""), "COM3");
  EXPECT_EQ(SerialNoticeName("\\\\.\\COM12", ""), "COM12");
  EXPECT_EQ(SerialNoticeName("\\\\.\\CNCA0", ""), "CNCA0");
}

TEST(SerialDcbTest, SettingsBecomeTheWholeDcb) {
  struct Case {
    const char* name;
    SerialLineSettings settings;
    BYTE byte_size, parity, stop_bits;
    DWORD dtr, rts;
    bool cts, xon_xoff;
  };
  const auto with = [](auto change) {
    SerialLineSettings s;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"9600 8N1", {}, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
      {"7E2", with([](auto& s) {
         s.data_bits = 7;
         s.parity = SerialParity::Even;
         s.stop_bits = SerialStopBits::Two;
       }),
       7, EVENPARITY, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
      // The UART's long stop: one and a half bits at 5, two above.
      {"5O2", with([](auto& s) {
         s.data_bits = 5;
         s.parity = SerialParity::Odd;
         s.stop_bits = SerialStopBits::Two;
       }),
       5, ODDPARITY, ONE5STOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
      {"8 mark 1.5", with([](auto& s) {
         s.parity = SerialParity::Mark;
         s.stop_bits = SerialStopBits::OneAndHalf;
       }),
       8, MARKPARITY, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
      {"6 space, DTR and RTS off", with([](auto& s) {
         s.data_bits = 6;
         s.parity = SerialParity::Space;
         s.dtr_on = false;
         s.rts = SerialRts::Off;
       }),
       6, SPACEPARITY, ONESTOPBIT, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false},
      {"RTS/CTS", with([](auto& s) {
         s.rts = SerialRts::Handshake;
       }),
       8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, true, false},
      {"RTS toggle, XON/XOFF", with([](auto& s) {
         s.rts = SerialRts::Toggle;
         s.xon_xoff = true;
       }),
       8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Start from a DCB with everything switched on that the settings must
    // switch off.
    DCB dcb{};
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.BaudRate = 300;
    ASSERT_FALSE(ToDcb(c.settings, dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
    EXPECT_EQ(dcb.BaudRate, c.settings.baud_rate);
    EXPECT_EQ(dcb.ByteSize, c.byte_size);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, c.stop_bits);
    EXPECT_EQ(dcb.fDtrControl, c.dtr);
    EXPECT_EQ(dcb.fRtsControl, c.rts);
    EXPECT_EQ(dcb.fOutxCtsFlow != 0, c.cts);
    EXPECT_EQ(dcb.fOutX != 0, c.xon_xoff);
    EXPECT_EQ(dcb.fInX != 0, c.xon_xoff);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fParity) << "parity is not checked on input";
    EXPECT_FALSE(dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fErrorChar || dcb.fNull);
    EXPECT_FALSE(dcb.fAbortOnError) << "a line error must not stop the reads";
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.XonLim, 512) << "a quarter of the input queue";
    EXPECT_EQ(dcb.XoffLim, 512);
  }
}

TEST(SerialDcbTest, SizesAndRatesADcbCannotTakeAreRefused) {
  SerialLineSettings s;
  DCB dcb{};
  for (const std::uint8_t bits : {4, 9}) {
    SCOPED_TRACE(bits);
    s.data_bits = bits;
    EXPECT_EQ(ToDcb(s, dcb), std::errc::invalid_argument);
  }
  s.data_bits = 8;
  s.baud_rate = 0;
  EXPECT_EQ(ToDcb(s, dcb), std::errc::invalid_argument);
}

TEST(SerialTimeoutsTest, ReadsNeverWaitAndWritesWaitTheWriteWait) {
  const COMMTIMEOUTS t = PortTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u) << "0 would mean no limit at all";
}

// The station's status line comes from the error's condition, whichever
// code Windows gave.
TEST(SerialOpenErrorTest, PortsThatDoNotOpenSayWhy) {
  SystemSerialPorts ports;
  for (const char* name : {"COM4000", "\\\\.\\COM4000", "LPT1", "/dev/ttyS0", ""}) {
    SCOPED_TRACE(name);
    std::error_code error;
    EXPECT_EQ(ports.Open(name, {}, error), nullptr);
    EXPECT_EQ(error, std::errc::no_such_file_or_directory) << error.message();
    EXPECT_EQ(PortFailureText("COM4000", error), "Порт COM4000: нет такого устройства.");
  }
  struct Case {
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, "Порт COM3: нет такого устройства."},
      {ERROR_DEV_NOT_EXIST, "Порт COM3: нет такого устройства."},
      {ERROR_BUSY, "Порт COM3: занят другой программой."},
      {ERROR_SHARING_VIOLATION, "Порт COM3: занят другой программой."},
      // No Linux group to join here.
      {ERROR_ACCESS_DENIED, "Порт COM3: нет прав на устройство."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(PortFailureText("COM3", Win32Error(c.code)), c.text);
  }
}

TEST(SerialOpenErrorTest, ADeviceWithoutLineSettingsIsNoPort) {
  SystemSerialPorts ports;
  std::error_code error;
  EXPECT_EQ(ports.Open("\\\\.\\NUL", {}, error), nullptr);
  EXPECT_TRUE(error);
}

}  // namespace
}  // namespace orvent
