// What only a POSIX system has: pipes, symbolic links, permission bits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "delivery/spool.h"
#include "platform/fake_clock.h"
#include "platform/files.h"
#include "support/bad_spool_file.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(SpoolPosixTest, PipesAndLinksAreSetAsideWithoutWaiting) {
  const SoobBytes record = Serialize(test::SampleSoob(1234));
  const test::BadSpoolFile cases[] = {
      {"a pipe without a writer", [](const TempDir& d) { ASSERT_EQ(::mkfifo(d.File("0.dd8").c_str(), 0600), 0); }},
      {"a dangling link", [](const TempDir& d) { fs::create_symlink(d.File("nowhere"), d.File("0.dd8")); }},
      {"a link to a spool file", [&](const TempDir& d) {
         d.Write("elsewhere", test::SpoolFileText(record));
         fs::create_symlink(d.File("elsewhere"), d.File("0.dd8"));
       }},
  };
  for (const test::BadSpoolFile& c : cases) test::ExpectSetAsideBesideAGoodFile(c, record);
}

TEST(SpoolPosixTest, DevicesAreNoFilesToRead) {
  std::string out;
  EXPECT_EQ(ReadFileUpTo("/dev/null", 1024, out), std::errc::invalid_argument);
  EXPECT_EQ(ReadFileUpTo("/dev/zero", 1024, out), std::errc::invalid_argument);
}

TEST(SpoolPosixTest, ReplacedFileKeepsItsPermissionBits) {
  TempDir dir;
  dir.Write("kelmora.ini", "old");
  ASSERT_EQ(::chmod(dir.File("kelmora.ini").c_str(), 0604), 0);
  EXPECT_FALSE(ReplaceFileContents(dir.File("kelmora.ini"), "new"));
  EXPECT_EQ(dir.Read("kelmora.ini"), "new");
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("kelmora.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace orvent
