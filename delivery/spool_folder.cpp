#include "delivery/spool_folder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <utility>

#include "delivery/byte_io.h"
#include "delivery/commands.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {
namespace {

// 0001-01-01 and 10000-01-01 as date-times: the years a name can be made for.
constexpr TDateTime kFirstDateTime = -693593.0;
constexpr TDateTime kEndDateTime = 2958466.0;

constexpr std::uint32_t kMsPerSecond = 1000;
constexpr std::uint32_t kSecondsPerDay = 86400;

// Temporary names end in ".tmp", so no listing of "*.dd8" ever sees a file
// that is still being written: "<name>-<run>-<n>.tmp", where <run> marks the
// run that writes it (earlier versions wrote "<name>-<n>.tmp").
constexpr char kTempSuffix[] = ".tmp";
constexpr int kMaxTempAttempts = 16;
constexpr std::size_t kMaxNameDigits = 8;

// Names an unsendable file may be set aside under: ".bad", ".2.bad", ...
constexpr int kMaxSetAsideNames = 16;

bool IsDateTime(TDateTime t) { return std::isfinite(t) && t >= kFirstDateTime && t < kEndDateTime; }

std::optional<unsigned> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

// The number of a name as SpoolNameText writes it: upper-case hexadecimal
// digits without a leading zero; nullopt for any other text.
std::optional<std::uint32_t> CanonicalValue(std::string_view text) {
  if (text.empty() || text.size() > kMaxNameDigits || (text[0] == '0' && text.size() > 1)) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    const auto digit = HexDigit(c);
    if (!digit) return std::nullopt;
    value = value * 16 + *digit;
  }
  return value;
}

// The name of the `attempt`th try: v, v + 1, ...; without a value the name
// is empty at first, then counts up from 1.
std::string CandidateName(std::optional<std::uint32_t> value, std::uint32_t attempt) {
  if (value) return SpoolNameText(*value + attempt);
  return attempt == 0 ? std::string() : SpoolNameText(attempt);
}

struct TempName {
  std::optional<std::uint32_t> value;  // the spool name it was written for
  std::string_view run;                // empty for the older form
};

bool AllDecimal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads "<name>-<run>-<n>.tmp" or "<name>-<n>.tmp" (after the prefix);
// nullopt when the name is not one of ours.
std::optional<TempName> ParseTempName(std::string_view name) {
  if (!name.ends_with(kTempSuffix)) return std::nullopt;
  name.remove_suffix(std::string_view(kTempSuffix).size());
  const std::size_t last = name.rfind('-');
  if (last == std::string_view::npos || !AllDecimal(name.substr(last + 1))) return std::nullopt;
  name = name.substr(0, last);
  TempName parsed;
  if (const std::size_t dash = name.find('-'); dash != std::string_view::npos) {
    parsed.run = name.substr(dash + 1);
    if (parsed.run.empty()) return std::nullopt;
    name = name.substr(0, dash);
  }
  if (!name.empty()) {
    parsed.value = CanonicalValue(name);
    if (!parsed.value) return std::nullopt;
  }
  return parsed;
}

std::string NewRunToken() {
  std::random_device random;
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(random()));
  return text;
}

// The process, not the file, is short of something: the file is tried
// again later rather than set aside.
bool IsTransient(const std::error_code& error) {
  return error == std::errc::too_many_files_open || error == std::errc::too_many_files_open_in_system ||
         error == std::errc::not_enough_memory || error == std::errc::interrupted;
}

// Another program holds the file and does not share it (on Windows, a file
// being copied in, or one a virus scanner or a backup has open): it is left
// where it is and tried again at a later scan, while the rest goes on.
bool IsBusy(const std::error_code& error) { return error == std::errc::device_or_resource_busy; }

}  // namespace

std::string SpoolPrefixOf(const std::string& path_for_soob) {
  if (path_for_soob.empty() || FolderPart(path_for_soob).size() == path_for_soob.size()) return path_for_soob;
  if (!IsFolder(path_for_soob)) return path_for_soob;
  return path_for_soob + kPathSeparator;
}

SpoolFileBytes MakeSpoolFileBytes(const SoobBytes& record) {
  SpoolFileBytes bytes{};
  LittleEndianWriter w(bytes);
  w.WriteUint32(cmd_event);
  w.WriteBytes(record);
  return bytes;
}

