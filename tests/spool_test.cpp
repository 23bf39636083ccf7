#include "delivery/spool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "delivery/commands.h"
#include "platform/fake_clock.h"
#include "platform/files.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// The record of the event example: account 1234, partition 01, zone 015,
// kind 1, decoded on 2011-09-06 at 14:30:00.250.
constexpr SoobBytes kRecord = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                               0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};

SoobBytes NumberedRecord(std::int32_t number) {
  SoobBytes r = kRecord;
  for (int i = 0; i < 4; ++i) r[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(number >> (8 * i));
  return r;
}

using test::SpoolFileText;

// A server link that only records what it is given.
class FakeLink final : public SpoolLinkView {
public:
  struct Frame {
    std::uint32_t command = 0;
    std::vector<std::uint8_t> payload;
    bool live = false;
    std::string spool_file;
  };

  bool LinkUp() const override { return up; }
  bool Accepted() const override { return accepted; }
  bool PostSpoolFrame(std::uint32_t command, std::span<const std::uint8_t> payload, const std::string& file) override {
    return Push({command, {payload.begin(), payload.end()}, false, file});
  }
  bool PostLiveEvent(const SoobBytes& record) override {
    return Push({cmd_event, {record.begin(), record.end()}, true, {}});
  }

  std::vector<Frame> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t Count() const { return Frames().size(); }

  std::atomic<bool> up{true};
  std::atomic<bool> accepted{true};
  std::atomic<bool> queue_full{false};

private:
  bool Push(Frame frame) {
    if (queue_full) return false;
    std::lock_guard lock(mutex_);
    frames_.push_back(std::move(frame));
    return true;
  }
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
};

class SpoolTest : public ::testing::Test {
protected:
  std::string Prefix() const { return dir.path() + "/"; }

  EventSpool& Make(const std::string& prefix, SpoolLinkView* with_link) {
    spool = std::make_unique<EventSpool>(
        prefix, clock, with_link,
        SpoolOutlets{[this](std::int32_t n) { errors.push_back(n); },
                     [this](const std::string& text) { statuses.push_back(text); }});
    return *spool;
  }
  EventSpool& Make() { return Make(Prefix(), &link); }

  // The names in the folder, sorted.
  std::vector<std::string> Names(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> Names() const { return Names(dir.path()); }

  // Spools records while the link is down, one millisecond apart.
  void SpoolWhileDown(int count) {
    link.up = false;
    for (int i = 0; i < count; ++i) {
      spool->SendOrSpool(NumberedRecord(i));
      clock.Advance(1);
    }
    link.up = true;
  }

  TempDir dir;
  FakeClock clock;  // 2011-09-06 14:30:00.250
  FakeLink link;
  std::vector<std::int32_t> errors;
  std::vector<std::string> statuses;
  std::unique_ptr<EventSpool> spool;
};

TEST(SpoolFileNameTest, MillisecondsOfTheMonthPlusOneDayInUpperCaseHex) {
  struct Case {
    CivilTime time;
    const char* name;
  };
  const Case cases[] = {
      {{2011, 9, 6, 14, 30, 0, 250}, "2202AB3A"},
      {{2011, 9, 1, 0, 0, 0, 0}, "5265C00"},
      {{2011, 10, 31, 23, 59, 59, 999}, "A4CB7FFF"},
      {{2024, 2, 29, 12, 0, 0, 1}, "97EB9A01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SpoolFileName(EncodeDateTime(c.time)), c.name);
  }
}

TEST(SpoolFileNameTest, NoNameForWhatIsNotADateTime) {
  for (const double t : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(), 1e300, -1e300, 2958466.0}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(SpoolFileName(t), "");
  }
}

TEST_F(SpoolTest, ASpooledRecordIsOne24ByteFileNamedAfterTheClock) {
  Make();
  link.up = false;
  clock.SetWall({2011, 9, 1, 0, 0, 0, 0});  // the record's own time does not name the file
  spool->SendOrSpool(kRecord);

  ASSERT_EQ(Names(), std::vector<std::string>{"5265C00.dd8"});
  const std::string expected = std::string("\x20\x00\x00\x03", 4) + std::string(kRecord.begin(), kRecord.end());
  EXPECT_EQ(dir.Read("5265C00.dd8"), expected);
  EXPECT_EQ(link.Count(), 0u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SpoolTest, RecordGoesStraightToTheLinkOnlyWhenUpAcceptedAndIdle) {
  struct Case {
    const char* name;
    bool has_link;
    bool up;
    bool accepted;
    bool queue_full;
    bool live;  // else spooled
  };
  const Case cases[] = {
      {"up, accepted, idle", true, true, true, false, true},
      {"no link thread", false, true, true, false, false},
      {"link down", true, false, true, false, false},
      {"not accepted", true, true, false, false, false},
      {"queue refuses the record", true, true, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    FakeLink fake;
    fake.up = c.up;
    fake.accepted = c.accepted;
    fake.queue_full = c.queue_full;
    EventSpool s(folder.path() + "/", clock, c.has_link ? &fake : nullptr, {});
    s.SendOrSpool(kRecord);

    const auto frames = fake.Frames();
    ASSERT_EQ(frames.size(), c.live ? 1u : 0u);
    if (c.live) {
      EXPECT_TRUE(frames[0].live);
      EXPECT_EQ(frames[0].payload, std::vector<std::uint8_t>(kRecord.begin(), kRecord.end()));
    }
    EXPECT_EQ(Names(folder.path()).size(), c.live ? 0u : 1u);
  }
}

TEST_F(SpoolTest, PathForSoobIsAPlainPrefix) {
  struct Case {
    const char* name;
    std::string prefix;     // relative to the test folder, or empty
    std::string file_path;  // where the file lands, relative to the test folder
  };
  const Case cases[] = {
      {"folder with separator", "spool/", "spool/2202AB3A.dd8"},
      {"folder without separator", "spool", "spool2202AB3A.dd8"},
      {"empty: the working directory", "", "2202AB3A.dd8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    fs::create_directory(folder.File("spool"));
    // A file that the prefix does not cover is never replayed.
    folder.Write("other.dd8", SpoolFileText(kRecord));
    const fs::path before = fs::current_path();
    std::string prefix = folder.path() + "/" + c.prefix;
    if (c.prefix.empty()) {
      fs::remove(folder.File("other.dd8"));
      fs::current_path(folder.path());
      prefix.clear();
    }
    FakeLink fake;
    fake.up = false;
    EventSpool s(prefix, clock, &fake, {});
    s.SendOrSpool(kRecord);
    EXPECT_TRUE(folder.Exists(c.file_path));

    fake.up = true;
    s.ReplayStep();
    EXPECT_EQ(fake.Count(), 1u);
    EXPECT_EQ(s.PendingSoobFile(), prefix + "2202AB3A.dd8");
    s.SpoolAcknowledged();
    EXPECT_FALSE(folder.Exists(c.file_path));
    fs::current_path(before);
  }
}

TEST_F(SpoolTest, ReplaysOneFileAtATimeAndDeletesItOnAcknowledgement) {
  Make();
  SpoolWhileDown(2);
  spool->SpoolLinkUp();

  spool->ReplayStep();
  auto frames = link.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(frames[0].live);
  EXPECT_EQ(frames[0].command, cmd_event);
  ASSERT_EQ(frames[0].payload.size(), stru_soob::kSize);
  const std::string first = spool->PendingSoobFile();
  ASSERT_FALSE(first.empty());

  // One file in flight: nothing more goes out, and a new record is spooled
  // although the link is up and accepted.
  spool->ReplayStep();
  spool->SendOrSpool(NumberedRecord(7));
  EXPECT_EQ(link.Count(), 1u);
  EXPECT_EQ(Names().size(), 3u);

  // Without an acknowledgement the same file goes again after more than 3 s.
  clock.Advance(3000);
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 1u);
  clock.Advance(1);
  spool->ReplayStep();
  frames = link.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].payload, frames[0].payload);
  EXPECT_EQ(spool->PendingSoobFile(), first);

  // The acknowledgement deletes it, and the next file goes at the next tick.
  spool->SpoolAcknowledged();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(spool->PendingSoobFile(), "");
  EXPECT_EQ(MsFromDateTime(spool->LastReplayTime()), clock.WallMs() - kMsPerDay);
  spool->ReplayStep();
  ASSERT_EQ(link.Count(), 3u);
  EXPECT_NE(spool->PendingSoobFile(), first);

  // Draining the rest leaves an empty folder.
  for (int i = 0; i < 4; ++i) {
    spool->SpoolAcknowledged();
    spool->ReplayStep();
  }
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(link.Count(), 4u);
}

TEST_F(SpoolTest, AFileWhoseFrameTheQueueRefusedIsNotInFlight) {
  Make();
  SpoolWhileDown(1);
  spool->SpoolLinkUp();
  link.queue_full = true;
  spool->ReplayStep();
  EXPECT_EQ(spool->PendingSoobFile(), "");
  // The acknowledgement of another frame must not delete the unsent file.
  spool->SpoolAcknowledged();
  EXPECT_EQ(Names().size(), 1u);

  link.queue_full = false;
  clock.Advance(3001);
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 1u);
  EXPECT_FALSE(spool->PendingSoobFile().empty());
}

TEST_F(SpoolTest, AReplayedRecordHandedBackIsWrittenOnlyWhenItsFileIsGone) {
  Make();
  SpoolWhileDown(1);
  spool->SpoolLinkUp();
  spool->ReplayStep();
  const auto frames = link.Frames();
  ASSERT_EQ(frames.size(), 1u);
  const std::string file = frames[0].spool_file;
  EXPECT_EQ(file, spool->PendingSoobFile());
  SoobBytes record{};
  std::copy(frames[0].payload.begin(), frames[0].payload.end(), record.begin());

  // The file still holds the record: nothing new is written.
  spool->SpoolUndelivered(record, file);
  EXPECT_EQ(Names().size(), 1u);
  // Deleted by the acknowledgement of another frame: the record is spooled again.
  spool->SpoolAcknowledged();
  ASSERT_TRUE(Names().empty());
  spool->SpoolUndelivered(record, file);
  ASSERT_EQ(Names().size(), 1u);
  EXPECT_EQ(dir.Read(Names()[0]), SpoolFileText(record));
}

TEST_F(SpoolTest, NewConnectionReplaysAtOnce) {
  Make();
  SpoolWhileDown(1);
  spool->SpoolLinkUp();
  spool->ReplayStep();
  ASSERT_EQ(link.Count(), 1u);

  clock.Advance(200);
  spool->SpoolLinkUp();
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 2u);
}

