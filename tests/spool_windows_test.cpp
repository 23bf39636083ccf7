// How Windows's sharing of open files and its file attributes meet the
// spool and the file calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "delivery/spool.h"
#include "platform/fake_clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/sample_records.h"
#include "support/recording_spool_observer.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// A file held open by another program, with the sharing it grants.
class HeldFile {
public:
  HeldFile(const std::string& path, DWORD access, DWORD share)
      : handle_(::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldFile() { Release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (valid()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST(SpoolWindowsTest, AFileOpenWithoutSharingWaitsForALaterScan) {
  TempDir dir;
  const SoobBytes first = Serialize(test::SampleSoob(1));
  const SoobBytes second = Serialize(test::SampleSoob(2));
  dir.Write("1.dd8", test::SpoolFileText(first));
  dir.Write("2.dd8", test::SpoolFileText(second));
  HeldFile held(dir.File("1.dd8"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_TRUE(held.valid());

  std::string out;
  EXPECT_EQ(ReadFileUpTo(dir.File("1.dd8"), kMaxSpoolFileSize, out), std::errc::device_or_resource_busy);
  EXPECT_EQ(MoveFileNoReplace(dir.File("1.dd8"), dir.File("1.dd8.bad")), std::errc::device_or_resource_busy);

  FakeClock clock;
  test::RecordingSpoolObserver heard;
  const std::vector<std::int32_t>& logged = heard.errors;
  EventSpool spool(dir.Prefix(), clock, &heard);
  spool.ScanFolder();
  auto event = spool.TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, second);
  spool.EventAcknowledged(event->Id);
  EXPECT_FALSE(spool.TakeNextEvent());

  held.Release();
  spool.ScanFolder();
  event = spool.TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, first);
  spool.EventAcknowledged(event->Id);
  spool.EmitReports();
  EXPECT_TRUE(logged.empty());
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// The spool's own reads share everything, as does orvent-inspect; another
// reader that does the same never keeps a delivered file from going.
TEST(SpoolWindowsTest, AFileOpenForSharedReadingCanBeRenamedAndRemoved) {
  TempDir dir;
  dir.Write("a.dd8", "x");
  dir.Write("b.dd8", "y");
  {
    HeldFile reader(dir.File("a.dd8"), GENERIC_READ, kShareAll);
    ASSERT_TRUE(reader.valid());
    std::string out;
    EXPECT_FALSE(ReadFileUpTo(dir.File("a.dd8"), 16, out));
    EXPECT_EQ(out, "x");
    EXPECT_FALSE(MoveFileNoReplace(dir.File("a.dd8"), dir.File("a.dd8.bad")));
  }
  {
    HeldFile reader(dir.File("b.dd8"), GENERIC_READ, kShareAll);
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(RemoveFile(dir.File("b.dd8")));
  }
  EXPECT_FALSE(dir.Exists("b.dd8"));
  EXPECT_EQ(dir.Read("a.dd8.bad"), "x");
}

TEST(SpoolWindowsTest, DevicesAreNoFilesToRead) {
  std::string out;
  EXPECT_EQ(ReadFileUpTo("NUL", 1024, out), std::errc::invalid_argument);
}

TEST(SpoolWindowsTest, LogLinesAreAppendedWhileAnotherProgramHasTheLogOpen) {
  TempDir dir;
  dir.Write("error.txt", "one\r\n");
  HeldFile viewer(dir.File("error.txt"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(viewer.valid());
  EXPECT_FALSE(AppendToFile(dir.File("error.txt"), "two\r\n"));
  EXPECT_FALSE(AppendToFile(dir.File("error.txt"), "three\r\n"));
  viewer.Release();
  EXPECT_EQ(dir.Read("error.txt"), "one\r\ntwo\r\nthree\r\n");
}

TEST(SpoolWindowsTest, ReplacedFileKeepsItsAttributesAndAReadOnlyOneIsNotReplaced) {
  TempDir dir;
  dir.Write("hidden.ini", "old");
  ASSERT_TRUE(::SetFileAttributesA(dir.File("hidden.ini").c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_FALSE(ReplaceFileContents(dir.File("hidden.ini"), "new"));
  EXPECT_EQ(dir.Read("hidden.ini"), "new");
  EXPECT_NE(::GetFileAttributesA(dir.File("hidden.ini").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  dir.Write("locked.ini", "old");
  ASSERT_TRUE(::SetFileAttributesA(dir.File("locked.ini").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ReplaceFileContents(dir.File("locked.ini"), "new"), std::errc::permission_denied);
  EXPECT_EQ(dir.Read("locked.ini"), "old");
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
  ::SetFileAttributesA(dir.File("locked.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// "C:" as PathForSoob: the files land in drive C's current folder and are
// found there again.
TEST(SpoolWindowsTest, ADrivePrefixNamesThatDrivesCurrentFolder) {
  EXPECT_EQ(FolderPart("D:msg"), "D:");
  EXPECT_EQ(FolderPart("D:\\msg"), "D:\\");
  EXPECT_EQ(FolderPart("msg"), "");

  TempDir dir;
  ASSERT_EQ(dir.path()[1], ':');
  const std::string drive = dir.path().substr(0, 2);
  // Back where it was before the folder goes: Windows keeps a current
  // folder from being removed.
  struct CurrentFolder {
    explicit CurrentFolder(const std::string& path) { fs::current_path(path); }
    ~CurrentFolder() { fs::current_path(before); }
    const fs::path before = fs::current_path();
  } current(dir.path());

  const SoobBytes record = Serialize(test::SampleSoob(1));
  FakeClock clock;
  {
    EventSpool spool(drive, clock, {});
    ASSERT_TRUE(spool.StoreEvent(record));
  }
  EXPECT_TRUE(dir.Exists("2202AB3A.dd8"));
  EXPECT_EQ(ListMatches(drive, ".dd8"), std::vector<std::string>{drive + "2202AB3A.dd8"});
  EventSpool later(drive, clock, {});
  later.ScanFolder();
  const auto event = later.TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, record);
  later.EventAcknowledged(event->Id);
  EXPECT_FALSE(dir.Exists("2202AB3A.dd8"));
}

// A settings file saved by a Windows editor holds a Cyrillic PathForSoob in
// code page 1251: the records go to the folder it names.
TEST(SpoolWindowsTest, APathForSoobInCodePage1251NamesItsFolder) {
  TempDir dir;
  const std::u8string folder_name = u8"События";
  const fs::path folder = fs::path(dir.path()) / fs::path(folder_name);
  ASSERT_TRUE(fs::create_directory(folder));
  const std::string cp1251 = "\xD1\xEE\xE1\xFB\xF2\xE8\xFF";  // the same name
  const SoobBytes record = Serialize(test::SampleSoob(1));
  FakeClock clock;
  EventSpool spool(dir.Prefix() + cp1251 + "\\", clock, {});
  ASSERT_TRUE(spool.StoreEvent(record));
  EXPECT_EQ(spool.UnconfirmedCount(), 0u);
  EXPECT_TRUE(fs::exists(folder / "2202AB3A.dd8"));
  spool.ScanFolder();
  EXPECT_EQ(spool.WaitingCount(), 1u);
}

}  // namespace
}  // namespace orvent
