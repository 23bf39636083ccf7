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
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(SpoolPosixTest, PipesAndLinksAreSetAsideWithoutWaiting) {
  const SoobBytes record = Serialize(test::SampleSoob(1234));
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> make;  // makes "0.dd8"
  };
  const Case cases[] = {
      {"a pipe without a writer", [](const TempDir& d) { ASSERT_EQ(::mkfifo(d.File("0.dd8").c_str(), 0600), 0); }},
      {"a dangling link", [](const TempDir& d) { fs::create_symlink(d.File("nowhere"), d.File("0.dd8")); }},
      {"a link to a spool file", [&](const TempDir& d) {
         d.Write("elsewhere", test::SpoolFileText(record));
         fs::create_symlink(d.File("elsewhere"), d.File("0.dd8"));
       }},
  };
  FakeClock clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    c.make(folder);
    folder.Write("1.dd8", test::SpoolFileText(record));
    std::vector<std::int32_t> logged;
    EventSpool s(folder.Prefix(), clock, {[&](std::int32_t n) { logged.push_back(n); }, {}, {}});
    s.ScanFolder();
    s.EmitReports();
    EXPECT_TRUE(fs::exists(fs::symlink_status(folder.File("0.dd8.bad"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.File("0.dd8"))));
    EXPECT_EQ(logged, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
    const auto event = s.TakeNextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->Record, record);
  }
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
