#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "delivery/event_record.h"
#include "delivery/spool_link.h"
#include "platform/clock.h"

namespace orvent {

// A spool file holds one frame's command code and payload:
//
//   offset  size  field
//        0     4  command code, uint32 little-endian: 20 00 00 03 (cmd_event)
//        4    20  the event record, byte for byte
//
// A reader takes everything after the command code as the payload, whatever
// its length. Files are named `PathForSoob` + name + ".dd8"; `PathForSoob` is
// a plain prefix, so a folder is written with its trailing separator.
inline constexpr char kSpoolFileSuffix[] = ".dd8";
// What a spool file that cannot be replayed is renamed to: its name + this.
inline constexpr char kSpoolBadSuffix[] = ".bad";
inline constexpr std::size_t kSpoolCommandSize = 4;
inline constexpr std::size_t kSpoolFileSize = kSpoolCommandSize + stru_soob::kSize;
// No spool file the driver writes comes near this; a larger one is set aside
// instead of being read into memory and sent.
inline constexpr std::size_t kMaxSpoolFileSize = std::size_t{1} << 20;

using SpoolFileBytes = std::array<std::uint8_t, kSpoolFileSize>;
SpoolFileBytes MakeSpoolFileBytes(const SoobBytes& record);

// Error-log numbers of the spool.
inline constexpr std::int32_t kSpoolNameErrorNumber = 11;   // no name could be formed
inline constexpr std::int32_t kSpoolWriteErrorNumber = 12;  // a record could not be written
inline constexpr std::int32_t kSpoolBadFileErrorNumber = 13;  // a file was set aside

// Status lines for `Memo1`.
inline constexpr char kSpoolWriteFailedStatus[] =
    "Ошибка записи события на диск - события хранятся в памяти.";
inline constexpr char kSpoolMemoryFullStatus[] = "Переполнение памяти событий - событие потеряно.";

// The number a spool file written at local time `t` is named after: the
// milliseconds since the start of the month plus one day,
// ((day * 86400 + h * 3600 + m * 60 + s) * 1000 + ms). nullopt when `t` is
// not a date-time (not finite, or outside the years 1..9999).
std::optional<std::uint32_t> SpoolNameValue(TDateTime t);

// The value in upper-case hexadecimal without leading zeros: "5265C00" on
// the 1st at 00:00:00.000 up to "A4CB7FFF" on the 31st at 23:59:59.999.
std::string SpoolNameText(std::uint32_t value);

// The base name of a new spool file; empty when no name can be formed.
std::string SpoolFileName(TDateTime t);

// What the spool reaches outside itself. Both may be left empty. They are
// called on the window thread only (from SendOrSpool, ReplayStep and
// EmitReports), with no lock of the spool held: failures found on the link
// thread wait for the next tick to be told. Whatever they raise passes to the
// caller after the record is safe.
struct SpoolOutlets {
  // Appends a number to the error log.
  std::function<void(std::int32_t number)> LogError;
  // Adds a status line to `Memo1`.
  std::function<void(const std::string& text)> ShowStatus;
};

// The event spool: decides for every finished record whether it goes
// straight to the server link or into a spool file, replays spool files one
// at a time, and deletes a file once the server acknowledges it.
//
// Threads: SendOrSpool and ReplayStep run on the window thread;
// SpoolAcknowledged, SpoolLinkUp and SpoolUndelivered on the link thread.
// `PendingSoobFile` and `LastReplayTime` are kept under one lock.
class EventSpool {
public:
  // `path_for_soob` is the `PathForSoob` setting, used exactly as written.
  // `link` may be null while no link thread exists. Gives spool names to the
  // whole records that an earlier run had written but not yet named.
  EventSpool(std::string path_for_soob, const Clock& clock, SpoolLinkView* link, SpoolOutlets outlets);
  EventSpool(const EventSpool&) = delete;
  EventSpool& operator=(const EventSpool&) = delete;

  // The link is made after the spool (it calls back into it).
  void AttachLink(SpoolLinkView* link) { link_.store(link); }

  // Window thread: a finished record, to the link or to a spool file.
  void SendOrSpool(const SoobBytes& record);
  // Window thread, first step of every 200 ms tick: writes records held in
  // memory, then hands at most one spool file to the link.
  void ReplayStep();

  // Link thread: the server acknowledged an event.
  void SpoolAcknowledged();
  // Link thread: a connection has just been established.
  void SpoolLinkUp();
  // Any thread: a live record whose delivery became uncertain, or that was
  // still queued when the link stopped. Written to a spool file; held in
  // memory when that fails.
  // `spool_file`, when given, is the replayed file the record came from:
  // while it exists it still holds the record, and nothing is written.
  void SpoolUndelivered(const SoobBytes& record, const std::string& spool_file = {});

  // Any thread: writes records held in memory after a failed write, a few
  // per call. True when none is left.
  bool RetryHeldRecords();

  // Window thread: tells the error log and `Memo1` what the spool found
  // since the last call. SendOrSpool and ReplayStep do this themselves; at an
  // orderly end, once the link thread has stopped, a last call tells what
  // its final SpoolUndelivered calls found.
  void EmitReports();

  std::string PendingSoobFile() const;
  TDateTime LastReplayTime() const;
  std::size_t HeldRecordCount() const;
  const std::string& PathForSoob() const { return path_for_soob_; }

  // Records kept in memory while spool files cannot be written; beyond this
  // a record is lost (and the operator told).
  static constexpr std::size_t kMaxHeldRecords = 65536;
  // Held records written per call, so that a long backlog does not freeze
  // the window.
  static constexpr std::size_t kHeldWritesPerCall = 16;
  // A file in flight without an acknowledgement goes out again after this.
  static constexpr std::int64_t kResendMs = 3000;
  // Names tried after the first one is taken (v + 1, v + 2, ...).
  static constexpr std::uint32_t kMaxNameAttempts = 65536;
  // Files set aside per tick before the tick gives up on finding a good one.
  static constexpr int kMaxBadFilesPerTick = 16;

private:
  struct Report {
    std::int32_t error = 0;
    std::string status;
  };

  // Writes the record under a fresh name; true when it is on disk.
  bool WriteSpoolFile(const SoobBytes& record);
  // Names a flushed temporary file v, v + 1, ... whichever is free first.
  bool MoveToFreeName(const std::string& temp, std::optional<std::uint32_t> value);
  void RecoverInterruptedWrites();
  // Disk path of SendOrSpool and SpoolUndelivered.
  void StoreRecord(const SoobBytes& record);
  void HoldLocked(const SoobBytes& record);
  bool FlushHeldLocked();
  void ReplayOne();
  // Renames an unreadable file aside; passes it over from now on if even that fails.
  void SetAside(const std::string& path);
  void QueueReport(Report report);

  const std::string path_for_soob_;
  const Clock& clock_;
  std::atomic<SpoolLinkView*> link_;
  const SpoolOutlets outlets_;

  mutable std::mutex state_mutex_;
  std::string pending_soob_file_;
  TDateTime last_replay_time_ = 0;

  // Serialises spool file writes of the two threads, so that held records
  // are written in the order they came.
  mutable std::mutex write_mutex_;
  std::deque<SoobBytes> held_;
  bool write_failing_ = false;
  bool loss_reported_ = false;
  std::uint64_t temp_sequence_ = 0;

  std::mutex report_mutex_;
  std::deque<Report> reports_;

  // Window thread only: paths of files that could be neither read nor
  // renamed aside.
  std::set<std::string, std::less<>> skipped_;
};

}  // namespace orvent
