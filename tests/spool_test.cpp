#include "delivery/spool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery/commands.h"
#include "platform/fake_clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/bad_spool_file.h"
#include "support/sample_records.h"
#include "support/recording_spool_observer.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using test::SpoolFileText;
using test::TempDir;

// The record of the event example: account 1234, partition 01, zone 015,
// kind 1, decoded on 2011-09-06 at 14:30:00.250.
constexpr SoobBytes kRecord = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                               0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};

// A record with its own number, decoded `second` seconds after 14:30 that day.
SoobBytes NumberedRecord(std::int32_t number, int second = 0) {
  stru_soob r = test::SampleSoob(number);
  r.RecvTime = EncodeDateTime(CivilTime{2011, 9, 6, 14, 30 + second / 60, second % 60, 250});
  return Serialize(r);
}

std::int32_t NumberOf(const SoobBytes& record) { return DeserializeSoob(record)->Number; }

// Stores records together, each with the receive time it carries.
StoreResults StoreAll(EventSpool& spool, std::span<const SoobBytes> records) {
  std::vector<EventToKeep> events;
  for (const SoobBytes& record : records) events.push_back({record, DeserializeSoob(record)->RecvTime});
  return spool.StoreEvents(events);
}

// A disk whose operations fail when the test says so.
class FailingDisk final : public SpoolDisk {
public:
  std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out) override {
    if (IsHeld(path) && !held_shares_reads) return Busy();
    return SpoolDisk::ReadFileUpTo(path, limit, out);
  }
  std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes) override {
    if (fail_writes || failures_left.fetch_sub(1) > 0) return std::make_error_code(std::errc::no_space_on_device);
    return SpoolDisk::WriteNewFileFlushed(path, bytes);
  }
  std::error_code MoveFileNoReplace(const std::string& from, const std::string& to) override {
    if (IsHeld(from)) return Busy();
    if (fail_renames && !to.ends_with(kSpoolBadSuffix)) return std::make_error_code(std::errc::io_error);
    const std::error_code error = SpoolDisk::MoveFileNoReplace(from, to);
    if (!error && to.ends_with(kSpoolFileSuffix) && after_rename) std::exchange(after_rename, nullptr)();
    return error;
  }
  std::error_code FlushFolderOf(const std::string& path) override {
    if (fail_folder_flushes) return std::make_error_code(std::errc::io_error);
    return SpoolDisk::FlushFolderOf(path);
  }
  std::error_code RemoveFile(const std::string& path) override {
    if (IsHeld(path)) return Busy();
    if (fail_removes && path.ends_with(kSpoolFileSuffix)) return std::make_error_code(std::errc::read_only_file_system);
    return SpoolDisk::RemoveFile(path);
  }

  std::atomic<bool> fail_writes{false};
  std::atomic<bool> fail_renames{false};
  std::atomic<bool> fail_removes{false};
  std::atomic<bool> fail_folder_flushes{false};
  std::atomic<int> failures_left{0};  // writes that fail before the disk works
  // Runs once, right after the next spool file got its name.
  std::function<void()> after_rename;
  // A file another program holds open, as Windows reports it: neither
  // renamed nor removed, and read only when the holder shares reading.
  std::string held_path;
  bool held_shares_reads = false;

private:
  bool IsHeld(const std::string& path) const { return !held_path.empty() && path == held_path; }
  static std::error_code Busy() { return std::make_error_code(std::errc::device_or_resource_busy); }
};

class SpoolTest : public ::testing::Test {
protected:
  EventSpool& Make(const std::string& prefix) {
    spool = std::make_unique<EventSpool>(
        prefix, clock,
        &observer, &disk);
    return *spool;
  }
  EventSpool& Make() { return Make(dir.Prefix()); }

  // The names in the folder, sorted.
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> Names() const { return Names(dir.path()); }

  // The records of the spool files in the folder, by number.
  std::multiset<std::int32_t> OnDisk() const {
    std::multiset<std::int32_t> numbers;
    for (const auto& name : Names()) {
      if (!name.ends_with(kSpoolFileSuffix)) continue;
      const auto record = SpoolFileRecord(dir.Read(name));
      if (record) numbers.insert(NumberOf(*record));
    }
    return numbers;
  }

  // Takes the next event and answers it at once: the link with a server
  // that acknowledges everything.
  std::optional<std::int32_t> DeliverNext() {
    const auto event = spool->TakeNextEvent();
    if (!event) return std::nullopt;
    spool->EventAcknowledged(event->Id);
    return NumberOf(event->Record);
  }

