#include <gtest/gtest.h>

#include "station/error_log.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

TEST(ErrorLog, AppendsOneCp1251LinePerNumber) {
  test::TempDir dir;
  const ErrorLog log(dir.path());
  EXPECT_FALSE(log.LogError(9));
  EXPECT_EQ(dir.Read(kErrorLogFileName), "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "9\r\n");
  EXPECT_FALSE(log.LogError(11));
  EXPECT_FALSE(log.LogError(19));
  EXPECT_EQ(dir.Read(kErrorLogFileName),
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "9\r\n"
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "11\r\n"
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "19\r\n");
}

TEST(ErrorLog, KeepsEarlierLinesAndRaisesWhenItCannotWrite) {
  test::TempDir dir;
  dir.Write(kErrorLogFileName, "earlier\r\n");
  EXPECT_FALSE(ErrorLog(dir.path()).LogError(-5));
  EXPECT_EQ(dir.Read(kErrorLogFileName), "earlier\r\n\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9-5\r\n");
  EXPECT_EQ(ErrorLog(dir.File("missing folder")).LogError(9), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace orvent
