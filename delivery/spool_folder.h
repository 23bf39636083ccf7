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
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/spool_index.h"
#include "delivery/spool_observer.h"
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

// `PathForSoob` as the prefix of the spool's names: an existing folder named
// without its trailing separator means that folder (the separator is added);
// anything else, a prefix such as "/var/spool/orvent/ev" among it, stays as
// written.
std::string SpoolPrefixOf(const std::string& path_for_soob);
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
inline constexpr std::int32_t kSpoolFolderErrorNumber = 14;   // the folder cannot take files

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

// The place of a record received at `received` in the backlog: its time in
// milliseconds; a record without a usable time goes first, as it is as old
// as any.
std::int64_t SpoolOrderOf(TDateTime received);

// The file operations of the spool (platform/files.h); tests put a disk
// that fails on purpose in their place.
class SpoolDisk {
public:
  virtual ~SpoolDisk() = default;
  virtual std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes);
  virtual std::error_code MoveFileNoReplace(const std::string& from, const std::string& to);
  virtual std::error_code RemoveFile(const std::string& path);
  virtual std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out);
  virtual std::error_code FlushFolderOf(const std::string& path);
};

// What reading a spool file gave.
enum class SpoolFileState {
  Record,     // a record to send
  Missing,    // gone since it was listed (delivered, or removed from outside)
  Busy,       // another program holds it: a later scan reads it again
  Transient,  // the process is short of handles or memory, not the file
  Bad,        // no spool file of ours: it is set aside
};

struct SpoolFileRead {
  SpoolFileState state = SpoolFileState::Missing;
  SoobBytes record{};
};

// What a scan found that the index did not know.
struct SpoolScanFindings {
  std::vector<SpoolIndex::Item> found;    // spool files of ours, in the folder's order
  std::vector<SpoolNameId> unsendable;    // neither sendable nor to be set aside
  bool listed = false;                    // the folder could be listed
};

// The spool's folder: the names of its files and everything done to them
// (writing, reading, deleting, setting aside, recovering what a crash left),
// the scanner thread, the disk's failure notices and the reports for the
// error log and the status lines. It keeps no index: the spool pairs each of
// its calls with the index's.
//
// A file's name below the prefix, without ".dd8", is a SpoolNameId: below
// 2^32 the upper-case hexadecimal text of the number (every name the driver
// gives), kEmptyName for ".dd8" itself, and above that an entry of a table of
// names given by someone else. All of them lie below kSpoolHeldBase.
//
// Threads: Write, FlushFolder and CheckDisk on the main thread; the rest
// from any thread. FindNewFiles and RecoverTemporaryFiles run one at a time
// (the spool's scan lock). Its own locks are taken alone: no other lock is
// taken and no outlet is called while one is held.
class SpoolFolder {
public:
  SpoolFolder(std::string path_for_soob, const Clock& clock, SpoolDisk& disk, SpoolObserver* observer);
  // Stops the scanner.
  ~SpoolFolder();
  SpoolFolder(const SpoolFolder&) = delete;
  SpoolFolder& operator=(const SpoolFolder&) = delete;

  static constexpr SpoolNameId kEmptyName = SpoolNameId{1} << 32;
  // While the disk refuses files it is tried again, and said so, this often.
  static constexpr std::int64_t kDiskNoticeMs = 60000;
  // Files put into the folder from outside are found within this.
  static constexpr std::int64_t kRescanMs = 5000;
  // Names tried after the first one is taken (v + 1, v + 2, ...).
  static constexpr std::uint32_t kMaxNameAttempts = 65536;

  const std::string& Prefix() const { return path_for_soob_; }
  std::string PathOf(SpoolNameId name) const;

  // Writes the record under a fresh name, flushed; its name when it is on
  // disk. The folder is not flushed: a batch flushes it once (FlushFolder).
  std::optional<SpoolNameId> Write(const SoobBytes& record);
  // Flushes the folder of `name`, so that the names given last survive a
  // power loss; the system's refusal when it cannot.
  std::error_code FlushFolder(SpoolNameId name);
  SpoolFileRead Read(SpoolNameId name);
  // Deletes a delivered file; false when it remains on disk.
  bool Remove(SpoolNameId name);
  // Renames an unsendable file aside and says so in the error log; false
  // when even that failed and the file must be passed over from now on.
  bool SetAside(SpoolNameId name);

  // Renames whole temporary files left by an earlier run to spool files
  // and removes the others; only once, at the first call.
  void RecoverTemporaryFiles();
  // Lists the folder and reads every spool file whose name is not in
  // `known` (sorted); sets aside what is no spool file of ours. Stops
  // reading when `stop` is requested.
  SpoolScanFindings FindNewFiles(const std::vector<SpoolNameId>& known, const std::stop_token& stop);

  // Starts the scanner thread: `scan` at once, then every kRescanMs until
  // StopScanner. Once stopped, it stays stopped.
  void StartScanner(std::function<void(const std::stop_token&)> scan);
  void StopScanner();

  // The disk took a file, or refused one: the change is told once.
  void WriteSucceeded();
  void WriteFailed();
  // While the disk refuses files: at the notice's time, a probe file tries
  // it again, and its failure is told again.
  void CheckDisk();
  // When CheckDisk has something to do (monotonic ms); nullopt: nothing.
  std::optional<std::int64_t> NextDiskNotice() const;
  bool WriteFailing() const;

  // Main thread: tells the error log and the status lines what the folder
  // found since the last call.
  void EmitReports();

private:
  struct Report {
    std::int32_t error = 0;
    std::string status;
  };

  SpoolNameId NameIdOf(std::string_view text);
  std::string NameText(SpoolNameId name) const;
  // Names a flushed temporary file v, v + 1, ... whichever is free first.
  std::optional<SpoolNameId> MoveToFreeName(const std::string& temp, std::optional<std::uint32_t> value,
                                            bool flush_folder);
  std::string NewTempPath(std::optional<std::uint32_t> value);
  // Whether a file can be written in the folder now (a probe that is removed).
  bool DiskTakesFiles();
  void QueueReport(Report report);
  void ScanLoop(const std::stop_token& stop, const std::function<void(const std::stop_token&)>& scan);

  const std::string path_for_soob_;
  const Clock& clock_;
  SpoolDisk& disk_;
  SpoolObserver* const observer_;  // may be null
  // Marks this run's temporary files, which a scan must not touch.
  const std::string temp_token_;

  // Main thread only.
  std::uint64_t temp_sequence_ = 0;
  std::optional<std::uint32_t> last_name_value_;
  // The scan's only.
  bool first_scan_done_ = false;

  // Each of these locks is taken alone.
  // Names given by someone else; the table only grows.
  mutable std::mutex names_mutex_;
  std::vector<std::string> odd_names_;
  std::map<std::string, SpoolNameId, std::less<>> odd_ids_;

  // The disk's state and what waits to be told.
  mutable std::mutex report_mutex_;
  bool write_failing_ = false;
  std::int64_t next_disk_notice_ = 0;  // monotonic ms, while write_failing_
  std::deque<Report> reports_;

  // A plain flag and condition variable wake the sleeping scanner: a wait
  // ended by a stop token can miss its wake-up in the Windows build's library.
  std::mutex scanner_sleep_mutex_;
  std::condition_variable scanner_cv_;
  bool scanner_stopping_ = false;
  std::jthread scanner_;
};

}  // namespace orvent