TEST_F(SpoolTest, NothingIsReplayedUnlessTheLinkIsUpAndAccepted) {
  struct Case {
    const char* name;
    bool has_link;
    bool up;
    bool accepted;
  };
  const Case cases[] = {
      {"no link thread", false, true, true},
      {"link down", true, false, true},
      {"not accepted", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    folder.Write("2202AB3A.dd8", SpoolFileText(kRecord));
    FakeLink fake;
    fake.up = c.up;
    fake.accepted = c.accepted;
    EventSpool s(folder.path() + "/", clock, c.has_link ? &fake : nullptr, {});
    s.ReplayStep();
    EXPECT_EQ(fake.Count(), 0u);
    EXPECT_EQ(s.PendingSoobFile(), "");
  }
}

TEST_F(SpoolTest, AcknowledgementWithoutAnExistingPendingFileChangesNothing) {
  Make();
  clock.Advance(5000);
  spool->SpoolAcknowledged();
  EXPECT_EQ(spool->LastReplayTime(), 0.0);

  SpoolWhileDown(1);
  spool->ReplayStep();
  const std::string pending = spool->PendingSoobFile();
  const TDateTime replayed = spool->LastReplayTime();
  ASSERT_TRUE(fs::remove(pending));
  spool->SpoolAcknowledged();
  EXPECT_EQ(spool->PendingSoobFile(), pending);
  EXPECT_EQ(spool->LastReplayTime(), replayed);
}

TEST_F(SpoolTest, ClockSetBackDelaysTheResendUntilItCatchesUp) {
  Make();
  SpoolWhileDown(1);
  spool->ReplayStep();
  ASSERT_EQ(link.Count(), 1u);

  clock.SetWallMs(clock.WallMs() - 10'000);
  clock.Advance(3001);
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 1u);
  clock.Advance(10'000);
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 2u);
}

TEST_F(SpoolTest, FileIsReplayedAsItsCommandCodeAndWhateverFollows) {
  struct Case {
    const char* name;
    std::string contents;
    std::uint32_t command;
    std::size_t payload_size;
  };
  const Case cases[] = {
      {"command code alone", std::string("\x20\x00\x00\x03", 4), cmd_event, 0},
      {"another command", std::string("\x01\x02\x03\x04", 4) + "xyz", 0x04030201, 3},
      {"longer than a record", SpoolFileText(kRecord) + "extra", cmd_event, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    folder.Write("1.dd8", c.contents);
    FakeLink fake;
    EventSpool s(folder.path() + "/", clock, &fake, {});
    s.ReplayStep();
    const auto frames = fake.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, c.command);
    EXPECT_EQ(frames[0].payload.size(), c.payload_size);
  }
}

TEST_F(SpoolTest, TakenNameIsNeverOverwrittenTheNextNumberIsUsed) {
  Make();
  dir.Write("2202AB3A.dd8", "older record A");
  dir.Write("2202AB3B.dd8", "older record B");
  link.up = false;
  spool->SendOrSpool(kRecord);

  EXPECT_EQ(dir.Read("2202AB3A.dd8"), "older record A");
  EXPECT_EQ(dir.Read("2202AB3B.dd8"), "older record B");
  EXPECT_EQ(dir.Read("2202AB3C.dd8"), SpoolFileText(kRecord));
  EXPECT_EQ(Names().size(), 3u);
}

TEST_F(SpoolTest, BothThreadsSpoolingInTheSameMillisecondLoseNothing) {
  Make();
  link.up = false;
  constexpr int kEach = 100;
  std::jthread link_thread([this] {
    for (int i = 0; i < kEach; ++i) spool->SpoolUndelivered(NumberedRecord(1000 + i));
  });
  for (int i = 0; i < kEach; ++i) spool->SendOrSpool(NumberedRecord(i));
  link_thread.join();

  const auto names = Names();
  ASSERT_EQ(names.size(), 2u * kEach);
  std::vector<std::string> contents;
  for (const auto& name : names) {
    EXPECT_TRUE(name.ends_with(".dd8")) << name;
    contents.push_back(dir.Read(name));
  }
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(std::count(contents.begin(), contents.end(), SpoolFileText(NumberedRecord(i))), 1);
    EXPECT_EQ(std::count(contents.begin(), contents.end(), SpoolFileText(NumberedRecord(1000 + i))), 1);
  }
}

