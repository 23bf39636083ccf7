#include "delivery/spool.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <system_error>
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

// Files that cannot be sent that one TakeNextEvent passes over before it
// lets the link get on with its other work.
constexpr int kMaxUnsendablePerTake = 16;

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

EventSpool::EventSpool(std::string path_for_soob, const Clock& clock, SpoolOutlets outlets, SpoolDisk* disk)
    : path_for_soob_(std::move(path_for_soob)),
      clock_(clock),
      outlets_(std::move(outlets)),
      disk_(disk != nullptr ? *disk : own_disk_),
      temp_token_(NewRunToken()) {}

EventSpool::~EventSpool() { StopScanner(); }

void EventSpool::StopScanner() {
  scanner_.request_stop();
  {
    std::lock_guard lock(scanner_sleep_mutex_);
    scanner_stopping_ = true;
  }
  scanner_cv_.notify_all();
  if (scanner_.joinable()) scanner_.join();
}

void EventSpool::StartScanner() {
  // Once stopped, stays stopped: the spool is closing.
  if (scanner_.joinable() || scanner_stopping_) return;
  scanner_ = std::jthread([this](std::stop_token stop) { ScanLoop(stop); });
}

void EventSpool::ScanLoop(const std::stop_token& stop) {
  ScanFolder(stop);
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(scanner_sleep_mutex_);
      scanner_cv_.wait_for(lock, std::chrono::milliseconds(kRescanMs), [this] { return scanner_stopping_; });
    }
    if (!stop.stop_requested()) ScanFolder(stop);
  }
}

void EventSpool::AttachWake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

void EventSpool::Wake() {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    wake = wake_;
  }
  if (wake) wake();
}

std::int64_t EventSpool::OrderOf(TDateTime received) {
  // A record without a usable time goes first: it is as old as any.
  if (!std::isfinite(received) || received < kFirstDateTime || received >= kEndDateTime) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return MsFromDateTime(received);
}

std::string EventSpool::NameTextLocked(NameId name) const {
  if (name < kEmptyName) return SpoolNameText(static_cast<std::uint32_t>(name));
  if (name == kEmptyName) return {};
  return odd_names_.at(static_cast<std::size_t>(name - kEmptyName - 1));
}

std::string EventSpool::PathOfLocked(NameId name) const {
  // The prefix is the folder and the start that every name shares.
  return path_for_soob_ + NameTextLocked(name) + kSpoolFileSuffix;
}

EventSpool::NameId EventSpool::NameIdLocked(std::string_view text) {
  if (text.empty()) return kEmptyName;
  if (const auto value = CanonicalValue(text)) return *value;
  if (const auto it = odd_ids_.find(text); it != odd_ids_.end()) return it->second;
  odd_names_.emplace_back(text);
  const NameId id = kEmptyName + odd_names_.size();
  odd_ids_.emplace(std::string(text), id);
  return id;
}

StoreResults EventSpool::StoreEvents(std::span<const EventToKeep> records) {
  std::vector<std::optional<NameId>> names;
  names.reserve(records.size());
  std::optional<NameId> last_written;
  for (const EventToKeep& event : records) {
    // Once the disk has refused one, the rest of the batch does not wait for
    // it again.
    const bool failed_already = !names.empty() && !names.back();
    names.push_back(failed_already ? std::nullopt : WriteSpoolFile(event.Record, false));
    if (names.back()) last_written = names.back();
  }
  // Every file's data is on disk already; one flush of the folder makes all
  // their names last, before any of them is acknowledged.
  if (last_written) {
    std::string path;
    {
      std::lock_guard lock(mutex_);
      path = PathOfLocked(*last_written);
    }
    (void)FlushFolderOf(path);
  }

  StoreResults results(records.size());
  bool any_written = false;
  bool any_failed = false;
  const bool server = outlets_.ServerTakesEvents && outlets_.ServerTakesEvents();
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (names[i]) {
        any_written = true;
        results[i].Kept = RecordKept::OnDisk;
        if (InFlightAfterLastScanLocked(*names[i])) continue;
        fresh_.push_back({OrderOf(records[i].ReceivedAt), *names[i]});
        AddedLocked(*names[i]);
        continue;
      }
      any_failed = true;
      if (!server) continue;  // Refused: the receiver keeps it
      const NameId held = ++last_held_;
      held_.emplace(held, HeldRecord{records[i].Record, clock_.MonotonicMs() + kServerConfirmMs, false});
      fresh_.push_back({OrderOf(records[i].ReceivedAt), held});
      results[i] = {RecordKept::AwaitingServer, held};
    }
  }
  if (any_written) WriteSucceeded();
  if (any_failed) WriteFailed();
  if (any_written || (any_failed && server)) Wake();
  EmitReports();
  return results;
}

