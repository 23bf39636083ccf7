#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "delivery/event_outbox.h"
#include "delivery/event_record.h"

namespace orvent {

// What an entry of the spool index stands for. Below kSpoolHeldBase a spool
// file, by a number the folder gives its name (the index never looks inside
// it); from kSpoolHeldBase on a record the disk refused, held in memory until
// the server confirms it. That number is also the ticket of its verdict.
using SpoolNameId = std::uint64_t;
inline constexpr SpoolNameId kSpoolHeldBase = SpoolNameId{1} << 62;

// The spool's index: which records wait, in which order, and which are in
// flight under which EventId. It reads no file and no clock and has no
// thread: the caller passes the times in, and guards it with one mutex.
//
// Every waiting record is in exactly one place: fresh (written by this run,
// not yet tried, in arrival order), backlog (everything else, oldest record
// first; equal times keep the order they came in) or in flight. Nothing is
// given twice while in flight, an EventId is never given again, and each
// held record gets one verdict.
class SpoolIndex {
public:
  // One waiting record: its place in the backlog (the record's time as
  // milliseconds) and what it is.
  struct Item {
    std::int64_t order = 0;
    SpoolNameId name = 0;
  };

  static bool IsHeld(SpoolNameId name) { return name >= kSpoolHeldBase; }

  // A store is about to write files, and until EndStore indexes them a scan
  // may list them: what scans find meanwhile is remembered (see
  // FoundWhileStoring). The main thread stores, one batch at a time.
  void BeginStore() { storing_ = true; }
  // A file the store has written and flushed. It goes first, unless a scan
  // indexed it meanwhile and it has gone on from the backlog.
  void AddWritten(SpoolNameId name, std::int64_t order);
  void EndStore();
  // A record the disk refused, held until the server confirms it or
  // `deadline` passes. Returns its name, which is its ticket.
  SpoolNameId AddHeld(const SoobBytes& record, std::int64_t order, std::int64_t deadline);

  struct Taken {
    EventId id = 0;
    SpoolNameId name = 0;
    SoobBytes record{};  // a held record's bytes; a file's are read by the caller
  };
  // The next record, now in flight under a new id; nullopt when none waits or
  // the resend pause lasts at `now`. Held records given up already leave on
  // the way.
  std::optional<Taken> Take(std::int64_t now);

  // The server acknowledged frame `id`. A held record leaves at once, and
  // `confirmed` is its ticket when that settles it. A file stays in flight,
  // so that no scan takes it for a new one while it is deleted, until
  // Delivered.
  struct Acknowledgement {
    std::optional<SpoolNameId> file;
    std::optional<std::uint64_t> confirmed;
  };
  Acknowledgement Acknowledge(EventId id);
  // The file of frame `id` is deleted, or it `remains` on disk: then it is
  // never sent again.
  void Delivered(EventId id, bool remains);
  // Frame `id` drew no acknowledgement: nothing goes until `pause_until` has
  // passed; a file waits in the backlog again, a held record is given up
  // (its ticket is returned when that settles it).
  std::optional<std::uint64_t> Undelivered(EventId id, std::int64_t pause_until);
  // Frame `id`'s file could not be read: it leaves the index without a pause.
  void Forget(EventId id);
  // A file never to send again, which no scan may add.
  void PassOver(SpoolNameId name);
  // A new connection: the resend pause ends.
  void EndPause() { pause_until_.reset(); }

  // Held records whose deadline lies before `now` are given up; their
  // tickets. One in flight keeps its entry until its answer, which then
  // settles nothing.
  std::vector<std::uint64_t> Expire(std::int64_t now);
  // Every held record not settled yet is given up; their tickets.
  std::vector<std::uint64_t> SettleAll();

  // A scan begins: `known` becomes every name the scan must not add (waiting,
  // in flight or passed over), sorted. Until EndScan, what AddWritten adds
  // is remembered.
  void BeginScan(std::vector<SpoolNameId>& known);
  // The scan found `found` (in the folder's order), and the listing was
  // whole when `listed`. What AddWritten added meanwhile is left out, the
  // rest joins the backlog in order. True when anything joined.
  bool EndScan(std::vector<Item> found, bool listed);

  // Records waiting, in flight included.
  std::size_t WaitingCount() const { return fresh_.size() + backlog_.size() + in_flight_.size(); }
  // Held records not settled yet.
  std::size_t UnconfirmedCount() const;
  // The earliest deadline among held records not settled yet.
  std::optional<std::int64_t> NextDeadline() const;
  // Milliseconds until Take may give a record (0: now); nullopt when none waits.
  std::optional<std::int64_t> MsUntilNext(std::int64_t now) const;
  // The order of the oldest waiting record, in flight included; nullopt
  // when none waits. Fresh records come in arrival order, so the first of
  // them is taken for their oldest.
  std::optional<std::int64_t> OldestOrder() const;
  // The order of the last record the server acknowledged.
  std::optional<std::int64_t> LastAcknowledgedOrder() const { return last_acknowledged_order_; }

  // Where each waiting record is, for tests and diagnostics.
  struct Contents {
    std::vector<Item> fresh;
    std::vector<Item> backlog;
    std::map<EventId, Item> in_flight;
  };
  Contents Snapshot() const;

private:
  struct HeldRecord {
    SoobBytes record{};
    std::int64_t deadline = 0;
    bool settled = false;  // its verdict has been given
  };

  void InsertBacklog(const Item& item);
  bool InFlight(SpoolNameId name) const;
  std::optional<std::uint64_t> Settle(SpoolNameId held);
  // A file a store wrote may have been listed and indexed by scans before
  // the store could index it (its name comes before the batch's folder
  // flush); indexed twice, it would go twice. Such a file leaves the
  // backlog (the caller indexes it as new); true when it has gone on from
  // there (in flight, delivered, or left for a later scan), and so must not
  // be indexed again.
  bool FoundWhileStoring(SpoolNameId name);

  std::deque<Item> fresh_;
  std::deque<Item> backlog_;
  std::map<EventId, Item> in_flight_;
  EventId last_id_ = 0;
  std::map<SpoolNameId, HeldRecord> held_;  // in the order they came
  SpoolNameId last_held_ = kSpoolHeldBase;
  // Files never to send again: delivered but undeletable, or unreadable and
  // impossible to set aside.
  std::set<SpoolNameId> passed_over_;
  bool scanning_ = false;
  std::vector<SpoolNameId> added_during_scan_;
  bool storing_ = false;
  std::set<SpoolNameId> found_while_storing_;  // what scans added to the backlog meanwhile
  std::optional<std::int64_t> pause_until_;
  std::optional<std::int64_t> last_acknowledged_order_;
};

}  // namespace orvent