TEST_F(SpoolTest, TemporaryFilesAreNeitherLeftNorReplayed) {
  // What a crash in the middle of a write would leave, and a temporary name
  // of this very write already taken by it.
  dir.Write("2202AB3A-0.tmp", std::string("\x20\x00", 2));
  Make();
  link.up = false;
  spool->SendOrSpool(kRecord);
  EXPECT_EQ(Names(), (std::vector<std::string>{"2202AB3A-0.tmp", "2202AB3A.dd8"}));

  ASSERT_TRUE(fs::remove(dir.File("2202AB3A.dd8")));
  link.up = true;
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 0u);
}

TEST_F(SpoolTest, WholeRecordsOfAnInterruptedRunAreNamedAtStart) {
  dir.Write("5265C00-3.tmp", SpoolFileText(NumberedRecord(1)));
  dir.Write("5265C00.dd8", SpoolFileText(NumberedRecord(2)));
  dir.Write("-7.tmp", SpoolFileText(NumberedRecord(3)));  // written when no name could be formed
  // Not ours, or not whole: left alone.
  dir.Write("notes.tmp", SpoolFileText(NumberedRecord(4)));
  dir.Write("12AB-x.tmp", SpoolFileText(NumberedRecord(4)));
  dir.Write("12AB-1.tmp", SpoolFileText(NumberedRecord(4)).substr(0, 23));
  Make();

  EXPECT_EQ(dir.Read("5265C00.dd8"), SpoolFileText(NumberedRecord(2)));
  EXPECT_EQ(dir.Read("5265C01.dd8"), SpoolFileText(NumberedRecord(1)));
  EXPECT_EQ(dir.Read(".dd8"), SpoolFileText(NumberedRecord(3)));
  EXPECT_EQ(Names(), (std::vector<std::string>{".dd8", "12AB-1.tmp", "12AB-x.tmp", "5265C00.dd8", "5265C01.dd8",
                                               "notes.tmp"}));
}

