#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "delivery/event_outbox.h"
#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "delivery/spool_folder.h"
#include "delivery/spool_index.h"
#include "delivery/spool_observer.h"
#include "platform/clock.h"

namespace orvent {

// The spool file's layout and names, its error numbers and status lines are
// in delivery/spool_folder.h; the order of what waits in delivery/spool_index.h.


// The event spool, which is the server link's outbox. Every event record is
// written here before the receiver gets its ACK, and stays until the server
// acknowledges the very frame that carried it. A record the disk refuses is
// not acknowledged on memory's word: it goes to the server at once, and its
// message is acknowledged only when the server confirms it within
// kServerConfirmMs; otherwise the receiver keeps it and sends it again.
//
// The spool keeps an index of its files in memory, so that nothing searches
// the folder for the next file to send. A scanner thread builds it at
// start-up (a backlog of 100,000 files takes seconds to read from a cold
// disk, and neither the main thread nor the link waits for it) and looks again
// every few seconds for files put into the folder from outside.
//
// The spool pairs an index (SpoolIndex), which decides what goes next and
// does no I/O, with its folder (SpoolFolder), which does every file
// operation; each call here is the index's step under its lock and the
// folder's outside it.
//
// Threads: StoreEvents, CheckStep, EmitReports and Close on the main
// thread; the EventOutbox calls on the link thread; ScanFolder on the
// scanner thread (or a test's). One mutex guards the index; no file is read
// or written under it.
class EventSpool final : public EventOutbox, public EventSink {
public:
  // `path_for_soob` is the `PathForSoob` setting, used exactly as written.
  // `observer` (none when null) and `disk` (the platform's files when null)
  // must outlive the spool.
  EventSpool(std::string path_for_soob, const Clock& clock, SpoolObserver* observer, SpoolDisk* disk = nullptr);
  // Stops the scanner; what awaits the server's confirmation is given up
  // without its verdict (Close gives it).
  ~EventSpool() override;
  EventSpool(const EventSpool&) = delete;
  EventSpool& operator=(const EventSpool&) = delete;

  // Starts the scanner thread: a first scan at once, then one every kRescanMs.
  void StartScanner();
  // One scan of the folder: on the first, temporary files left by a crash
  // are recovered when whole and removed when not. Files that are no spool
  // files of ours are set aside. New files join the backlog.
  void ScanFolder();
  // Called whenever a record becomes ready to send (the link's wake-up).
  void AttachWake(std::function<void()> wake);

  // Main thread: finished records go to spool files, flushed together
  // (each file, then the folder once). A record the disk refuses goes to the
  // server when it takes events, and its answer says so; the results come
  // in the records' order.
  StoreResults StoreEvents(std::span<const EventToKeep> events) override;
  // One record (its order read from its RecvTime); true when it is on disk.
  bool StoreEvent(const SoobBytes& record);
  // Main thread, at the times MsUntilCheck gives: records the server did
  // not confirm in time are given up, and while the disk refuses files it is
  // tried every minute and said so.
  void CheckStep();
  // Milliseconds until CheckStep has something to do; nullopt: nothing.
  std::optional<std::int64_t> MsUntilCheck() const;
  // The orderly end, once the link has stopped: stops the scanner; records
  // still awaiting the server's confirmation are given up (not acknowledged).
  void Close();
  // Main thread: tells the error log and the status lines what the spool found
  // since the last call.
  void EmitReports();

  // EventOutbox, on the link thread.
  std::optional<OutboxEvent> TakeNextEvent() override;
  void EventAcknowledged(EventId id) override;
  void EventUndelivered(EventId id) override;
  void SpoolLinkUp() override;
  std::optional<std::int64_t> MsUntilNextEvent() const override;

  // Records waiting for the server's acknowledgement, in flight included.
  std::size_t WaitingCount() const;
  // The backlog as a person reads it: records waiting (in flight included),
  // the receive time of the oldest, and that of the last record the server
  // acknowledged. A time the record does not carry usably is left out.
  struct Backlog {
    std::size_t Waiting = 0;
    std::optional<TDateTime> Oldest;
    std::optional<TDateTime> LastConfirmed;
  };
  Backlog BacklogNow() const;
  // Records the disk refused that await the server's confirmation.
  std::size_t UnconfirmedCount() const;
  // Whether the disk refused the last write.
  bool WriteFailing() const;
  const std::string& PathForSoob() const { return folder_.Prefix(); }

  // How long a record the disk refused may wait for the server's
  // confirmation before its message is left to the receiver, well within
  // the receiver's patience.
  static constexpr std::int64_t kServerConfirmMs = 2000;
  // While the disk refuses files it is tried again, and said so, this often.
  static constexpr std::int64_t kDiskNoticeMs = SpoolFolder::kDiskNoticeMs;
  // After a record that drew no acknowledgement nothing goes for this long.
  static constexpr std::int64_t kResendMs = 3000;
  // Files put into the folder from outside are found within this.
  static constexpr std::int64_t kRescanMs = SpoolFolder::kRescanMs;
  // Names tried after the first one is taken (v + 1, v + 2, ...).
  static constexpr std::uint32_t kMaxNameAttempts = SpoolFolder::kMaxNameAttempts;

private:
  void ScanFolder(const std::stop_token& stop);
  // Gives held records' verdicts, with no lock held.
  void GiveVerdicts(std::span<const std::uint64_t> tickets, bool confirmed);
  // Sets an unsendable file aside, or passes it over when even that fails.
  void SetAside(SpoolNameId name);
  void Wake();

  const Clock& clock_;
  SpoolObserver* const observer_;  // may be null
  SpoolDisk own_disk_;
  SpoolFolder folder_;

  // Lock order: scan_mutex_, then mutex_. The folder's own locks are taken
  // alone, never under these, and no outlet is called under either.
  std::mutex scan_mutex_;  // one scan at a time
  mutable std::mutex mutex_;
  SpoolIndex index_;
  std::function<void()> wake_;
};

}  // namespace orvent
