// The status line that says why a port did not open, from the error's
// condition: the same on every system (but for the advice on rights, which
// each system's own serial tests check).

#include <gtest/gtest.h>

#include <system_error>

#include "station/station.h"

namespace orvent {
namespace {

TEST(PortFailureText, SaysWhyInTheProgramsLanguage) {
  struct Case {
    std::errc error;
    const char* text;
  };
  const Case cases[] = {
      {std::errc::no_such_file_or_directory, "Порт COM3: нет такого устройства."},
      {std::errc::no_such_device, "Порт COM3: нет такого устройства."},
      {std::errc::device_or_resource_busy, "Порт COM3: занят другой программой."},
      {std::errc::io_error, "Порт COM3 не открывается: ошибка 5."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PortFailureText("COM3", std::make_error_code(c.error)), c.text);
  }
}

}  // namespace
}  // namespace orvent