bool EventSpool::StoreEvent(const SoobBytes& record) {
  const auto soob = DeserializeSoob(record);
  const EventToKeep event{record, soob ? soob->RecvTime : 0.0};
  return StoreEvents({&event, 1}).front().Kept == RecordKept::OnDisk;
}

void EventSpool::WriteSucceeded() {
  std::lock_guard lock(mutex_);
  if (!std::exchange(write_failing_, false)) return;
  QueueReport({0, kSpoolWriteBackStatus});
}

void EventSpool::WriteFailed() {
  std::lock_guard lock(mutex_);
  if (std::exchange(write_failing_, true)) return;
  next_disk_notice_ = clock_.MonotonicMs() + kDiskNoticeMs;
  QueueReport({kSpoolWriteErrorNumber, kSpoolWriteFailedStatus});
}

bool EventSpool::DiskTakesFiles() {
  // What a spool file takes: a flushed write and a rename, under temporary
  // names that no scan mistakes for a record.
  const std::string temp = NewTempPath(std::nullopt);
  if (disk_.WriteNewFileFlushed(temp, "probe")) return false;
  const std::string renamed = NewTempPath(std::nullopt);
  const bool moved = !disk_.MoveFileNoReplace(temp, renamed);
  (void)disk_.RemoveFile(moved ? renamed : temp);
  return moved;
}

std::optional<std::uint64_t> EventSpool::SettleLocked(NameId held) {
  const auto it = held_.find(held);
  if (it == held_.end() || std::exchange(it->second.settled, true)) return std::nullopt;
  return held;
}

void EventSpool::GiveVerdicts(const std::vector<std::uint64_t>& tickets, bool confirmed) {
  if (!outlets_.ServerVerdict) return;
  for (const std::uint64_t ticket : tickets) outlets_.ServerVerdict(ticket, confirmed);
}

bool EventSpool::InFlightAfterLastScanLocked(NameId name) {
  if (!last_merged_.erase(name)) return false;
  const auto same = [name](const Item& item) { return item.name == name; };
  // Still in the backlog: it leaves it, to go first as the new record it is.
  if (const auto it = std::find_if(backlog_.begin(), backlog_.end(), same); it != backlog_.end()) {
    backlog_.erase(it);
    return false;
  }
  return std::any_of(in_flight_.begin(), in_flight_.end(), [&](const auto& entry) { return same(entry.second); });
}

void EventSpool::AddedLocked(NameId name) {
  if (scanning_) added_during_scan_.push_back(name);
}

std::string EventSpool::NewTempPath(std::optional<std::uint32_t> value) {
  return path_for_soob_ + CandidateName(value, 0) + "-" + temp_token_ + "-" + std::to_string(temp_sequence_++) +
         kTempSuffix;
}

std::optional<EventSpool::NameId> EventSpool::WriteSpoolFile(const SoobBytes& record, bool flush_folder) {
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
  if (const auto name = MoveToFreeName(temp, value, flush_folder)) {
    if (*name < kEmptyName) last_name_value_ = static_cast<std::uint32_t>(*name);
    return name;
  }
  (void)disk_.RemoveFile(temp);
  return std::nullopt;
}