  TempDir dir;
  FakeClock clock;  // 2011-09-06 14:30:00.250
  FailingDisk disk;
  test::RecordingSpoolObserver observer;
  std::vector<std::int32_t>& errors = observer.errors;
  std::vector<std::string>& statuses = observer.statuses;
  std::atomic<int>& reports_waiting = observer.reports_waiting;
  std::atomic<bool>& server_takes = observer.server_takes;
  std::vector<std::pair<std::uint64_t, bool>>& verdicts = observer.verdicts;
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

TEST(SpoolFileRecordTest, OnlyExactly24BytesThatStartWithTheEventCommand) {
  const std::string good = SpoolFileText(kRecord);
  EXPECT_EQ(SpoolFileRecord(good), kRecord);
  std::string other_command = good;
  other_command[0] = 0x21;
  for (const std::string& bad : {std::string(), std::string("\x20\x00\x00\x03", 4), good.substr(0, 23), good + "x",
                                 other_command}) {
    EXPECT_FALSE(SpoolFileRecord(bad)) << bad.size() << " bytes";
  }
}

TEST_F(SpoolTest, EveryRecordIsOne24ByteFileNamedAfterTheClockBeforeItCanGo) {
  Make();
  clock.SetWall({2011, 9, 1, 0, 0, 0, 0});  // the record's own time does not name the file
  ASSERT_TRUE(spool->StoreEvent(kRecord));

  ASSERT_EQ(Names(), std::vector<std::string>{"5265C00.dd8"});
  EXPECT_EQ(dir.Read("5265C00.dd8"), std::string("\x20\x00\x00\x03", 4) + std::string(kRecord.begin(), kRecord.end()));
  EXPECT_EQ(spool->WaitingCount(), 1u);

  // The file goes only with the acknowledgement of the frame that carried it.
  const auto event = spool->TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, kRecord);
  EXPECT_TRUE(dir.Exists("5265C00.dd8"));
  spool->EventAcknowledged(event->Id);
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(spool->WaitingCount(), 0u);
  EXPECT_FALSE(spool->TakeNextEvent());
  EXPECT_TRUE(errors.empty());
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
      {"folder with the system's own separator", std::string("spool") + kPathSeparator, "spool/2202AB3A.dd8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    fs::create_directory(folder.File("spool"));
    // A file that the prefix does not cover is never sent.
    folder.Write("other.dd8", SpoolFileText(NumberedRecord(9)));
    const fs::path before = fs::current_path();
    std::string prefix = folder.path() + "/" + c.prefix;
    if (c.prefix.empty()) {
      fs::remove(folder.File("other.dd8"));
      fs::current_path(folder.path());
      prefix.clear();
    }
    EventSpool s(prefix, clock, {});
    ASSERT_TRUE(s.StoreEvent(kRecord));
    EXPECT_TRUE(folder.Exists(c.file_path));
    s.ScanFolder();
    EXPECT_EQ(s.WaitingCount(), 1u);
    const auto event = s.TakeNextEvent();
    ASSERT_TRUE(event);
    s.EventAcknowledged(event->Id);
    EXPECT_FALSE(folder.Exists(c.file_path));
    EXPECT_FALSE(s.TakeNextEvent());
    fs::current_path(before);
  }
}

TEST_F(SpoolTest, NewRecordsGoFirstThenTheBacklogOldestRecordFirst) {
  // A backlog whose names do not sort by time (the 9th sorts after the 10th).
  dir.Write("9.dd8", SpoolFileText(NumberedRecord(3, 30)));
  dir.Write("10.dd8", SpoolFileText(NumberedRecord(1, 10)));
  dir.Write("A4CB7FFF.dd8", SpoolFileText(NumberedRecord(2, 20)));
  Make();
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(100, 50)));
  spool->ScanFolder();
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(101, 40)));
  EXPECT_EQ(spool->WaitingCount(), 5u);

  std::vector<std::int32_t> order;
  while (const auto number = DeliverNext()) order.push_back(*number);
  EXPECT_EQ(order, (std::vector<std::int32_t>{100, 101, 1, 2, 3}));
  EXPECT_TRUE(Names().empty());
}

