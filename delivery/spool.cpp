#include "delivery/spool.h"

#include <utility>

#include <cmath>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "delivery/byte_io.h"
#include "delivery/commands.h"
#include "platform/files.h"

namespace orvent {
namespace {

// 0001-01-01 and 10000-01-01 as date-times: the years a name can be made for.
constexpr TDateTime kFirstDateTime = -693593.0;
constexpr TDateTime kEndDateTime = 2958466.0;

constexpr std::uint32_t kMsPerSecond = 1000;
constexpr std::uint32_t kSecondsPerDay = 86400;

// Temporary names end in ".tmp", so no search for "*.dd8" ever sees a file
// that is still being written.
constexpr char kTempSuffix[] = ".tmp";
constexpr int kMaxTempAttempts = 16;

}  // namespace

SpoolFileBytes MakeSpoolFileBytes(const SoobBytes& record) {
  SpoolFileBytes bytes{};
  LittleEndianWriter w(bytes);
  w.WriteUint32(cmd_event);
  w.WriteBytes(record);
  return bytes;
}

std::optional<std::uint32_t> SpoolNameValue(TDateTime t) {
  if (!std::isfinite(t) || t < kFirstDateTime || t >= kEndDateTime) return std::nullopt;
  const CivilTime c = DecodeDateTime(t);
  const auto seconds = static_cast<std::uint32_t>(c.day) * kSecondsPerDay +
                       static_cast<std::uint32_t>(c.hour * 3600 + c.minute * 60 + c.second);
  return seconds * kMsPerSecond + static_cast<std::uint32_t>(c.millisecond);
}

std::string SpoolNameText(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

std::string SpoolFileName(TDateTime t) {
  const auto value = SpoolNameValue(t);
  return value ? SpoolNameText(*value) : std::string();
}

EventSpool::EventSpool(std::string path_for_soob, const Clock& clock, SpoolLinkView* link, SpoolOutlets outlets)
    : path_for_soob_(std::move(path_for_soob)), clock_(clock), link_(link), outlets_(std::move(outlets)) {
  RecoverInterruptedWrites();
}

void EventSpool::SendOrSpool(const SoobBytes& record) {
  SpoolLinkView* const link = link_.load();
  const bool straight = link != nullptr && link->LinkUp() && PendingSoobFile().empty() && link->Accepted();
  // A record the queue refuses is spooled, not dropped.
  if (!straight || !link->PostLiveEvent(record)) StoreRecord(record);
  EmitReports();
}

void EventSpool::SpoolUndelivered(const SoobBytes& record, const std::string& spool_file) {
  if (!spool_file.empty() && FileExists(spool_file)) return;
  StoreRecord(record);
}

void EventSpool::StoreRecord(const SoobBytes& record) {
  std::lock_guard lock(write_mutex_);
  if (!held_.empty()) {
    // Older records still wait in memory; this one goes behind them.
    HoldLocked(record);
    FlushHeldLocked();
    return;
  }
  if (!WriteSpoolFile(record)) HoldLocked(record);
}

void EventSpool::HoldLocked(const SoobBytes& record) {
  if (held_.size() >= kMaxHeldRecords) {
    if (!loss_reported_) {
      loss_reported_ = true;
      QueueReport({0, kSpoolMemoryFullStatus});
    }
    return;
  }
  held_.push_back(record);
  if (!write_failing_) {
    write_failing_ = true;
    QueueReport({kSpoolWriteErrorNumber, kSpoolWriteFailedStatus});
  }
}

bool EventSpool::RetryHeldRecords() {
  std::lock_guard lock(write_mutex_);
  return FlushHeldLocked();
}

bool EventSpool::FlushHeldLocked() {
  for (std::size_t i = 0; i < kHeldWritesPerCall && !held_.empty(); ++i) {
    if (!WriteSpoolFile(held_.front())) return false;
    held_.pop_front();
  }
  if (!held_.empty()) return false;
  // The streak is over: the next failure is reported again.
  write_failing_ = false;
  loss_reported_ = false;
  return true;
}

namespace {

// The name of the `attempt`th try: v, v + 1, ...; without a value the name
// is empty at first, then counts up from 1.
std::string CandidateName(std::optional<std::uint32_t> value, std::uint32_t attempt) {
  if (value) return SpoolNameText(*value + attempt);
  return attempt == 0 ? std::string() : SpoolNameText(attempt);
}

// The value a temporary name "<hex>-<n>.tmp" (after the prefix) was made
// for; false when the name is not one of ours.
bool ParseTempName(std::string_view name, std::optional<std::uint32_t>& value) {
  if (!name.ends_with(kTempSuffix)) return false;
  name.remove_suffix(std::string_view(kTempSuffix).size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos || dash > 8 || dash + 1 == name.size()) return false;
  for (const char c : name.substr(dash + 1)) {
    if (c < '0' || c > '9') return false;
  }
  std::uint32_t v = 0;
  for (const char c : name.substr(0, dash)) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    v = v * 16 + static_cast<std::uint32_t>(digit);
  }
  value = dash == 0 ? std::nullopt : std::optional<std::uint32_t>(v);
  return true;
}

}  // namespace

bool EventSpool::WriteSpoolFile(const SoobBytes& record) {
  // The clock is read again here: the name tells when the file was written.
  const std::optional<std::uint32_t> value = SpoolNameValue(clock_.Now());
  if (!value) QueueReport({kSpoolNameErrorNumber, {}});

  const SpoolFileBytes bytes = MakeSpoolFileBytes(record);
  const std::string_view contents(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string temp;
  std::error_code error;
  for (int i = 0; i < kMaxTempAttempts; ++i) {
    temp = path_for_soob_ + CandidateName(value, 0) + "-" + std::to_string(temp_sequence_++) + kTempSuffix;
    error = WriteNewFileFlushed(temp, contents);
    if (error != std::errc::file_exists) break;
  }
  if (error) return false;
  if (MoveToFreeName(temp, value)) return true;
  (void)RemoveFile(temp);
  return false;
}

bool EventSpool::MoveToFreeName(const std::string& temp, std::optional<std::uint32_t> value) {
  // An existing spool file holds an undelivered record: never replace it,
  // take the next number instead.
  for (std::uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string path = path_for_soob_ + CandidateName(value, attempt) + kSpoolFileSuffix;
    const std::error_code error = MoveFileNoReplace(temp, path);
    if (!error) {
      // The data is on disk already; a folder that cannot be flushed only
      // puts the new name at risk in a power loss.
      (void)FlushFolderOf(path);
      return true;
    }
    if (error != std::errc::file_exists) return false;
  }
  return false;
}

void EventSpool::RecoverInterruptedWrites() {
  const auto paths = ListMatches(path_for_soob_, kTempSuffix);
  if (!paths) return;
  for (const std::string& path : *paths) {
    std::optional<std::uint32_t> value;
    if (!ParseTempName(std::string_view(path).substr(path_for_soob_.size()), value)) continue;
    // Only a whole record was flushed before the move; anything shorter was
    // cut off in the middle of its write and is left as it is.
    std::string contents;
    if (ReadFileUpTo(path, kSpoolFileSize, contents) || contents.size() != kSpoolFileSize) continue;
    LittleEndianReader in({reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()});
    std::uint32_t command = 0;
    if (!in.ReadUint32(command) || command != cmd_event) continue;
    std::lock_guard lock(write_mutex_);
    (void)MoveToFreeName(path, value);
  }
}

void EventSpool::ReplayStep() {
  (void)RetryHeldRecords();
  ReplayOne();
  EmitReports();
}

void EventSpool::ReplayOne() {
  SpoolLinkView* const link = link_.load();
  if (link == nullptr || !link->LinkUp()) return;

  const auto skip = [this](std::string_view path) { return !skipped_.empty() && skipped_.contains(path); };
  for (int bad = 0; bad <= kMaxBadFilesPerTick; ++bad) {
    // The path is the folder of `PathForSoob` + the entry's name: the prefix
    // itself + the name would repeat the prefix's own start when it does not
    // end in a separator.
    const std::optional<std::string> found = FindFirstMatch(path_for_soob_, kSpoolFileSuffix, skip);
    if (!found || !link->Accepted()) return;

    const TDateTime now = clock_.Now();
    {
      std::lock_guard lock(state_mutex_);
      if (MsFromDateTime(now) <= MsFromDateTime(last_replay_time_) + kResendMs) return;
    }

    const std::string& path = *found;
    std::string contents;
    const std::error_code error = ReadFileUpTo(path, kMaxSpoolFileSize, contents);
    // Gone since the search: acknowledged and deleted meanwhile.
    if (error == std::errc::no_such_file_or_directory) return;
    // The process, not the file, is short of something: try again next tick
    // rather than set good files aside.
    if (error == std::errc::too_many_files_open || error == std::errc::too_many_files_open_in_system ||
        error == std::errc::not_enough_memory || error == std::errc::interrupted) {
      return;
    }
    if (error || contents.size() < kSpoolCommandSize) {
      SetAside(path);
      continue;
    }

    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(contents.data()),
                                              contents.size());
    LittleEndianReader in(bytes);
    std::uint32_t command = 0;
    in.ReadUint32(command);
    std::string previous;
    {
      // Both are set before the frame is queued, so that an acknowledgement
      // arriving at once finds the file pending and clears the resend delay.
      std::lock_guard lock(state_mutex_);
      previous = std::exchange(pending_soob_file_, path);
      last_replay_time_ = now;
    }
    if (!link->PostSpoolFrame(command, bytes.subspan(kSpoolCommandSize), path)) {
      // A refused frame is not in the queue, so its file may not count as in
      // flight: the acknowledgement of another frame would delete it unsent.
      // The file stays and goes out again after the resend delay.
      std::lock_guard lock(state_mutex_);
      if (pending_soob_file_ == path) pending_soob_file_ = previous;
    }
    return;
  }
}

void EventSpool::SetAside(const std::string& path) {
  std::error_code error = MoveFileNoReplace(path, path + kSpoolBadSuffix);
  // An earlier file of the same name may have been set aside already.
  for (int n = 2; error == std::errc::file_exists && n <= kMaxBadFilesPerTick; ++n) {
    error = MoveFileNoReplace(path, path + "." + std::to_string(n) + kSpoolBadSuffix);
  }
  if (error == std::errc::no_such_file_or_directory) return;
  if (error) skipped_.insert(path);
  QueueReport({kSpoolBadFileErrorNumber, {}});
}

void EventSpool::SpoolAcknowledged() {
  std::lock_guard lock(state_mutex_);
  if (pending_soob_file_.empty()) return;
  // A pending file that no longer exists leaves everything as it is; one
  // that cannot be deleted is replayed again later.
  if (RemoveFile(pending_soob_file_) == std::errc::no_such_file_or_directory) return;
  pending_soob_file_.clear();
  last_replay_time_ = clock_.Now() - 1.0;
}

void EventSpool::SpoolLinkUp() {
  std::lock_guard lock(state_mutex_);
  last_replay_time_ = clock_.Now() - 1.0;
}

std::string EventSpool::PendingSoobFile() const {
  std::lock_guard lock(state_mutex_);
  return pending_soob_file_;
}

TDateTime EventSpool::LastReplayTime() const {
  std::lock_guard lock(state_mutex_);
  return last_replay_time_;
}

std::size_t EventSpool::HeldRecordCount() const {
  std::lock_guard lock(write_mutex_);
  return held_.size();
}

void EventSpool::QueueReport(Report report) {
  std::lock_guard lock(report_mutex_);
  reports_.push_back(std::move(report));
}

void EventSpool::EmitReports() {
  for (;;) {
    Report report;
    {
      std::lock_guard lock(report_mutex_);
      if (reports_.empty()) return;
      report = std::move(reports_.front());
      reports_.pop_front();
    }
    // Taken off the queue first: should the error log raise, the rest of the
    // reports still go out at the next call.
    if (report.error != 0 && outlets_.LogError) outlets_.LogError(report.error);
    if (!report.status.empty() && outlets_.ShowStatus) outlets_.ShowStatus(report.status);
  }
}

}  // namespace orvent