std::optional<SoobBytes> SpoolFileRecord(std::string_view contents) {
  if (contents.size() != kSpoolFileSize) return std::nullopt;
  LittleEndianReader in({reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()});
  std::uint32_t command = 0;
  SoobBytes record{};
  if (!in.ReadUint32(command) || command != cmd_event || !in.ReadBytes(record)) return std::nullopt;
  return record;
}

std::optional<std::uint32_t> SpoolNameValue(TDateTime t) {
  if (!IsDateTime(t)) return std::nullopt;
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

std::int64_t SpoolOrderOf(TDateTime received) {
  return IsDateTime(received) ? MsFromDateTime(received) : std::numeric_limits<std::int64_t>::min();
}

std::error_code SpoolDisk::WriteNewFileFlushed(const std::string& path, std::string_view bytes) {
  return orvent::WriteNewFileFlushed(path, bytes);
}
std::error_code SpoolDisk::MoveFileNoReplace(const std::string& from, const std::string& to) {
  return orvent::MoveFileNoReplace(from, to);
}
std::error_code SpoolDisk::RemoveFile(const std::string& path) { return orvent::RemoveFile(path); }
std::error_code SpoolDisk::ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out) {
  return orvent::ReadFileUpTo(path, limit, out);
}
std::error_code SpoolDisk::FlushFolderOf(const std::string& path) { return orvent::FlushFolderOf(path); }

SpoolFolder::SpoolFolder(std::string path_for_soob, const Clock& clock, SpoolDisk& disk, SpoolObserver* observer)
    : path_for_soob_(std::move(path_for_soob)),
      clock_(clock),
      disk_(disk),
      observer_(observer),
      temp_token_(NewRunToken()) {}

SpoolFolder::~SpoolFolder() { StopScanner(); }

std::string SpoolFolder::NameText(SpoolNameId name) const {
  if (name < kEmptyName) return SpoolNameText(static_cast<std::uint32_t>(name));
  if (name == kEmptyName) return {};
  std::lock_guard lock(names_mutex_);
  return odd_names_.at(static_cast<std::size_t>(name - kEmptyName - 1));
}

std::string SpoolFolder::PathOf(SpoolNameId name) const {
  // The prefix is the folder and the start that every name shares.
  return path_for_soob_ + NameText(name) + kSpoolFileSuffix;
}

SpoolNameId SpoolFolder::NameIdOf(std::string_view text) {
  if (text.empty()) return kEmptyName;
  if (const auto value = CanonicalValue(text)) return *value;
  std::lock_guard lock(names_mutex_);
  if (const auto it = odd_ids_.find(text); it != odd_ids_.end()) return it->second;
  odd_names_.emplace_back(text);
  const SpoolNameId id = kEmptyName + odd_names_.size();
  odd_ids_.emplace(std::string(text), id);
  return id;
}

std::string SpoolFolder::NewTempPath(std::optional<std::uint32_t> value) {
  return path_for_soob_ + CandidateName(value, 0) + "-" + temp_token_ + "-" + std::to_string(temp_sequence_++) +
         kTempSuffix;
}