TEST_F(SpoolTest, OnlyItsOwnAcknowledgementDeletesAFile) {
  Make();
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(1)));
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(2)));
  const auto first = spool->TakeNextEvent();
  ASSERT_TRUE(first);
  spool->EventUndelivered(first->Id);
  // Acknowledgements of frames long answered, or never sent, change nothing.
  spool->EventAcknowledged(first->Id);
  spool->EventAcknowledged(first->Id + 100);
  EXPECT_EQ(OnDisk(), (std::multiset<std::int32_t>{1, 2}));
  EXPECT_EQ(spool->WaitingCount(), 2u);
}

TEST_F(SpoolTest, AfterARecordWithoutAcknowledgementNothingGoesFor3000Ms) {
  Make();
  EXPECT_EQ(spool->MsUntilNextEvent(), std::nullopt);
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(1)));
  EXPECT_EQ(spool->MsUntilNextEvent(), 0);
  const auto event = spool->TakeNextEvent();
  ASSERT_TRUE(event);
  spool->EventUndelivered(event->Id);
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(2)));

  EXPECT_EQ(spool->MsUntilNextEvent(), 3001);
  clock.Advance(3000);
  EXPECT_FALSE(spool->TakeNextEvent());
  EXPECT_EQ(spool->MsUntilNextEvent(), 1);
  clock.Advance(1);
  // The new record first, then the one that went unanswered.
  EXPECT_EQ(DeliverNext(), 2);
  EXPECT_EQ(DeliverNext(), 1);

  // A new connection ends the pause at once.
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(3)));
  spool->EventUndelivered(spool->TakeNextEvent()->Id);
  EXPECT_FALSE(spool->TakeNextEvent());
  spool->SpoolLinkUp();
  EXPECT_EQ(DeliverNext(), 3);
}

// Acknowledgements of other frames, stale ones and repeats land between any
// two steps of the spool's work, from another thread too: a record leaves
// the disk exactly when its own frame was acknowledged.
TEST_F(SpoolTest, RandomInterleavingsNeverLoseOrWronglyDeleteARecord) {
  Make();
  std::mt19937 random(20110906);
  std::map<EventId, std::int32_t> in_flight;
  std::vector<EventId> answered;
  std::multiset<std::int32_t> expected;  // stored and not acknowledged
  std::int32_t next_number = 1;
  for (int step = 0; step < 3000; ++step) {
    switch (random() % 6) {
      case 0:
      case 1:
        ASSERT_TRUE(spool->StoreEvent(NumberedRecord(next_number, static_cast<int>(random() % 600))));
        expected.insert(next_number++);
        break;
      case 2:
        if (const auto event = spool->TakeNextEvent()) in_flight.emplace(event->Id, NumberOf(event->Record));
        break;
      case 3:
        if (!in_flight.empty()) {
          auto it = std::next(in_flight.begin(), static_cast<long>(random() % in_flight.size()));
          if (random() % 2) {
            spool->EventAcknowledged(it->first);
            expected.erase(expected.find(it->second));
          } else {
            spool->EventUndelivered(it->first);
          }
          answered.push_back(it->first);
          in_flight.erase(it);
        }
        break;
      case 4:
        // A stale answer, from the link thread.
        if (!answered.empty()) {
          const EventId stale = answered[random() % answered.size()];
          std::jthread([&] { random() % 2 ? spool->EventAcknowledged(stale) : spool->EventUndelivered(stale); }).join();
        }
        break;
      default:
        if (random() % 4 == 0) spool->ScanFolder();
        clock.Advance(static_cast<std::int64_t>(random() % 2000));
        break;
    }
    if (step % 100 == 0) {
      ASSERT_EQ(OnDisk(), expected) << "step " << step;
    }
  }
  for (const auto& [id, number] : in_flight) spool->EventUndelivered(id);
  spool->SpoolLinkUp();
  std::multiset<std::int32_t> delivered;
  while (const auto number = DeliverNext()) delivered.insert(*number);
  EXPECT_EQ(delivered, expected);
  EXPECT_TRUE(OnDisk().empty());
  EXPECT_TRUE(errors.empty());
}

TEST_F(SpoolTest, TakenNameIsNeverOverwrittenTheNextNumberIsUsed) {
  dir.Write("2202AB3A.dd8", SpoolFileText(NumberedRecord(1)));
  dir.Write("2202AB3B.dd8", SpoolFileText(NumberedRecord(2)));
  Make();
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(3)));
  EXPECT_EQ(dir.Read("2202AB3A.dd8"), SpoolFileText(NumberedRecord(1)));
  EXPECT_EQ(dir.Read("2202AB3B.dd8"), SpoolFileText(NumberedRecord(2)));
  EXPECT_EQ(dir.Read("2202AB3C.dd8"), SpoolFileText(NumberedRecord(3)));
}

