#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using test::TempDir;

TEST(SpoolFilesTest, SearchMatchesPrefixStarSuffixByteForByte) {
  TempDir dir;
  for (const char* name : {"a.dd8", "spool.dd8", "spoolX.dd8", "spool.dd8.bad", "spoolY.DD8", "spool", "spool.dd8-1.tmp"}) {
    dir.Write(name, "x");
  }
  struct Case {
    std::string prefix;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {dir.path() + "/", {"a.dd8", "spool.dd8", "spoolX.dd8"}},
      {dir.path() + "/spool", {"spool.dd8", "spoolX.dd8"}},
      {dir.path() + "/spoolX", {"spoolX.dd8"}},
      {dir.path() + "/none", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    auto paths = ListMatches(c.prefix, ".dd8");
    ASSERT_TRUE(paths);
    std::sort(paths->begin(), paths->end());
    std::vector<std::string> expected;
    for (const auto& name : c.names) expected.push_back(dir.File(name));
    EXPECT_EQ(*paths, expected);

    // The visit gives the names alone, as the folder lists them.
    std::vector<std::string> names;
    ASSERT_TRUE(VisitMatches(c.prefix, ".dd8", [&](std::string_view name) { names.emplace_back(name); }));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names);
  }
  EXPECT_FALSE(ListMatches(dir.path() + "/missing/", ".dd8"));
  EXPECT_FALSE(VisitMatches(dir.path() + "/missing/", ".dd8", [](std::string_view) {}));
}

TEST(SpoolFilesTest, MoveNeverReplacesAndNewFileIsExclusive) {
  TempDir dir;
  dir.Write("from", "new");
  dir.Write("to", "old");
  EXPECT_EQ(MoveFileNoReplace(dir.File("from"), dir.File("to")), std::errc::file_exists);
  EXPECT_EQ(dir.Read("from"), "new");
  EXPECT_EQ(dir.Read("to"), "old");
  EXPECT_FALSE(MoveFileNoReplace(dir.File("from"), dir.File("free")));
  EXPECT_FALSE(dir.Exists("from"));
  EXPECT_EQ(dir.Read("free"), "new");

  EXPECT_EQ(WriteNewFileFlushed(dir.File("to"), "other"), std::errc::file_exists);
  EXPECT_EQ(dir.Read("to"), "old");
  EXPECT_FALSE(WriteNewFileFlushed(dir.File("fresh"), "bytes"));
  EXPECT_EQ(dir.Read("fresh"), "bytes");
  EXPECT_TRUE(WriteNewFileFlushed(dir.File("missing/fresh"), "bytes"));
}

}  // namespace
}  // namespace orvent
