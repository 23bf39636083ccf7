// Port names as both systems read them.

#include "platform/serial_names.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace orvent {
namespace {

TEST(SerialNamesTest, ComNamesGiveTheirNumber) {
  struct Case {
    const char* name;
    std::optional<unsigned> number;
  };
  const Case cases[] = {
      {"COM1", 1u},     {"com12", 12u},        {"Com4096", 4096u},   {"COM4097", std::nullopt},
      {"COM0", std::nullopt}, {"COM01", std::nullopt}, {"COM", std::nullopt},  {"COM3 ", std::nullopt},
      {"COMx", std::nullopt}, {"\\\\.\\COM3", std::nullopt}, {"LPT1", std::nullopt}, {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ComPortNumber(c.name), c.number);
  }
  EXPECT_EQ(WithoutDevicePrefix("\\\\.\\COM3"), "COM3");
  EXPECT_EQ(WithoutDevicePrefix("\\\\.\\"), "");
  EXPECT_EQ(WithoutDevicePrefix("\\\\?\\COM3"), "\\\\?\\COM3");
  EXPECT_EQ(WithoutDevicePrefix("COM3"), "COM3");
}

// What the system lists beyond the numbers the scan probes: the scan must
// neither probe a port twice nor miss one above COM32.
TEST(SerialNamesTest, PortsBeyondTheScanAreTheHighComNumbersOnceInOrder) {
  const std::vector<std::string> listed = {"COM3",   "COM100", "com33", "COM40", "COM32", "COM40",
                                           "CNCA0",  "COM0",   "COM033", "",     "\\Device\\Serial0", "COM4097"};
  EXPECT_EQ(ComPortsBeyondScan(listed), (std::vector<std::string>{"COM33", "COM40", "COM100"}));
  EXPECT_TRUE(ComPortsBeyondScan({}).empty());
  EXPECT_TRUE(ComPortsBeyondScan({"COM1", "COM32"}).empty());
}

}  // namespace
}  // namespace orvent