// Where names ignore letter case (Windows) the lower-case name is the one
// the new file would get; it is taken all the same, not replaced.
TEST_F(SpoolTest, ANameTakenInOtherLetterCaseIsNeverOverwritten) {
  dir.Write("2202ab3a.dd8", SpoolFileText(NumberedRecord(1)));
  Make();
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(3)));
  EXPECT_EQ(dir.Read("2202ab3a.dd8"), SpoolFileText(NumberedRecord(1)));
  EXPECT_EQ(OnDisk(), (std::multiset<std::int32_t>{1, 3}));
  spool->ScanFolder();
  std::multiset<std::int32_t> delivered;
  while (const auto number = DeliverNext()) delivered.insert(*number);
  EXPECT_EQ(delivered, (std::multiset<std::int32_t>{1, 3}));
  EXPECT_TRUE(Names().empty());
}

TEST_F(SpoolTest, PathForSoobMayNameAFolderInCyrillic) {
  // Settings and paths are UTF-8 throughout.
  const std::u8string folder_name = u8"События";
  const std::string folder(folder_name.begin(), folder_name.end());
  const fs::path folder_path = fs::path(dir.path()) / fs::path(folder_name);
  ASSERT_TRUE(fs::create_directory(folder_path));
  const std::string prefix = dir.Prefix() + folder + "/";
  {
    EventSpool s(prefix, clock, {});
    ASSERT_TRUE(s.StoreEvent(kRecord));
    EXPECT_EQ(s.UnconfirmedCount(), 0u);
  }
  EXPECT_TRUE(fs::exists(folder_path / "2202AB3A.dd8"));
  // A later run finds it by listing the folder.
  EventSpool later(prefix, clock, {});
  later.ScanFolder();
  ASSERT_EQ(later.WaitingCount(), 1u);
  const auto event = later.TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, kRecord);
  later.EventAcknowledged(event->Id);
  EXPECT_TRUE(fs::is_empty(folder_path));
}