std::optional<SpoolNameId> SpoolFolder::Write(const SoobBytes& record) {
  // The clock is read again here: the name tells when the file was written.
  std::optional<std::uint32_t> value = SpoolNameValue(clock_.Now());
  if (!value) QueueReport({kSpoolNameErrorNumber, {}});
  // A burst writes many files within one millisecond: each starts after the
  // last name given, instead of trying every name taken before it.
  constexpr std::uint32_t kNameReach = 1000;
  if (value && last_name_value_ && *value <= *last_name_value_ && *last_name_value_ - *value < kNameReach) {
    value = *last_name_value_ + 1;
  }

  const SpoolFileBytes bytes = MakeSpoolFileBytes(record);
  const std::string_view contents(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string temp;
  std::error_code error;
  for (int i = 0; i < kMaxTempAttempts; ++i) {
    temp = NewTempPath(value);
    error = disk_.WriteNewFileFlushed(temp, contents);
    if (error != std::errc::file_exists) break;
  }
  if (error) return std::nullopt;
  if (const auto name = MoveToFreeName(temp, value, false)) {
    if (*name < kEmptyName) last_name_value_ = static_cast<std::uint32_t>(*name);
    return name;
  }
  // The record was not acknowledged; a temporary file that will not go
  // either is removed by the recovery of the next start.
  (void)disk_.RemoveFile(temp);
  return std::nullopt;
}

std::error_code SpoolFolder::FlushFolder(SpoolNameId name) { return disk_.FlushFolderOf(PathOf(name)); }

std::optional<SpoolNameId> SpoolFolder::MoveToFreeName(const std::string& temp, std::optional<std::uint32_t> value,
                                                       bool flush_folder) {
  // An existing spool file holds an undelivered record: never replace it,
  // take the next number instead.
  for (std::uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string path = path_for_soob_ + CandidateName(value, attempt) + kSpoolFileSuffix;
    const std::error_code error = disk_.MoveFileNoReplace(temp, path);
    if (!error) {
      // Recovery only: the record was never acknowledged, and its file is
      // found again at the next start should this name not last.
      if (flush_folder) (void)disk_.FlushFolderOf(path);
      if (value) return SpoolNameId{static_cast<std::uint32_t>(*value + attempt)};
      return attempt == 0 ? kEmptyName : SpoolNameId{attempt};
    }
    if (error != std::errc::file_exists) return std::nullopt;
  }
  return std::nullopt;
}

SpoolFileRead SpoolFolder::Read(SpoolNameId name) {
  std::string contents;
  const std::error_code error = disk_.ReadFileUpTo(PathOf(name), kMaxSpoolFileSize, contents);
  if (!error) {
    if (const auto record = SpoolFileRecord(contents)) return {SpoolFileState::Record, *record};
    return {SpoolFileState::Bad, {}};
  }
  if (error == std::errc::no_such_file_or_directory) return {SpoolFileState::Missing, {}};
  if (IsTransient(error)) return {SpoolFileState::Transient, {}};
  if (IsBusy(error)) return {SpoolFileState::Busy, {}};
  return {SpoolFileState::Bad, {}};
}

bool SpoolFolder::Remove(SpoolNameId name) {
  const std::error_code error = disk_.RemoveFile(PathOf(name));
  return !error || error == std::errc::no_such_file_or_directory;
}

bool SpoolFolder::SetAside(SpoolNameId name) {
  const std::string path = PathOf(name);
  std::error_code error = disk_.MoveFileNoReplace(path, path + kSpoolBadSuffix);
  // An earlier file of the same name may have been set aside already.
  for (int n = 2; error == std::errc::file_exists && n <= kMaxSetAsideNames; ++n) {
    error = disk_.MoveFileNoReplace(path, path + "." + std::to_string(n) + kSpoolBadSuffix);
  }
  // Held by another program: a later scan reads it again.
  if (error == std::errc::no_such_file_or_directory || IsBusy(error)) return true;
  QueueReport({kSpoolBadFileErrorNumber, {}});
  return !error;
}

void SpoolFolder::RecoverTemporaryFiles() {
  if (std::exchange(first_scan_done_, true)) return;
  const std::string_view folder = FolderPart(path_for_soob_);
  const std::size_t start = path_for_soob_.size() - folder.size();
  std::vector<std::string> names;
  if (!VisitMatches(path_for_soob_, kTempSuffix, [&](std::string_view name) { names.emplace_back(name); })) return;
  for (const std::string& name : names) {
    const auto parsed = ParseTempName(std::string_view(name).substr(start));
    // This run's own files are being written right now.
    if (!parsed || parsed->run == temp_token_) continue;
    const std::string path = std::string(folder) + name;
    std::string contents;
    const std::error_code error = disk_.ReadFileUpTo(path, kSpoolFileSize, contents);
    if (error == std::errc::no_such_file_or_directory || (error && error != std::errc::file_too_large)) continue;
    // Flushed whole before a crash stopped its rename: it becomes a spool
    // file. Anything else was cut off in the middle of its write, before the
    // record was acknowledged, and goes. Either step that fails now is
    // tried again at the next start, the file untouched meanwhile.
    if (!error && SpoolFileRecord(contents)) {
      (void)MoveToFreeName(path, parsed->value, true);
    } else {
      (void)disk_.RemoveFile(path);
    }
  }
}

SpoolScanFindings SpoolFolder::FindNewFiles(const std::vector<SpoolNameId>& known, const std::stop_token& stop) {
  const std::string_view folder = FolderPart(path_for_soob_);
  const std::size_t start = path_for_soob_.size() - folder.size();
  const std::size_t suffix = std::string_view(kSpoolFileSuffix).size();
  std::vector<SpoolNameId> candidates;
  SpoolScanFindings findings;
  findings.listed = VisitMatches(path_for_soob_, kSpoolFileSuffix, [&](std::string_view name) {
    const SpoolNameId id = NameIdOf(name.substr(start, name.size() - start - suffix));
    if (!std::binary_search(known.begin(), known.end(), id)) candidates.push_back(id);
  });

  for (const SpoolNameId name : candidates) {
    if (stop.stop_requested()) break;
    const SpoolFileRead read = Read(name);
    // Gone since the listing (delivered meanwhile), or to be read at the
    // next scan.
    if (read.state == SpoolFileState::Record) {
      findings.found.push_back({SpoolOrderOf(DeserializeSoob(read.record)->RecvTime), name});
    } else if (read.state == SpoolFileState::Bad && !SetAside(name)) {
      findings.unsendable.push_back(name);
    }
  }
  return findings;
}

void SpoolFolder::StartScanner(std::function<void(const std::stop_token&)> scan) {
  if (scanner_.joinable() || scanner_stopping_) return;
  scanner_ = std::jthread([this, scan = std::move(scan)](std::stop_token stop) { ScanLoop(stop, scan); });
}

void SpoolFolder::StopScanner() {
  scanner_.request_stop();
  {
    std::lock_guard lock(scanner_sleep_mutex_);
    scanner_stopping_ = true;
  }
  scanner_cv_.notify_all();
  if (scanner_.joinable()) scanner_.join();
}

void SpoolFolder::ScanLoop(const std::stop_token& stop, const std::function<void(const std::stop_token&)>& scan) {
  scan(stop);
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(scanner_sleep_mutex_);
      scanner_cv_.wait_for(lock, std::chrono::milliseconds(kRescanMs), [this] { return scanner_stopping_; });
    }
    if (!stop.stop_requested()) scan(stop);
  }
}

