#include "tools/inspect_spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "delivery/spool.h"
#include "platform/paths.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using test::TempDir;

std::string SpoolFileOf(const stru_soob& r) { return test::SpoolFileText(Serialize(r)); }

stru_soob Record(std::int32_t number, const CivilTime& time) {
  stru_soob r = test::SampleSoob(number);
  r.RecvTime = EncodeDateTime(time);
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(InspectSpoolTest, ListsOldestRecordFirstAndFlagsOddFiles) {
  TempDir dir;
  dir.Write("spoolA.dd8", SpoolFileOf(Record(51235, {2011, 9, 6, 14, 31, 0, 0})));
  dir.Write("spoolB.dd8", SpoolFileOf(Record(51234, {2011, 9, 6, 14, 30, 0, 250})));
  std::string other_command = SpoolFileOf(Record(7, {2011, 9, 6, 14, 30, 30, 0}));
  other_command[0] = 0x01;
  dir.Write("spoolC.dd8", other_command);
  dir.Write("spoolD.dd8", SpoolFileOf(Record(9, {2011, 9, 1, 0, 0, 0, 0})) + "extra");
  dir.Write("other.dd8", SpoolFileOf(Record(1, {2011, 9, 1, 0, 0, 0, 0})));
  dir.Write("spoolE.dd8.bad", "");

  std::string prefix = dir.path() + "/spool";
  char* argv[] = {prefix.data()};
  testing::internal::CaptureStdout();
  const int status = RunInspectSpool(1, argv);
  const auto lines = Lines(testing::internal::GetCapturedStdout());

  EXPECT_EQ(status, 0);
  const std::vector<std::string> expected = {
      "spoolB.dd8  2011-09-06 14:30:00.250  number 51234  zone \"015\"  partition 1  kind 1  mark 33",
      "spoolC.dd8  2011-09-06 14:30:30.000  number 7  zone \"015\"  partition 1  kind 1  mark 33"
      "  ! command 0x03000001, not the event command",
      "spoolA.dd8  2011-09-06 14:31:00.000  number 51235  zone \"015\"  partition 1  kind 1  mark 33",
      "spoolD.dd8  ! 29 bytes, not 24",
      "4 spool files, 2 flagged",
  };
  EXPECT_EQ(lines, expected);
}

struct Listing {
  int status = -1;
  std::vector<std::string> lines;
};

Listing ListSpool(std::string prefix) {
  char* argv[] = {prefix.data()};
  testing::internal::CaptureStdout();
  Listing run;
  run.status = RunInspectSpool(1, argv);
  run.lines = Lines(testing::internal::GetCapturedStdout());
  return run;
}

// The prefix is read as the driver reads PathForSoob. An empty listing names
// what was looked for: a wrong prefix must not pass for an empty spool.
TEST(InspectSpoolTest, ReadsThePrefixAsTheDriverDoesAndSaysWhereItLooked) {
  TempDir dir;
  dir.Write("5265C00.dd8", SpoolFileOf(Record(51234, {2011, 9, 6, 14, 30, 0, 250})));
  std::filesystem::create_directory(dir.File("empty"));
  const std::string listed =
      "5265C00.dd8  2011-09-06 14:30:00.250  number 51234  zone \"015\"  partition 1  kind 1  mark 33";
  const std::string sep(1, kPathSeparator);
  struct Case {
    std::string given;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {dir.Prefix(), {listed, "1 spool file, 0 flagged"}},
      {dir.path(), {listed, "1 spool file, 0 flagged"}},
      {dir.File("52"), {listed, "1 spool file, 0 flagged"}},
      {dir.File("empty"), {"0 spool files: nothing matches \"" + dir.File("empty") + sep + "*.dd8\""}},
      {dir.File("empty") + "/", {"0 spool files: nothing matches \"" + dir.File("empty") + "/*.dd8\""}},
      {dir.File("ev"), {"0 spool files: nothing matches \"" + dir.File("ev") + "*.dd8\""}},
      // A name that is no folder stays a prefix, as it does for the driver.
      {dir.File("missing"), {"0 spool files: nothing matches \"" + dir.File("missing") + "*.dd8\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    const Listing run = ListSpool(c.given);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines, c.lines);
  }
}

TEST(InspectSpoolTest, AFolderThatCannotBeReadOrBadArgumentsFail) {
  TempDir dir;
  std::string missing = dir.path() + "/missing/";
  EXPECT_EQ(ListSpool(missing).status, 1);
  char* two[] = {missing.data(), missing.data()};
  EXPECT_EQ(RunInspectSpool(2, two), 2);
  std::string option = "--all";
  char* unknown[] = {option.data()};
  EXPECT_EQ(RunInspectSpool(1, unknown), 2);
}

}  // namespace
}  // namespace orvent