// A spool folder that is missing, or a file where it should be: the disk
// refuses every record. Without the server nothing is kept in memory: the
// receiver keeps the message. The disk taking files again is told.
TEST_F(SpoolTest, AFolderThatCannotTakeRecordsKeepsNothingInMemory) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> spoil;
  };
  const Case cases[] = {
      {"missing folder", [](const TempDir&) {}},
      {"a file in its place", [](const TempDir& d) { d.Write("spool", "not a folder"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    c.spoil(folder);
    test::RecordingSpoolObserver heard;
    const std::vector<std::int32_t>& logged = heard.errors;
    const std::vector<std::string>& told = heard.statuses;
    EventSpool s(folder.File("spool") + "/", clock, &heard);
    const SoobBytes records[] = {NumberedRecord(1), NumberedRecord(2)};
    const StoreResults results = StoreAll(s, records);
    ASSERT_EQ(results.size(), 2u);
    for (const StoreResult& r : results) EXPECT_EQ(r.Kept, RecordKept::Refused);
    EXPECT_EQ(s.WaitingCount(), 0u);
    EXPECT_EQ(s.UnconfirmedCount(), 0u);
    EXPECT_EQ(logged, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
    EXPECT_EQ(told, std::vector<std::string>{kSpoolWriteFailedStatus});

    fs::remove(folder.File("spool"));
    ASSERT_TRUE(fs::create_directory(folder.File("spool")));
    EXPECT_TRUE(s.StoreEvent(NumberedRecord(3)));
    EXPECT_EQ(told, (std::vector<std::string>{kSpoolWriteFailedStatus, kSpoolWriteBackStatus}));
    EXPECT_EQ(Names(folder.File("spool")).size(), 1u);
    s.Close();
  }
}

struct DiskFailure {
  const char* name;
  bool writes;
  bool renames;
  bool folder_flushes = false;
};

void PrintTo(const DiskFailure& f, std::ostream* os) { *os << f.name; }

class SpoolDiskFailures : public SpoolTest, public ::testing::WithParamInterface<DiskFailure> {};

// While the disk refuses records and the server takes events, each record
// goes to the server, and its message may be acknowledged only on the
// server's confirmation of that very record, within kServerConfirmMs.
TEST_P(SpoolDiskFailures, RecordsTheDiskRefusesWaitForTheServersConfirmation) {
  Make();
  server_takes = true;
  disk.fail_writes = GetParam().writes;
  disk.fail_renames = GetParam().renames;
  disk.fail_folder_flushes = GetParam().folder_flushes;
  const SoobBytes records[] = {NumberedRecord(1), NumberedRecord(2), NumberedRecord(3), NumberedRecord(4)};
  const StoreResults results = StoreAll(*spool, records);
  for (const StoreResult& r : results) EXPECT_EQ(r.Kept, RecordKept::AwaitingServer);
  EXPECT_EQ(spool->UnconfirmedCount(), 4u);
  EXPECT_TRUE(Names().empty());  // no temporary file is left either
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
  EXPECT_EQ(statuses, std::vector<std::string>{kSpoolWriteFailedStatus});

  // Confirmed: its verdict says so. Not confirmed: given up at once.
  EXPECT_EQ(DeliverNext(), 1);
  const auto refused = spool->TakeNextEvent();
  ASSERT_TRUE(refused);
  spool->EventUndelivered(refused->Id);
  spool->SpoolLinkUp();
  // One in flight when its time runs out, one that never went.
  const auto late = spool->TakeNextEvent();
  ASSERT_TRUE(late);
  EXPECT_EQ(spool->MsUntilCheck(), EventSpool::kServerConfirmMs + 1);
  clock.Advance(EventSpool::kServerConfirmMs + 1);
  spool->CheckStep();
  EXPECT_EQ(spool->UnconfirmedCount(), 0u);
  EXPECT_FALSE(spool->TakeNextEvent()) << "a record given up is not sent any more";
  spool->EventAcknowledged(late->Id);  // too late: no verdict
  EXPECT_EQ(verdicts, (std::vector<std::pair<std::uint64_t, bool>>{
                          {results[0].Ticket, true}, {results[1].Ticket, false},
                          {results[2].Ticket, false}, {results[3].Ticket, false}}));
  EXPECT_EQ(spool->WaitingCount(), 0u);

  // The disk's trouble is told again every minute while it lasts, and its
  // end as soon as a file can be written.
  clock.Advance(EventSpool::kDiskNoticeMs - EventSpool::kServerConfirmMs);
  spool->CheckStep();
  EXPECT_EQ(statuses, (std::vector<std::string>{kSpoolWriteFailedStatus, kSpoolWriteFailedStatus}));
  disk.fail_writes = false;
  disk.fail_renames = false;
  disk.fail_folder_flushes = false;
  clock.Advance(EventSpool::kDiskNoticeMs);
  spool->CheckStep();
  EXPECT_EQ(statuses.back(), kSpoolWriteBackStatus);
  EXPECT_EQ(spool->MsUntilCheck(), std::nullopt);
  EXPECT_TRUE(Names().empty()) << "the probe leaves no file behind";
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolWriteErrorNumber});
}

INSTANTIATE_TEST_SUITE_P(Cases, SpoolDiskFailures,
                         ::testing::Values(DiskFailure{"WriteFails", true, false},
                                           DiskFailure{"RenameFailsAfterTheWrite", false, true},
                                           // The files are whole, but their names may not outlive
                                           // a power loss: no ACK on their word.
                                           DiskFailure{"FolderFlushFailsAfterTheRename", false, false, true}),
                         [](const ::testing::TestParamInfo<DiskFailure>& info_) {
                           return std::string(info_.param.name);
                         });

TEST_F(SpoolTest, TheOrderlyEndGivesUpWhatAwaitsTheServer) {
  Make();
  server_takes = true;
  disk.fail_writes = true;
  const SoobBytes records[] = {NumberedRecord(1), NumberedRecord(2)};
  const StoreResults results = StoreAll(*spool, records);
  spool->Close();
  EXPECT_EQ(verdicts, (std::vector<std::pair<std::uint64_t, bool>>{{results[0].Ticket, false},
                                                                   {results[1].Ticket, false}}));
  EXPECT_TRUE(Names().empty());
}

// A batch is flushed together: every record is on disk when StoreEvents
// returns, under names of its own, even when they are written within one
// millisecond.
TEST_F(SpoolTest, ABatchOfRecordsIsWrittenWhole) {
  Make();
  std::vector<SoobBytes> records;
  for (int i = 0; i < 50; ++i) records.push_back(NumberedRecord(i));
  const StoreResults results = StoreAll(*spool, records);
  for (const StoreResult& r : results) EXPECT_EQ(r.Kept, RecordKept::OnDisk);
  std::multiset<std::int32_t> expected;
  for (int i = 0; i < 50; ++i) expected.insert(i);
  EXPECT_EQ(OnDisk(), expected);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(DeliverNext(), i) << "new records go in their order";
}

// A file another program holds (Windows refuses to share a file being
// copied in, or one a virus scanner has open) waits for a later scan; it is
// neither set aside nor in the way of the records behind it.
TEST_F(SpoolTest, AFileHeldByAnotherProgramWaitsWithoutHoldingUpTheRest) {
  struct Case {
    const char* name;
    bool shares_reads;
    std::string while_held;  // what the file holds meanwhile
  };
  const Case cases[] = {
      {"not shared at all", false, SpoolFileText(NumberedRecord(1))},
      {"shared for reading while it is written", true, SpoolFileText(NumberedRecord(1)).substr(0, 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    folder.Write("1.dd8", c.while_held);
    folder.Write("2.dd8", SpoolFileText(NumberedRecord(2, 1)));
    disk.held_path = folder.File("1.dd8");
    disk.held_shares_reads = c.shares_reads;
    test::RecordingSpoolObserver heard;
    const std::vector<std::int32_t>& logged = heard.errors;
    EventSpool s(folder.Prefix(), clock, &heard, &disk);
    s.ScanFolder();
    auto event = s.TakeNextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(NumberOf(event->Record), 2);
    s.EventAcknowledged(event->Id);
    s.ScanFolder();
    EXPECT_FALSE(s.TakeNextEvent());

    folder.Write("1.dd8", SpoolFileText(NumberedRecord(1)));
    disk.held_path.clear();
    s.ScanFolder();
    event = s.TakeNextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(NumberOf(event->Record), 1);
    s.EventAcknowledged(event->Id);
    s.EmitReports();
    EXPECT_TRUE(logged.empty());
    EXPECT_TRUE(Names(folder.path()).empty());
  }
}

TEST_F(SpoolTest, AFileHeldAfterItWasIndexedIsPassedByUntilItIsFree) {
  dir.Write("1.dd8", SpoolFileText(NumberedRecord(1)));
  dir.Write("2.dd8", SpoolFileText(NumberedRecord(2, 1)));
  Make();
  spool->ScanFolder();
  disk.held_path = dir.File("1.dd8");
  // No pause: the next record goes at once.
  EXPECT_EQ(DeliverNext(), 2);
  EXPECT_FALSE(spool->TakeNextEvent());
  EXPECT_EQ(Names(), std::vector<std::string>{"1.dd8"});

  disk.held_path.clear();
  spool->ScanFolder();
  EXPECT_EQ(DeliverNext(), 1);
  EXPECT_TRUE(Names().empty());
  spool->EmitReports();
  EXPECT_TRUE(errors.empty());
}

TEST_F(SpoolTest, FilesFromOutsideJoinTheBacklogAtTheNextScan) {
  Make();
  spool->ScanFolder();
  dir.Write("ABC.dd8", SpoolFileText(NumberedRecord(7)));
  dir.Write("copied from elsewhere.dd8", SpoolFileText(NumberedRecord(8, 1)));
  EXPECT_FALSE(spool->TakeNextEvent());
  spool->ScanFolder();
  spool->ScanFolder();  // found once
  EXPECT_EQ(spool->WaitingCount(), 2u);
  EXPECT_EQ(DeliverNext(), 7);
  EXPECT_EQ(DeliverNext(), 8);
  EXPECT_TRUE(Names().empty());
}

TEST_F(SpoolTest, TheScannerFindsTheBacklogWithoutHoldingTheSpool) {
  for (int i = 0; i < 200; ++i) dir.Write(SpoolNameText(0x1000 + i) + ".dd8", SpoolFileText(NumberedRecord(i, i)));
  Make();
  spool->StartScanner();
  // Meanwhile new records are taken and sent.
  ASSERT_TRUE(spool->StoreEvent(NumberedRecord(1000, 599)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (spool->WaitingCount() < 201 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(spool->WaitingCount(), 201u);
  EXPECT_EQ(DeliverNext(), 1000);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(DeliverNext(), i);
  spool->Close();
}

// Scans that list the folder after a new file got its name and end before
// the file is indexed (the batch's folder flush lies in between) must not
// index it a second time: it would go to the server twice. Nor may the
// store index it again once the link has delivered it meanwhile.
TEST_F(SpoolTest, AFileScansFindBeforeItsStoreIndexesItGoesOnce) {
  struct Case {
    const char* name;
    int scans;
    bool delivered_meanwhile;  // and its file could not be deleted
  };
  const Case cases[] = {
      {"one scan", 1, false},
      {"two scans", 2, false},
      {"one scan, then the link delivered it", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    disk.fail_removes = false;
    Make(folder.Prefix());
    disk.after_rename = [&] {
      for (int i = 0; i < c.scans; ++i) spool->ScanFolder();
      if (!c.delivered_meanwhile) return;
      disk.fail_removes = true;
      ASSERT_EQ(DeliverNext(), 1);
    };
    ASSERT_TRUE(spool->StoreEvent(NumberedRecord(1)));
    if (!c.delivered_meanwhile) {
      EXPECT_EQ(spool->WaitingCount(), 1u);
      EXPECT_EQ(DeliverNext(), 1);
    }
    EXPECT_EQ(spool->WaitingCount(), 0u);
    EXPECT_FALSE(spool->TakeNextEvent());
    EXPECT_EQ(Names(folder.path()).size(), c.delivered_meanwhile ? 1u : 0u);
  }
}

// Closing right after the scanner starts finds it anywhere: scanning, just
// going to sleep or asleep. Wherever, its wake-up must not be lost.
TEST_F(SpoolTest, TheScannerEndsWhereverItIsWhenTheSpoolCloses) {
  for (int i = 0; i < 200; ++i) {
    Make();
    spool->StartScanner();
    if (i % 2 == 1) std::this_thread::yield();
    auto closed = std::async(std::launch::async, [&] { spool->Close(); });
    if (closed.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
      ADD_FAILURE() << "Close did not return in round " << i;
      // A deadlocked scanner cannot be recovered; end rather than hang.
      std::fflush(nullptr);
      std::_Exit(1);
    }
    closed.get();
  }
}

TEST_F(SpoolTest, TemporaryFilesOfACrashAreRecoveredWhenWholeAndRemovedWhenNot) {
  dir.Write("5265C00-0A1B2C3D-3.tmp", SpoolFileText(NumberedRecord(1)));
  dir.Write("5265C00.dd8", SpoolFileText(NumberedRecord(2, 1)));
  dir.Write("-7.tmp", SpoolFileText(NumberedRecord(3, 2)));     // an older run, no name could be formed
  dir.Write("12AB-1.tmp", SpoolFileText(NumberedRecord(4)).substr(0, 23));  // cut off in its write
  dir.Write("12AB-0A1B2C3D-2.tmp", std::string("\x20\x00", 2));
  // Not of ours: left alone.
  dir.Write("notes.tmp", "text");
  dir.Write("12AB-x.tmp", SpoolFileText(NumberedRecord(5)));
  Make();
  spool->ScanFolder();

  EXPECT_EQ(Names(), (std::vector<std::string>{".dd8", "12AB-x.tmp", "5265C00.dd8", "5265C01.dd8", "notes.tmp"}));
  EXPECT_EQ(dir.Read("5265C01.dd8"), SpoolFileText(NumberedRecord(1)));
  EXPECT_EQ(dir.Read(".dd8"), SpoolFileText(NumberedRecord(3, 2)));
  EXPECT_EQ(spool->WaitingCount(), 3u);
  EXPECT_EQ(DeliverNext(), 1);
  EXPECT_EQ(DeliverNext(), 2);
  EXPECT_EQ(DeliverNext(), 3);
}

TEST_F(SpoolTest, FilesThatAreNoSpoolFilesOfOursAreSetAside) {
  std::string other_command = SpoolFileText(kRecord);
  other_command[1] = 0x01;
  const test::BadSpoolFile cases[] = {
      {"empty", [](const TempDir& d) { d.Write("0.dd8", ""); }},
      {"the command code alone", [](const TempDir& d) { d.Write("0.dd8", std::string("\x20\x00\x00\x03", 4)); }},
      {"another command", [&](const TempDir& d) { d.Write("0.dd8", other_command); }},
      {"longer than a record", [](const TempDir& d) { d.Write("0.dd8", SpoolFileText(kRecord) + "x"); }},
      {"larger than any spool file",
       [](const TempDir& d) { d.Write("0.dd8", std::string(kMaxSpoolFileSize + 1, '\x20')); }},
      {"a folder", [](const TempDir& d) { fs::create_directory(d.File("0.dd8")); }},
  };
  for (const test::BadSpoolFile& c : cases) test::ExpectSetAsideBesideAGoodFile(c, kRecord);
}

TEST_F(SpoolTest, AFileSpoiledAfterItWasIndexedIsSetAsideWhenItsTurnComes) {
  dir.Write("1.dd8", SpoolFileText(NumberedRecord(1)));
  dir.Write("2.dd8", SpoolFileText(NumberedRecord(2, 1)));
  dir.Write("3.dd8", SpoolFileText(NumberedRecord(3, 2)));
  Make();
  spool->ScanFolder();
  dir.Write("1.dd8", "spoiled");
  ASSERT_TRUE(fs::remove(dir.File("2.dd8")));  // deleted by someone
  EXPECT_EQ(DeliverNext(), 3);
  spool->EmitReports();
  EXPECT_EQ(dir.Read("1.dd8.bad"), "spoiled");
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
}

TEST_F(SpoolTest, WhatAScanOnAnotherThreadFoundAsksToBeTold) {
  dir.Write("0.dd8", "not a record");
  Make();
  std::jthread([this] { spool->ScanFolder(); }).join();
  EXPECT_EQ(reports_waiting, 1);
  EXPECT_TRUE(errors.empty());  // told only on the main thread
  spool->EmitReports();
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
}

TEST_F(SpoolTest, FileThatCannotBeSetAsideIsPassedOverForGood) {
  Make();
  dir.Write("0.dd8", "");
  // Every name it could be set aside under is taken.
  dir.Write("0.dd8.bad", "first");
  for (int n = 2; n <= 16; ++n) dir.Write("0.dd8." + std::to_string(n) + ".bad", "");
  dir.Write("1.dd8", SpoolFileText(kRecord));
  spool->ScanFolder();
  spool->ScanFolder();
  spool->EmitReports();
  EXPECT_EQ(spool->WaitingCount(), 1u);
  EXPECT_TRUE(dir.Exists("0.dd8"));
  EXPECT_EQ(dir.Read("0.dd8.bad"), "first");
  EXPECT_EQ(errors, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
}

TEST_F(SpoolTest, ADeliveredFileThatCannotBeDeletedNeverGoesAgain) {
  Make();
  ASSERT_TRUE(spool->StoreEvent(kRecord));
  disk.fail_removes = true;
  EXPECT_EQ(DeliverNext(), NumberOf(kRecord));
  spool->ScanFolder();
  EXPECT_FALSE(spool->TakeNextEvent());
  EXPECT_EQ(Names().size(), 1u);
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
  test::RecordingSpoolObserver heard;
  const std::vector<std::int32_t>& logged = heard.errors;
  EventSpool s(dir.Prefix(), broken, &heard);
  ASSERT_TRUE(s.StoreEvent(kRecord));
  ASSERT_TRUE(s.StoreEvent(NumberedRecord(2)));
  EXPECT_EQ(dir.Read(".dd8"), SpoolFileText(kRecord));
  EXPECT_EQ(dir.Read("1.dd8"), SpoolFileText(NumberedRecord(2)));
  EXPECT_EQ(logged, (std::vector<std::int32_t>{kSpoolNameErrorNumber, kSpoolNameErrorNumber}));
  // Both are found again by name.
  EventSpool later(dir.Prefix(), broken, {});
  later.ScanFolder();
  EXPECT_EQ(later.WaitingCount(), 2u);
}

// Files of any size and content: every file is either sent and deleted or
// set aside, and the spool never stalls on one.
TEST_F(SpoolTest, RandomFilesNeverBlockTheSpool) {
  std::mt19937 random(20110906);
  constexpr int kFiles = 300;
  int good = 0;
  for (int i = 0; i < kFiles; ++i) {
    std::string contents;
    const unsigned pick = random() % 10;
    if (pick == 0) {
      contents = SpoolFileText(NumberedRecord(i));
      ++good;
    } else {
      const std::size_t size = pick == 9 ? kMaxSpoolFileSize + 1 + random() % 100 : random() % 40;
      contents.resize(size);
      for (char& ch : contents) ch = static_cast<char>(random());
    }
    dir.Write(SpoolNameText(static_cast<std::uint32_t>(i)) + ".dd8", contents);
  }
  Make();
  spool->ScanFolder();
  int sent = 0;
  while (DeliverNext()) ++sent;
  spool->EmitReports();
  const auto names = Names();
  EXPECT_EQ(sent, good);
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".bad"); }),
            static_cast<long>(names.size()));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kFiles - good));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), kSpoolBadFileErrorNumber), kFiles - good);
}

}  // namespace
}  // namespace orvent