std::optional<EventSpool::NameId> EventSpool::MoveToFreeName(const std::string& temp,
                                                             std::optional<std::uint32_t> value,
                                                             bool flush_folder) {
  // An existing spool file holds an undelivered record: never replace it,
  // take the next number instead.
  for (std::uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string path = path_for_soob_ + CandidateName(value, attempt) + kSpoolFileSuffix;
    const std::error_code error = disk_.MoveFileNoReplace(temp, path);
    if (!error) {
      // The data is on disk already; a folder that cannot be flushed only
      // puts the new name at risk in a power loss.
      if (flush_folder) (void)FlushFolderOf(path);
      if (value) return NameId{static_cast<std::uint32_t>(*value + attempt)};
      return attempt == 0 ? kEmptyName : NameId{attempt};
    }
    if (error != std::errc::file_exists) return std::nullopt;
  }
  return std::nullopt;
}

void EventSpool::RecoverTemporaryFiles() {
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
    // record was acknowledged, and goes.
    if (!error && SpoolFileRecord(contents)) {
      (void)MoveToFreeName(path, parsed->value);
    } else {
      (void)disk_.RemoveFile(path);
    }
  }
}

void EventSpool::ScanFolder() { ScanFolder({}); }

void EventSpool::ScanFolder(const std::stop_token& stop) {
  std::lock_guard scan_lock(scan_mutex_);
  bool first = false;
  std::vector<NameId> known;
  {
    std::lock_guard lock(mutex_);
    first = !first_scan_done_;
    first_scan_done_ = true;
  }
  if (first) RecoverTemporaryFiles();
  {
    std::lock_guard lock(mutex_);
    known.reserve(fresh_.size() + backlog_.size() + in_flight_.size() + held_.size() + passed_over_.size());
    for (const auto* items : {&fresh_, &backlog_}) {
      for (const Item& item : *items) known.push_back(item.name);
    }
    for (const auto& [id, item] : in_flight_) known.push_back(item.name);
    known.insert(known.end(), passed_over_.begin(), passed_over_.end());
    // From here on the index may change; what the main thread adds meanwhile is
    // not added again by this scan.
    scanning_ = true;
    added_during_scan_.clear();
  }
  std::sort(known.begin(), known.end());

  const std::string_view folder = FolderPart(path_for_soob_);
  const std::size_t start = path_for_soob_.size() - folder.size();
  const std::size_t suffix = std::string_view(kSpoolFileSuffix).size();
  std::vector<NameId> candidates;
  const bool listed = VisitMatches(path_for_soob_, kSpoolFileSuffix, [&](std::string_view name) {
    const std::string_view text = name.substr(start, name.size() - start - suffix);
    NameId id = kEmptyName;
    if (const auto value = CanonicalValue(text)) {
      id = *value;
    } else {
      std::lock_guard lock(mutex_);
      id = NameIdLocked(text);
    }
    if (!std::binary_search(known.begin(), known.end(), id)) candidates.push_back(id);
  });

  std::vector<Item> found;
  for (const NameId name : candidates) {
    if (stop.stop_requested()) break;
    std::string path;
    {
      std::lock_guard lock(mutex_);
      path = PathOfLocked(name);
    }
    std::string contents;
    const std::error_code error = disk_.ReadFileUpTo(path, kMaxSpoolFileSize, contents);
    // Gone since the listing (delivered meanwhile), or to be read at the
    // next scan.
    if (error == std::errc::no_such_file_or_directory || IsTransient(error) || IsBusy(error)) continue;
    const std::optional<SoobBytes> record = error ? std::nullopt : SpoolFileRecord(contents);
    if (!record) {
      SetAside(name);
      continue;
    }
    found.push_back({OrderOf(DeserializeSoob(*record)->RecvTime), name});
  }
  // Oldest record first; equal times keep the folder's order.
  std::stable_sort(found.begin(), found.end(), [](const Item& a, const Item& b) { return a.order < b.order; });

  bool added = false;
  {
    std::lock_guard lock(mutex_);
    scanning_ = false;
    std::sort(added_during_scan_.begin(), added_during_scan_.end());
    std::erase_if(found, [&](const Item& item) {
      return std::binary_search(added_during_scan_.begin(), added_during_scan_.end(), item.name);
    });
    added_during_scan_.clear();
    last_merged_.clear();
    for (const Item& item : found) last_merged_.insert(item.name);
    if (listed && !found.empty()) {
      std::deque<Item> merged;
      std::merge(backlog_.begin(), backlog_.end(), found.begin(), found.end(), std::back_inserter(merged),
                 [](const Item& a, const Item& b) { return a.order < b.order; });
      backlog_.swap(merged);
      added = true;
    }
  }
  // What the scan found to report is told on the main thread (ReportsWaiting).
  if (added) Wake();
}

