#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

TEST(SpoolFilesTest, ReadUpToTakesRegularFilesWithinTheLimitOnly) {
  TempDir dir;
  dir.Write("record", std::string(24, 'r'));
  dir.Write("empty", "");
  std::filesystem::create_directory(dir.File("folder"));
  struct Case {
    const char* name;
    std::size_t limit;
    std::error_code error;
    std::string contents;
  };
  const Case cases[] = {
      {"record", 24, {}, std::string(24, 'r')},
      {"record", 23, std::make_error_code(std::errc::file_too_large), ""},
      {"empty", 0, {}, ""},
      {"folder", 1024, std::make_error_code(std::errc::invalid_argument), ""},
      {"missing", 1024, std::make_error_code(std::errc::no_such_file_or_directory), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " up to " + std::to_string(c.limit));
    std::string out = "stale";
    const std::error_code error = ReadFileUpTo(dir.File(c.name), c.limit, out);
    EXPECT_EQ(error.default_error_condition(), c.error.default_error_condition()) << error.message();
    EXPECT_EQ(out, c.contents);
  }
}

TEST(SpoolFilesTest, FlushFolderOfAFileInAFolderThatExists) {
  TempDir dir;
  dir.Write("file", "x");
  EXPECT_FALSE(FlushFolderOf(dir.File("file")));
  EXPECT_FALSE(FlushFolderOf(dir.Prefix()));
  EXPECT_FALSE(FlushFolderOf("in the working directory"));
  EXPECT_EQ(FlushFolderOf(dir.File("missing/file")), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace orvent
