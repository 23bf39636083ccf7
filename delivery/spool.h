#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "delivery/event_outbox.h"
#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "platform/clock.h"

namespace orvent {

// A spool file holds one frame's command code and payload:
//
//   offset  size  field
//        0     4  command code, uint32 little-endian: 20 00 00 03 (cmd_event)
//        4    20  the event record, byte for byte
//
// Files are named `PathForSoob` + name + ".dd8"; `PathForSoob` is a plain
// prefix, so a folder is written with its trailing separator.
inline constexpr char kSpoolFileSuffix[] = ".dd8";
// What a spool file that cannot be sent is renamed to: its name + this.
inline constexpr char kSpoolBadSuffix[] = ".bad";
inline constexpr std::size_t kSpoolCommandSize = 4;
inline constexpr std::size_t kSpoolFileSize = kSpoolCommandSize + stru_soob::kSize;
// Larger files are not read into memory by anyone.
inline constexpr std::size_t kMaxSpoolFileSize = std::size_t{1} << 20;

using SpoolFileBytes = std::array<std::uint8_t, kSpoolFileSize>;
SpoolFileBytes MakeSpoolFileBytes(const SoobBytes& record);

// The record of a spool file's bytes: exactly 24 bytes that start with the
// event command. Anything else is no spool file of ours and is set aside.
std::optional<SoobBytes> SpoolFileRecord(std::string_view contents);

// Error-log numbers of the spool.
inline constexpr std::int32_t kSpoolNameErrorNumber = 11;     // no name could be formed
inline constexpr std::int32_t kSpoolWriteErrorNumber = 12;    // a record could not be written
inline constexpr std::int32_t kSpoolBadFileErrorNumber = 13;  // a file was set aside

// Status lines: the disk refuses spool files (said when it
// starts and every minute while it lasts), and takes them again.
inline constexpr char kSpoolWriteFailedStatus[] =
    "Ошибка записи события на диск - события остаются в приёмнике, пока их не примет диск или сервер.";
inline constexpr char kSpoolWriteBackStatus[] = "Запись событий на диск восстановлена.";

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

// The file operations of the spool (platform/files.h); tests put a disk
// that fails on purpose in their place.
class SpoolDisk {
public:
  virtual ~SpoolDisk() = default;
  virtual std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes);
  virtual std::error_code MoveFileNoReplace(const std::string& from, const std::string& to);
  virtual std::error_code RemoveFile(const std::string& path);
  virtual std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out);
};

// What the spool reaches outside itself. Each may be left empty. LogError
// and ShowStatus are called on the main thread only (EmitReports), with no
// lock of the spool held.
struct SpoolOutlets {
  // Appends a number to the error log.
  std::function<void(std::int32_t number)> LogError;
  // Shows a status line.
  std::function<void(const std::string& text)> ShowStatus;
  // Something waits to be told: the main thread should call EmitReports.
  // Called from any thread, possibly with the spool's index locked; it must
  // only post.
  std::function<void()> ReportsWaiting;
  // Whether the server takes events now (the link is up and accepted): a
  // record the disk refused goes to it only then.
  std::function<bool()> ServerTakesEvents;
  // The verdict on a record that the disk refused: confirmed by the server
  // in time, or not. Given once per ticket, from any thread, with no lock
  // held; it must only post.
  std::function<void(std::uint64_t ticket, bool confirmed)> ServerVerdict;
};

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
// Threads: StoreEvents, CheckStep, EmitReports and Close on the main
// thread; the EventOutbox calls on the link thread; ScanFolder on the
// scanner thread (or a test's). One mutex guards the index; no file is read
// or written under it.
class EventSpool final : public EventOutbox, public EventSink {
public:
  // `path_for_soob` is the `PathForSoob` setting, used exactly as written.
  // `disk` (the platform's files when null) must outlive the spool.
  EventSpool(std::string path_for_soob, const Clock& clock, SpoolOutlets outlets, SpoolDisk* disk = nullptr);
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
  // Records the disk refused that await the server's confirmation.
  std::size_t UnconfirmedCount() const;
  // Whether the disk refused the last write.
  bool WriteFailing() const;
  const std::string& PathForSoob() const { return path_for_soob_; }

  // How long a record the disk refused may wait for the server's
  // confirmation before its message is left to the receiver, well within
  // the receiver's patience.
  static constexpr std::int64_t kServerConfirmMs = 2000;
  // While the disk refuses files it is tried again, and said so, this often.
  static constexpr std::int64_t kDiskNoticeMs = 60000;
  // After a record that drew no acknowledgement nothing goes for this long.
  static constexpr std::int64_t kResendMs = 3000;
  // Files put into the folder from outside are found within this.
  static constexpr std::int64_t kRescanMs = 5000;
  // Names tried after the first one is taken (v + 1, v + 2, ...).
  static constexpr std::uint32_t kMaxNameAttempts = 65536;

private:
  // A spool file's name below the prefix, without ".dd8", as a number:
  // below 2^32 the upper-case hexadecimal text of the number (every name the
  // driver gives); kEmptyName for ".dd8" itself; above it an index into
  // odd_names_ (files named by someone else); from kHeldBase on a record the
  // disk refused, in memory until the server confirms it or its time is up.
  using NameId = std::uint64_t;
  static constexpr NameId kEmptyName = NameId{1} << 32;
  static constexpr NameId kHeldBase = NameId{1} << 62;

