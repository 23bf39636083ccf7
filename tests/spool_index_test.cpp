// The spool's index on its own: no files, no threads, times passed in.
#include "delivery/spool_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/sample_records.h"

namespace orvent {
namespace {

using Item = SpoolIndex::Item;

constexpr std::int64_t kConfirmMs = 2000;
constexpr std::int64_t kPauseMs = 3000;

std::vector<SpoolNameId> Names(const std::vector<Item>& items) {
  std::vector<SpoolNameId> names;
  for (const Item& item : items) names.push_back(item.name);
  return names;
}

// Takes what may go now and acknowledges it; the names in the order given.
std::vector<SpoolNameId> Drain(SpoolIndex& index, std::int64_t now) {
  std::vector<SpoolNameId> order;
  while (const auto taken = index.Take(now)) {
    order.push_back(taken->name);
    const auto ack = index.Acknowledge(taken->id);
    if (ack.file) index.Delivered(taken->id, false);
  }
  return order;
}

// Finds `found` in one scan, with nothing happening meanwhile.
bool Scan(SpoolIndex& index, std::vector<Item> found) {
  std::vector<SpoolNameId> known;
  index.BeginScan(known);
  return index.EndScan(std::move(found), true);
}

TEST(SpoolIndexTest, NewRecordsGoInArrivalOrderThenTheBacklogOldestFirstAndEqualTimesKeepTheirOrder) {
  SpoolIndex index;
  ASSERT_TRUE(Scan(index, {{5, 10}}));
  // In the folder's order; 11 and 12 are as old as 10, which waited already.
  ASSERT_TRUE(Scan(index, {{5, 11}, {5, 12}, {3, 13}}));
  index.AddWritten(20, 9);
  index.AddWritten(21, 1);
  EXPECT_EQ(index.WaitingCount(), 6u);
  EXPECT_EQ(index.OldestOrder(), 3);  // the backlog's first is older than the first new one
  EXPECT_EQ(index.LastAcknowledgedOrder(), std::nullopt);

  // The new records in the order they came, whatever their times.
  const auto fresh = index.Take(0);
  const auto returned = index.Take(0);
  ASSERT_TRUE(fresh && returned);
  EXPECT_EQ(fresh->name, 20u);
  EXPECT_EQ(returned->name, 21u);
  index.Acknowledge(fresh->id);
  index.Delivered(fresh->id, false);
  EXPECT_EQ(index.Take(0)->name, 13u);
  const auto ten = index.Take(0);
  ASSERT_EQ(ten->name, 10u);
  // 10 and 21 come back undelivered: each goes after the records as old as it.
  EXPECT_FALSE(index.Undelivered(ten->id, kPauseMs));
  EXPECT_FALSE(index.Undelivered(returned->id, kPauseMs));
  EXPECT_EQ(Names(index.Snapshot().backlog), (std::vector<SpoolNameId>{21, 11, 12, 10}));
  EXPECT_EQ(index.OldestOrder(), 1);
  EXPECT_EQ(Drain(index, kPauseMs + 1), (std::vector<SpoolNameId>{21, 11, 12, 10}));
  EXPECT_EQ(index.OldestOrder(), 3) << "13 is still in flight, its answer not in";
  EXPECT_EQ(index.LastAcknowledgedOrder(), 5);
}

// Scans may list and index a file between its rename and its store's own
// indexing; the record must still wait once, not twice, and not again once
// it has gone on.
TEST(SpoolIndexTest, AFileScansFoundBeforeItsStoreIndexedItWaitsOnce) {
  struct Case {
    const char* name;
    int scans;                 // that end between the file's rename and its store's indexing
    bool indexed_during_scan;  // the store indexed it while the last scan ran
    bool taken;                // the link took it from the backlog meanwhile
    bool delivered;            // and its acknowledgement came
    std::vector<SpoolNameId> fresh;
    std::size_t waiting;
  };
  const Case cases[] = {
      {"no scan saw it", 0, false, false, false, {7}, 2},
      {"one scan: it goes first as new", 1, false, false, false, {7}, 2},
      {"two scans", 2, false, false, false, {7}, 2},
      {"indexed by its store while the scan ran", 1, true, false, false, {7}, 2},
      {"in flight already", 1, false, true, false, {}, 2},
      {"delivered already", 2, false, true, true, {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpoolIndex index;
    ASSERT_TRUE(Scan(index, {{5, 3}}));
    index.BeginStore();
    for (int i = 1; i <= c.scans; ++i) {
      std::vector<SpoolNameId> known;
      index.BeginScan(known);
      if (i == c.scans && c.indexed_during_scan) index.AddWritten(7, 2);
      std::vector<Item> found;
      if (!std::binary_search(known.begin(), known.end(), SpoolNameId{7})) found.push_back({2, 7});
      index.EndScan(found, true);
    }
    if (c.taken) {
      const auto taken = index.Take(0);
      ASSERT_EQ(taken->name, 7u);
      if (c.delivered) {
        ASSERT_EQ(index.Acknowledge(taken->id).file, 7u);
        index.Delivered(taken->id, false);
      }
    }
    if (!c.indexed_during_scan) index.AddWritten(7, 2);
    index.EndStore();

    const SpoolIndex::Contents contents = index.Snapshot();
    EXPECT_EQ(Names(contents.fresh), c.fresh);
    EXPECT_EQ(Names(contents.backlog), std::vector<SpoolNameId>{3});
    EXPECT_EQ(index.WaitingCount(), c.waiting);
  }
}

// A held record gets one verdict, however its answer, its deadline and the
// end fall; given up, it is not sent any more.
TEST(SpoolIndexTest, AHeldRecordIsSettledOnce) {
  SpoolIndex index;
  const SoobBytes record = Serialize(test::SampleSoob(1));
  const SpoolNameId late = index.AddHeld(record, 0, kConfirmMs);
  const SpoolNameId never_sent = index.AddHeld(record, 0, kConfirmMs);
  const SpoolNameId confirmed = index.AddHeld(record, 0, kConfirmMs + 10);
  EXPECT_TRUE(SpoolIndex::IsHeld(late));
  EXPECT_EQ(index.UnconfirmedCount(), 3u);
  EXPECT_EQ(index.NextDeadline(), kConfirmMs);

  const auto in_flight = index.Take(0);
  ASSERT_EQ(in_flight->name, late);
  EXPECT_EQ(in_flight->record, record);
  // Its time runs out while it is on its way: given up, but it keeps its
  // entry until its answer, which then settles nothing.
  EXPECT_EQ(index.Expire(kConfirmMs + 1), (std::vector<std::uint64_t>{late, never_sent}));
  EXPECT_EQ(index.WaitingCount(), 2u);
  EXPECT_EQ(index.Acknowledge(in_flight->id).confirmed, std::nullopt);
  EXPECT_TRUE(index.Expire(kConfirmMs + 1).empty());

  const auto last = index.Take(kConfirmMs + 1);
  ASSERT_EQ(last->name, confirmed);
  // The end gives it up before its answer comes, once.
  EXPECT_EQ(index.SettleAll(), std::vector<std::uint64_t>{confirmed});
  EXPECT_TRUE(index.SettleAll().empty());
  EXPECT_TRUE(index.Expire(kConfirmMs * 10).empty());
  EXPECT_EQ(index.Acknowledge(last->id).confirmed, std::nullopt);
  EXPECT_TRUE(index.SettleAll().empty());
  EXPECT_EQ(index.WaitingCount(), 0u);
  EXPECT_EQ(index.UnconfirmedCount(), 0u);
}

// The index between a folder and a link that a random script drives: files
// are written (some listed by a scan before their store indexes them),
// taken, acknowledged, refused, forgotten while busy, and scans run with
// stores and answers in the middle; held records come and expire; stale
// answers come too. After every step each waiting name is in one place only,
// the backlog is in order, and the link and the index agree on what is in
// flight. At the end every file left on disk goes, and every held record
// has had exactly one verdict.
TEST(SpoolIndexModelTest, RandomScriptsKeepEveryRecordInOnePlaceAndSettleEachHeldRecordOnce) {
  for (const unsigned seed : {20110906u, 1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    SpoolIndex index;
    std::int64_t now = 0;
    SpoolNameId next_name = 1;
    std::map<SpoolNameId, std::int64_t> disk;  // name -> order
    std::set<SpoolNameId> passed_over;
    std::vector<Item> renamed;               // on disk, their store (a batch) has not indexed them yet
    std::map<EventId, SpoolNameId> out;      // frames in flight
    std::vector<EventId> answered;
    EventId last_id = 0;
    std::optional<std::int64_t> pause_until;  // after the last frame without acknowledgement
    std::map<SpoolNameId, std::optional<bool>> verdicts;  // held record -> its verdict
    const auto give = [&](std::optional<std::uint64_t> ticket, bool confirmed) {
      if (!ticket) return;
      ASSERT_TRUE(verdicts.contains(*ticket));
      ASSERT_FALSE(verdicts[*ticket]) << "a second verdict for " << *ticket;
      verdicts[*ticket] = confirmed;
    };
    const auto order = [&] { return static_cast<std::int64_t>(random() % 40); };
    const auto write = [&] {
      const Item item{order(), next_name++};
      disk.emplace(item.name, item.order);
      if (renamed.empty() && random() % 3 != 0) {
        index.BeginStore();
        index.AddWritten(item.name, item.order);
        index.EndStore();
        return;
      }
      if (renamed.empty()) index.BeginStore();
      renamed.push_back(item);
    };
    const auto store_renamed = [&] {
      if (renamed.empty()) return;
      for (const Item& item : renamed) index.AddWritten(item.name, item.order);
      index.EndStore();
      renamed.clear();
    };
    const auto take = [&] {
      const auto due = index.MsUntilNext(now);
      const auto taken = index.Take(now);
      if (!due || *due > 0 || (pause_until && now <= *pause_until)) {
        ASSERT_FALSE(taken);
      }
      if (!taken) return;
      ASSERT_GT(taken->id, last_id) << "ids are never given again";
      last_id = taken->id;
      for (const auto& [id, name] : out) ASSERT_NE(name, taken->name) << "given twice";
      if (SpoolIndex::IsHeld(taken->name)) {
        ASSERT_FALSE(verdicts.at(taken->name)) << "given up, yet sent";
      }
      out.emplace(taken->id, taken->name);
    };
    const auto answer = [&] {
      if (out.empty()) return;
      const auto it = std::next(out.begin(), static_cast<long>(random() % out.size()));
      const auto [id, name] = *it;
      out.erase(it);
      answered.push_back(id);
      const bool held = SpoolIndex::IsHeld(name);
      switch (random() % 5) {
        case 0:
        case 1: {
          const auto ack = index.Acknowledge(id);
          if (held) {
            ASSERT_FALSE(ack.file);
            give(ack.confirmed, true);
          } else {
            ASSERT_EQ(ack.file, name);
            ASSERT_FALSE(ack.confirmed);
            // Now and then the delivered file cannot be deleted.
            const bool remains = disk.contains(name) && random() % 10 == 0;
            if (remains) passed_over.insert(name);
            disk.erase(name);
            index.Delivered(id, remains);
          }
          break;
        }
        case 2:
        case 3:
          give(index.Undelivered(id, now + kPauseMs), false);
          pause_until = now + kPauseMs;
          break;
        default:
          // A file another program holds: it leaves the index, stays on
          // disk, and a later scan finds it again.
          if (held) {
            give(index.Undelivered(id, now + kPauseMs), false);
            pause_until = now + kPauseMs;
          } else {
            index.Forget(id);
          }
          break;
      }
    };
    const auto stale_answer = [&] {
      if (answered.empty()) return;
      const EventId stale = answered[random() % answered.size()];
      const std::size_t waiting = index.WaitingCount();
      if (random() % 2) {
        const auto ack = index.Acknowledge(stale);
        ASSERT_FALSE(ack.file || ack.confirmed);
      } else {
        ASSERT_FALSE(index.Undelivered(stale, now + kPauseMs));
      }
      ASSERT_EQ(index.WaitingCount(), waiting);
    };
    // A scan, with the main thread and the link busy while it lists and
    // reads the folder.
    const auto scan = [&](bool busy) {
      std::vector<SpoolNameId> known;
      index.BeginScan(known);
      ASSERT_TRUE(std::is_sorted(known.begin(), known.end()));
      for (int i = busy ? static_cast<int>(random() % 4) : 0; i > 0; --i) random() % 2 ? write() : take();
      std::vector<Item> found;
      for (const auto& [name, at] : disk) {
        const bool bad = passed_over.contains(name);
        if (!bad && !std::binary_search(known.begin(), known.end(), name)) found.push_back({at, name});
      }
      std::shuffle(found.begin(), found.end(), random);
      for (int i = busy ? static_cast<int>(random() % 4) : 0; i > 0; --i) random() % 2 ? write() : answer();
      index.EndScan(std::move(found), true);
    };
    const auto check = [&](int step) {
      const SpoolIndex::Contents contents = index.Snapshot();
      std::set<SpoolNameId> places;
      std::size_t entries = 0;
      for (const auto* items : {&contents.fresh, &contents.backlog}) {
        for (const Item& item : *items) {
          places.insert(item.name);
          ++entries;
        }
      }
      for (const auto& [id, item] : contents.in_flight) {
        places.insert(item.name);
        ++entries;
        ASSERT_EQ(out.at(id), item.name) << "step " << step;
      }
      ASSERT_EQ(places.size(), entries) << "a record waits in two places, step " << step;
      for (const SpoolNameId name : places) {
        if (!SpoolIndex::IsHeld(name)) {
          ASSERT_TRUE(disk.contains(name)) << name << " is gone, step " << step;
        }
      }
      ASSERT_EQ(contents.in_flight.size(), out.size()) << "step " << step;
      ASSERT_EQ(index.WaitingCount(), entries);
      ASSERT_TRUE(std::is_sorted(contents.backlog.begin(), contents.backlog.end(),
                                 [](const Item& a, const Item& b) { return a.order < b.order; }))
          << "step " << step;
    };

    for (int step = 0; step < 4000; ++step) {
      switch (random() % 10) {
        case 0:
        case 1:
          write();
          break;
        case 2:
          if (random() % 4 == 0) {
            const SpoolNameId ticket =
                index.AddHeld(Serialize(test::SampleSoob(step)), order(), now + kConfirmMs);
            ASSERT_TRUE(SpoolIndex::IsHeld(ticket));
            ASSERT_TRUE(verdicts.emplace(ticket, std::nullopt).second) << "a ticket given twice";
          } else {
            store_renamed();
          }
          break;
        case 3:
        case 4:
          take();
          break;
        case 5:
        case 6:
          answer();
          break;
        case 7:
          stale_answer();
          break;
        case 8:
          scan(true);
          break;
        default:
          for (const std::uint64_t ticket : index.Expire(now)) give(ticket, false);
          if (random() % 8 == 0) {
            index.EndPause();
            pause_until.reset();
          }
          now += static_cast<std::int64_t>(random() % 1500);
          break;
      }
      if (::testing::Test::HasFatalFailure()) return;
      check(step);
      if (::testing::Test::HasFatalFailure()) return;
    }

    // The end: everything still on disk goes, once.
    store_renamed();
    for (const auto& [id, name] : out) give(index.Undelivered(id, now), false);
    out.clear();
    scan(false);
    index.EndPause();
    while (const auto taken = index.Take(now)) {
      if (SpoolIndex::IsHeld(taken->name)) {
        give(index.Acknowledge(taken->id).confirmed, true);
        continue;
      }
      ASSERT_TRUE(disk.erase(taken->name)) << taken->name << " went twice";
      ASSERT_EQ(index.Acknowledge(taken->id).file, taken->name);
      index.Delivered(taken->id, false);
    }
    for (const std::uint64_t ticket : index.SettleAll()) give(ticket, false);
    for (const SpoolNameId name : passed_over) disk.erase(name);
    EXPECT_TRUE(disk.empty()) << disk.size() << " files never went";
    EXPECT_EQ(index.WaitingCount(), 0u);
    for (const auto& [ticket, verdict] : verdicts) EXPECT_TRUE(verdict) << "no verdict for " << ticket;
  }
}

}  // namespace
}  // namespace orvent