void EventSpool::InsertBacklogLocked(const Item& item) {
  const auto at = std::upper_bound(backlog_.begin(), backlog_.end(), item,
                                   [](const Item& a, const Item& b) { return a.order < b.order; });
  backlog_.insert(at, item);
}

void EventSpool::CheckStep() {
  std::vector<std::uint64_t> expired;
  bool probe = false;
  {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clock_.MonotonicMs();
    for (auto it = held_.begin(); it != held_.end();) {
      if (now <= it->second.deadline) {
        ++it;
        continue;
      }
      if (const auto ticket = SettleLocked(it->first)) expired.push_back(*ticket);
      // One on its way keeps its entry until its answer, which then deletes
      // nothing and acknowledges nothing.
      const bool in_flight = std::any_of(in_flight_.begin(), in_flight_.end(),
                                         [&](const auto& entry) { return entry.second.name == it->first; });
      if (in_flight) {
        ++it;
        continue;
      }
      const NameId name = it->first;
      std::erase_if(fresh_, [name](const Item& item) { return item.name == name; });
      std::erase_if(backlog_, [name](const Item& item) { return item.name == name; });
      it = held_.erase(it);
    }
    probe = write_failing_ && now >= next_disk_notice_;
    if (probe) next_disk_notice_ = now + kDiskNoticeMs;
  }
  GiveVerdicts(expired, false);
  if (probe) {
    if (DiskTakesFiles()) {
      WriteSucceeded();
    } else {
      QueueReport({0, kSpoolWriteFailedStatus});
    }
  }
  EmitReports();
}

std::optional<std::int64_t> EventSpool::MsUntilCheck() const {
  std::lock_guard lock(mutex_);
  std::optional<std::int64_t> due;
  const std::int64_t now = clock_.MonotonicMs();
  const auto sooner = [&](std::int64_t at) { due = std::min(due.value_or(at - now), at - now); };
  for (const auto& [name, held] : held_) {
    if (!held.settled) sooner(held.deadline + 1);
  }
  if (write_failing_) sooner(next_disk_notice_);
  if (due) due = std::max<std::int64_t>(*due, 0);
  return due;
}

void EventSpool::Close() {
  StopScanner();
  std::vector<std::uint64_t> unconfirmed;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, held] : held_) {
      if (!held.settled) unconfirmed.push_back(name);
    }
    for (const std::uint64_t name : unconfirmed) SettleLocked(name);
  }
  GiveVerdicts(unconfirmed, false);
  EmitReports();
}

std::optional<OutboxEvent> EventSpool::TakeNextEvent() {
  for (int passed = 0; passed < kMaxUnsendablePerTake; ++passed) {
    OutboxEvent event;
    Item item;
    std::string path;
    {
      std::lock_guard lock(mutex_);
      if (resend_after_ && clock_.MonotonicMs() <= *resend_after_) return std::nullopt;
      std::deque<Item>& from = fresh_.empty() ? backlog_ : fresh_;
      if (from.empty()) return std::nullopt;
      item = from.front();
      from.pop_front();
      if (IsHeld(item.name)) {
        const auto held = held_.find(item.name);
        // Given up already: its message is left to the receiver.
        if (held == held_.end() || held->second.settled) {
          if (held != held_.end()) held_.erase(held);
          continue;
        }
        event.Id = ++last_id_;
        in_flight_.emplace(event.Id, item);
        event.Record = held->second.record;
        return event;
      }
      event.Id = ++last_id_;
      in_flight_.emplace(event.Id, item);
      path = PathOfLocked(item.name);
    }
    std::string contents;
    const std::error_code error = disk_.ReadFileUpTo(path, kMaxSpoolFileSize, contents);
    if (!error) {
      if (const auto record = SpoolFileRecord(contents)) {
        event.Record = *record;
        return event;
      }
    }
    if (IsTransient(error)) {
      EventUndelivered(event.Id);
      return std::nullopt;
    }
    {
      std::lock_guard lock(mutex_);
      in_flight_.erase(event.Id);
    }
    // Removed from outside since it was indexed: nothing left to send. A
    // busy file leaves the index and a later scan finds it again.
    if (error != std::errc::no_such_file_or_directory && !IsBusy(error)) SetAside(item.name);
  }
  return std::nullopt;
}