  // One record waiting to be sent: its order in the backlog (the record's
  // time) and where it is.
  struct Item {
    std::int64_t order = 0;
    NameId name = 0;
  };
  struct HeldRecord {
    SoobBytes record{};
    std::int64_t deadline = 0;  // monotonic ms
    bool settled = false;       // its verdict has been given
  };
  struct Report {
    std::int32_t error = 0;
    std::string status;
  };

  static bool IsHeld(NameId name) { return name >= kHeldBase; }
  static std::int64_t OrderOf(TDateTime received);

  // Names and paths; the odd-name table is guarded by mutex_.
  std::string NameTextLocked(NameId name) const;
  std::string PathOfLocked(NameId name) const;
  NameId NameIdLocked(std::string_view text);

  // Writes the record under a fresh name; the name when it is on disk. The
  // folder is flushed only when `flush_folder` (a batch flushes it once).
  std::optional<NameId> WriteSpoolFile(const SoobBytes& record, bool flush_folder);
  // Names a flushed temporary file v, v + 1, ... whichever is free first.
  std::optional<NameId> MoveToFreeName(const std::string& temp, std::optional<std::uint32_t> value,
                                       bool flush_folder = true);
  std::string NewTempPath(std::optional<std::uint32_t> value);
  void RecoverTemporaryFiles();
  // Whether a file can be written in the folder now (a probe that is removed).
  bool DiskTakesFiles();
  void WriteSucceeded();
  void WriteFailed();
  // Gives a held record's verdict once; the caller calls the outlet with
  // what this returns after unlocking.
  std::optional<std::uint64_t> SettleLocked(NameId held);
  void GiveVerdicts(const std::vector<std::uint64_t>& tickets, bool confirmed);
  // Renames an unsendable file aside; passes it over from now on if even that fails.
  void SetAside(NameId name);
  void InsertBacklogLocked(const Item& item);
  void AddedLocked(NameId name);
  // A file this run just wrote may have been listed and indexed by a scan
  // before the write could index it (its name comes before the batch's
  // folder flush); indexed twice, it would go twice. Such a file leaves the
  // backlog (the caller indexes it as new); true when it is in flight
  // already, and so indexed.
  bool InFlightAfterLastScanLocked(NameId name);
  void QueueReport(Report report);
  void Wake();
  void ScanLoop(const std::stop_token& stop);
  void StopScanner();
  void ScanFolder(const std::stop_token& stop);

  const std::string path_for_soob_;
  const Clock& clock_;
  const SpoolOutlets outlets_;
  SpoolDisk own_disk_;
  SpoolDisk& disk_;
  // Marks this run's temporary files, which a scan must not touch.
  const std::string temp_token_;

  // Lock order: scan_mutex_, then mutex_, then report_mutex_;
  // scanner_sleep_mutex_ alone.
  mutable std::mutex mutex_;
  std::deque<Item> fresh_;    // written by this run, not yet tried, arrival order
  std::deque<Item> backlog_;  // everything else, oldest record first
  std::map<EventId, Item> in_flight_;
  EventId last_id_ = 0;
  std::map<NameId, HeldRecord> held_;  // in the order they came
  NameId last_held_ = kHeldBase;
  std::vector<std::string> odd_names_;
  std::map<std::string, NameId, std::less<>> odd_ids_;
  // Files never to send again: delivered but undeletable, or unreadable and
  // impossible to set aside.
  std::set<NameId> passed_over_;
  // Names added while a scan runs, which the scan must not add again.
  bool scanning_ = false;
  std::vector<NameId> added_during_scan_;
  std::set<NameId> last_merged_;  // what the last scan added to the backlog
  bool first_scan_done_ = false;
  std::optional<std::int64_t> resend_after_;
  bool write_failing_ = false;
  std::int64_t next_disk_notice_ = 0;  // monotonic ms, while write_failing_
  std::uint64_t temp_sequence_ = 0;
  std::optional<std::uint32_t> last_name_value_;  // main thread only
  std::function<void()> wake_;

  std::mutex report_mutex_;
  std::deque<Report> reports_;

  std::mutex scan_mutex_;  // one scan at a time
  // A plain flag and condition variable wake the sleeping scanner: a wait
  // ended by a stop token can miss its wake-up in the Windows build's library.
  std::mutex scanner_sleep_mutex_;
  std::condition_variable scanner_cv_;
  bool scanner_stopping_ = false;
  std::jthread scanner_;
};

}  // namespace orvent