void SpoolFolder::WriteSucceeded() {
  {
    std::lock_guard lock(report_mutex_);
    if (!std::exchange(write_failing_, false)) return;
    reports_.push_back({0, kSpoolWriteBackStatus});
  }
  if (observer_ != nullptr) observer_->ReportsWaiting();
}

void SpoolFolder::WriteFailed() {
  {
    std::lock_guard lock(report_mutex_);
    if (std::exchange(write_failing_, true)) return;
    next_disk_notice_ = clock_.MonotonicMs() + kDiskNoticeMs;
    reports_.push_back({kSpoolWriteErrorNumber, kSpoolWriteFailedStatus});
  }
  if (observer_ != nullptr) observer_->ReportsWaiting();
}

void SpoolFolder::CheckDisk() {
  {
    std::lock_guard lock(report_mutex_);
    const std::int64_t now = clock_.MonotonicMs();
    if (!write_failing_ || now < next_disk_notice_) return;
    next_disk_notice_ = now + kDiskNoticeMs;
  }
  if (DiskTakesFiles()) {
    WriteSucceeded();
  } else {
    QueueReport({0, kSpoolWriteFailedStatus});
  }
}

std::optional<std::int64_t> SpoolFolder::NextDiskNotice() const {
  std::lock_guard lock(report_mutex_);
  if (!write_failing_) return std::nullopt;
  return next_disk_notice_;
}

bool SpoolFolder::WriteFailing() const {
  std::lock_guard lock(report_mutex_);
  return write_failing_;
}

bool SpoolFolder::DiskTakesFiles() {
  // What a spool file takes: a flushed write, a rename and a flushed
  // folder, under temporary names that no scan mistakes for a record.
  const std::string temp = NewTempPath(std::nullopt);
  if (disk_.WriteNewFileFlushed(temp, "probe")) return false;
  const std::string renamed = NewTempPath(std::nullopt);
  const bool moved = !disk_.MoveFileNoReplace(temp, renamed);
  const bool lasts = moved && !disk_.FlushFolderOf(renamed);
  // A probe left behind is this run's temporary file, which the next
  // start's recovery removes (it holds no record).
  (void)disk_.RemoveFile(moved ? renamed : temp);
  return lasts;
}

void SpoolFolder::QueueReport(Report report) {
  {
    std::lock_guard lock(report_mutex_);
    reports_.push_back(std::move(report));
  }
  if (observer_ != nullptr) observer_->ReportsWaiting();
}

void SpoolFolder::EmitReports() {
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
    if (report.error != 0 && observer_ != nullptr) observer_->LogError(report.error);
    if (!report.status.empty() && observer_ != nullptr) observer_->ShowStatus(report.status);
  }
}

}  // namespace orvent
