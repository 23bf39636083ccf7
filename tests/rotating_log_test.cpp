// The service's status file stays bounded: the newest lines are always in
// status.txt, a file that would pass the bound moves to the older names, and
// only the kept number of older files survive.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "station/rotating_log.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

// The lines as the log writes them, each with the platform's line end.
std::string Lines(std::initializer_list<int> numbers) {
  std::string text;
  for (const int n : numbers) text += "L" + std::to_string(n) + kTextLineEnd;
  return text;
}

std::string FileName(std::size_t index) {
  return index == 0 ? "status.txt" : "status." + std::to_string(index) + ".txt";
}

TEST(RotatingLog, KeepsTheNewestLinesAndDropsTheOldestFile) {
  // "L1" and a line end; ten lines are written ("L10" is a byte longer).
  const std::uint64_t line = 2 + std::strlen(kTextLineEnd);
  struct Case {
    const char* name;
    std::uint64_t max_bytes;
    int kept;
    std::vector<std::string> files;  // status.txt, status.1.txt, ...; none after these
  };
  const Case cases[] = {
      {"control: all within the bound", 100, 3, {Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})}},
      {"three kept, none dropped yet",
       3 * line,
       3,
       {Lines({10}), Lines({7, 8, 9}), Lines({4, 5, 6}), Lines({1, 2, 3})}},
      {"three kept, the oldest four lines dropped",
       2 * line,
       3,
       {Lines({10}), Lines({9}), Lines({7, 8}), Lines({5, 6})}},
      {"one kept", 4 * line, 1, {Lines({9, 10}), Lines({5, 6, 7, 8})}},
      {"none kept", 4 * line, 0, {Lines({9, 10})}},
      {"bound not a multiple of a line", 3 * line + 1, 1, {Lines({10}), Lines({7, 8, 9})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    RotatingLog log(dir.path(), "status", c.max_bytes, c.kept);
    for (int i = 1; i <= 10; ++i) ASSERT_TRUE(log.Write("L" + std::to_string(i)));
    for (std::size_t i = 0; i < c.files.size(); ++i) EXPECT_EQ(dir.Read(FileName(i)), c.files[i]) << FileName(i);
    EXPECT_FALSE(std::filesystem::exists(dir.File(FileName(c.files.size()))));
  }
}

TEST(RotatingLog, ALineLongerThanTheBoundGetsAFileOfItsOwn) {
  test::TempDir dir;
  RotatingLog log(dir.path(), "status", 4, 3);
  ASSERT_TRUE(log.Write("a much longer line"));
  ASSERT_TRUE(log.Write("L1"));
  EXPECT_EQ(dir.Read("status.txt"), Lines({1}));
  EXPECT_EQ(dir.Read("status.1.txt"), std::string("a much longer line") + kTextLineEnd);
}

// A restarted service goes on where it left off, and a file moved away by
// hand is simply begun again.
TEST(RotatingLog, ContinuesTheFileItFinds) {
  test::TempDir dir;
  dir.Write("status.txt", Lines({1}));
  RotatingLog log(dir.path(), "status", 100, 3);
  ASSERT_TRUE(log.Write("L2"));
  EXPECT_EQ(dir.Read("status.txt"), Lines({1, 2}));
  std::filesystem::remove(dir.File("status.txt"));
  ASSERT_TRUE(log.Write("L3"));
  EXPECT_EQ(dir.Read("status.txt"), Lines({3}));
  EXPECT_FALSE(std::filesystem::exists(dir.File("status.1.txt")));
}

TEST(RotatingLog, AFolderItCannotWriteToIsToldNotFatal) {
  test::TempDir dir;
  RotatingLog log(dir.File("missing"), "status", 4, 3);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(log.Write("a line that would rotate"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
}  // namespace orvent