void EventSpool::EventAcknowledged(EventId id) {
  std::string path;
  std::optional<std::uint64_t> confirmed;
  {
    std::lock_guard lock(mutex_);
    const auto it = in_flight_.find(id);
    if (it == in_flight_.end()) return;
    const NameId name = it->second.name;
    if (IsHeld(name)) {
      // Confirmed in time: its message may now be acknowledged. One given up
      // already stays given up.
      in_flight_.erase(it);
      confirmed = SettleLocked(name);
      held_.erase(name);
    } else {
      path = PathOfLocked(name);
    }
  }
  if (path.empty()) {
    if (confirmed) GiveVerdicts({*confirmed}, true);
    return;
  }
  // Deleted while the index still names it, so that no scan in between can
  // take the file for a new one.
  const std::error_code error = disk_.RemoveFile(path);
  std::lock_guard lock(mutex_);
  auto node = in_flight_.extract(id);
  // Delivered, but still on disk: it must never go again.
  if (node && error && error != std::errc::no_such_file_or_directory) passed_over_.insert(node.mapped().name);
}

void EventSpool::EventUndelivered(EventId id) {
  std::optional<std::uint64_t> given_up;
  {
    std::lock_guard lock(mutex_);
    auto node = in_flight_.extract(id);
    if (!node) return;
    resend_after_ = clock_.MonotonicMs() + kResendMs;
    const NameId name = node.mapped().name;
    if (IsHeld(name)) {
      // Not confirmed: its message is left to the receiver, which sends it
      // again; by then the disk may take it.
      given_up = SettleLocked(name);
      held_.erase(name);
    } else {
      InsertBacklogLocked(node.mapped());
    }
  }
  if (given_up) GiveVerdicts({*given_up}, false);
}

void EventSpool::SpoolLinkUp() {
  std::lock_guard lock(mutex_);
  resend_after_.reset();
}

std::optional<std::int64_t> EventSpool::MsUntilNextEvent() const {
  std::lock_guard lock(mutex_);
  if (fresh_.empty() && backlog_.empty()) return std::nullopt;
  if (resend_after_) {
    const std::int64_t now = clock_.MonotonicMs();
    if (now <= *resend_after_) return *resend_after_ + 1 - now;
  }
  return 0;
}

void EventSpool::SetAside(NameId name) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    path = PathOfLocked(name);
  }
  std::error_code error = disk_.MoveFileNoReplace(path, path + kSpoolBadSuffix);
  // An earlier file of the same name may have been set aside already.
  for (int n = 2; error == std::errc::file_exists && n <= kMaxUnsendablePerTake; ++n) {
    error = disk_.MoveFileNoReplace(path, path + "." + std::to_string(n) + kSpoolBadSuffix);
  }
  // Held by another program: a later scan reads it again.
  if (error == std::errc::no_such_file_or_directory || IsBusy(error)) return;
  if (error) {
    std::lock_guard lock(mutex_);
    passed_over_.insert(name);
  }
  QueueReport({kSpoolBadFileErrorNumber, {}});
}

std::size_t EventSpool::WaitingCount() const {
  std::lock_guard lock(mutex_);
  return fresh_.size() + backlog_.size() + in_flight_.size();
}

std::size_t EventSpool::UnconfirmedCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(held_.begin(), held_.end(), [](const auto& entry) { return !entry.second.settled; }));
}

bool EventSpool::WriteFailing() const {
  std::lock_guard lock(mutex_);
  return write_failing_;
}

void EventSpool::QueueReport(Report report) {
  {
    std::lock_guard lock(report_mutex_);
    reports_.push_back(std::move(report));
  }
  if (outlets_.ReportsWaiting) outlets_.ReportsWaiting();
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