TEST_F(SpoolTest, UnreadableOrShortFileIsSetAsideAndTheNextGoesOut) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> make;  // makes "0.dd8"
  };
  const Case cases[] = {
      {"empty", [](const TempDir& d) { d.Write("0.dd8", ""); }},
      {"shorter than the command code", [](const TempDir& d) { d.Write("0.dd8", "\x20\x00\x00"); }},
      {"larger than any spool file",
       [](const TempDir& d) { d.Write("0.dd8", std::string(kMaxSpoolFileSize + 1, '\x20')); }},
      {"a folder", [](const TempDir& d) { fs::create_directory(d.File("0.dd8")); }},
      {"a pipe without a writer", [](const TempDir& d) { ASSERT_EQ(::mkfifo(d.File("0.dd8").c_str(), 0600), 0); }},
      {"a dangling link", [](const TempDir& d) { fs::create_symlink(d.File("nowhere"), d.File("0.dd8")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    c.make(folder);
    folder.Write("1.dd8", SpoolFileText(kRecord));
    FakeLink fake;
    std::vector<std::int32_t> logged;
    EventSpool s(folder.path() + "/", clock, &fake, {[&](std::int32_t n) { logged.push_back(n); }, {}});

    // Both files come out of one tick, whichever the folder lists first.
    s.ReplayStep();
    EXPECT_TRUE(fs::exists(fs::symlink_status(folder.File("0.dd8.bad"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.File("0.dd8"))));
    EXPECT_EQ(logged, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
    ASSERT_EQ(fake.Count(), 1u);
    EXPECT_EQ(s.PendingSoobFile(), folder.File("1.dd8"));
  }
}

TEST_F(SpoolTest, FileThatCannotBeSetAsideIsPassedOver) {
  Make();
  dir.Write("0.dd8", "");
  // Every name it could be set aside under is taken.
  dir.Write("0.dd8.bad", "");
  for (int n = 2; n <= EventSpool::kMaxBadFilesPerTick; ++n) dir.Write("0.dd8." + std::to_string(n) + ".bad", "");
  dir.Write("1.dd8", SpoolFileText(kRecord));

  spool->ReplayStep();
  EXPECT_EQ(spool->PendingSoobFile(), dir.File("1.dd8"));
  spool->SpoolAcknowledged();
  spool->ReplayStep();
  EXPECT_EQ(link.Count(), 1u);
  EXPECT_TRUE(dir.Exists("0.dd8"));
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
}

TEST_F(SpoolTest, SecondBadFileOfTheSameNameIsKeptBesideTheFirst) {
  Make();
  dir.Write("0.dd8", "");
  dir.Write("0.dd8.bad", "first");
  spool->ReplayStep();
  EXPECT_EQ(dir.Read("0.dd8.bad"), "first");
  EXPECT_TRUE(dir.Exists("0.dd8.2.bad"));
}

TEST_F(SpoolTest, RecordThatCannotBeWrittenIsHeldAndWrittenAtALaterTick) {
  const std::string folder = dir.File("missing");
  Make(folder + "/", &link);
  link.up = false;
  for (int i = 0; i < 3; ++i) spool->SendOrSpool(NumberedRecord(i));
  EXPECT_EQ(spool->HeldRecordCount(), 3u);
  // One report for the whole streak.
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
  EXPECT_EQ(statuses, std::vector<std::string>{kSpoolWriteFailedStatus});

  clock.Advance(200);
  spool->ReplayStep();
  EXPECT_EQ(spool->HeldRecordCount(), 3u);
  EXPECT_EQ(errors.size(), 1u);

  fs::create_directory(folder);
  clock.Advance(200);
  spool->ReplayStep();
  EXPECT_EQ(spool->HeldRecordCount(), 0u);
  // Written in the order they came, all at the same time: v, v + 1, v + 2.
  const auto names = Names(folder);
  ASSERT_EQ(names.size(), 3u);
  const std::string v = SpoolFileName(clock.Now());
  EXPECT_EQ(dir.Read("missing/" + v + ".dd8"), SpoolFileText(NumberedRecord(0)));
  EXPECT_EQ(dir.Read("missing/" + SpoolNameText(*SpoolNameValue(clock.Now()) + 2) + ".dd8"),
            SpoolFileText(NumberedRecord(2)));

  // A new streak is reported anew.
  fs::remove_all(folder);
  spool->SendOrSpool(NumberedRecord(3));
  EXPECT_EQ(errors, (std::vector<std::int32_t>{kSpoolWriteErrorNumber, kSpoolWriteErrorNumber}));
}

TEST_F(SpoolTest, WriteFailureOnTheLinkThreadIsToldAtTheNextTick) {
  Make(dir.File("missing") + "/", &link);
  std::jthread([this] { spool->SpoolUndelivered(kRecord); }).join();
  EXPECT_EQ(spool->HeldRecordCount(), 1u);
  EXPECT_TRUE(errors.empty());

  spool->ReplayStep();
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
  EXPECT_EQ(statuses.size(), 1u);
}

TEST_F(SpoolTest, HeldRecordsAreBoundedAndALossIsTold) {
  Make(dir.File("missing") + "/", &link);
  link.up = false;
  for (std::size_t i = 0; i < EventSpool::kMaxHeldRecords + 2; ++i) {
    spool->SendOrSpool(NumberedRecord(static_cast<std::int32_t>(i)));
  }
  EXPECT_EQ(spool->HeldRecordCount(), EventSpool::kMaxHeldRecords);
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
  EXPECT_EQ(statuses, (std::vector<std::string>{kSpoolWriteFailedStatus, kSpoolMemoryFullStatus}));
}

// A clock whose wall time is not a date-time.
class BrokenWallClock final : public Clock {
public:
  TDateTime Now() const override { return std::numeric_limits<double>::quiet_NaN(); }
  std::int64_t MonotonicMs() const override { return 0; }
  std::uint32_t TickCount() const override { return 0; }
};

TEST_F(SpoolTest, RecordIsSpooledEvenWhenNoNameCanBeFormed) {
  BrokenWallClock broken;
  std::vector<std::int32_t> logged;
  EventSpool s(Prefix(), broken, nullptr, {[&](std::int32_t n) { logged.push_back(n); }, {}});
  s.SendOrSpool(kRecord);
  s.SendOrSpool(NumberedRecord(2));
  EXPECT_EQ(dir.Read(".dd8"), SpoolFileText(kRecord));
  EXPECT_EQ(dir.Read("1.dd8"), SpoolFileText(NumberedRecord(2)));
  EXPECT_EQ(logged, (std::vector<std::int32_t>{kSpoolNameErrorNumber, kSpoolNameErrorNumber}));
}

// Files of any size and content: every tick ends, and every file is either
// sent and deleted or set aside.
TEST_F(SpoolTest, RandomFilesNeverBlockTheSpool) {
  Make();
  std::mt19937 random(20110906);
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) {
    std::string contents;
    const unsigned pick = random() % 10;
    if (pick == 0) {
      contents = SpoolFileText(NumberedRecord(i));
    } else {
      const std::size_t size = pick == 9 ? kMaxSpoolFileSize + 1 + random() % 100 : random() % 40;
      contents.resize(size);
      for (char& ch : contents) ch = static_cast<char>(random());
    }
    dir.Write(SpoolNameText(static_cast<std::uint32_t>(i)) + ".dd8", contents);
  }

  for (int ticks = 0; ticks < 2 * kFiles && FindFirstMatch(Prefix(), ".dd8"); ++ticks) {
    spool->ReplayStep();
    spool->SpoolAcknowledged();
    clock.Advance(200);
  }
  EXPECT_FALSE(FindFirstMatch(Prefix(), ".dd8"));
  const auto names = Names();
  const std::size_t bad = static_cast<std::size_t>(
      std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".bad"); }));
  EXPECT_EQ(bad, names.size());
  EXPECT_EQ(link.Count() + bad, static_cast<std::size_t>(kFiles));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), kSpoolBadFileErrorNumber), static_cast<long>(bad));
}

}  // namespace
}  // namespace orvent
