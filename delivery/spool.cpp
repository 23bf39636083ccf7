#include "delivery/spool.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace orvent {
namespace {

// Files that cannot be sent that one TakeNextEvent passes over before it
// lets the link get on with its other work.
constexpr int kMaxUnsendablePerTake = 16;

}  // namespace

EventSpool::EventSpool(std::string path_for_soob, const Clock& clock, SpoolObserver* observer, SpoolDisk* disk)
    : clock_(clock),
      observer_(observer),
      folder_(std::move(path_for_soob), clock, disk != nullptr ? *disk : own_disk_, observer) {}

// The scanner works on the index: it stops before the index goes.
EventSpool::~EventSpool() { folder_.StopScanner(); }

void EventSpool::StartScanner() {
  folder_.StartScanner([this](const std::stop_token& stop) { ScanFolder(stop); });
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

StoreResults EventSpool::StoreEvents(std::span<const EventToKeep> records) {
  {
    // Scans may list the batch's files before it indexes them (the folder
    // flush lies in between): the index remembers what they find meanwhile.
    std::lock_guard lock(mutex_);
    index_.BeginStore();
  }
  std::vector<std::optional<SpoolNameId>> names;
  names.reserve(records.size());
  std::optional<SpoolNameId> last_written;
  for (const EventToKeep& event : records) {
    // Once the disk has refused one, the rest of the batch does not wait for
    // it again.
    const bool failed_already = !names.empty() && !names.back();
    names.push_back(failed_already ? std::nullopt : folder_.Write(event.Record));
    if (names.back()) last_written = names.back();
  }
  // Every file's data is on disk already; one flush of the folder makes all
  // their names last, before any of them is acknowledged. A folder that
  // cannot be flushed leaves names that a power loss may take with it: no
  // record may be acknowledged on their word. Their files go again (one
  // that stays is found by a scan and sent, a repeat at worst), and the
  // records are what the disk refused.
  if (last_written && folder_.FlushFolder(*last_written)) {
    for (std::optional<SpoolNameId>& name : names) {
      if (name) (void)folder_.Remove(*std::exchange(name, std::nullopt));
    }
  }

  StoreResults results(records.size());
  bool any_written = false;
  bool any_failed = false;
  const bool server = observer_ != nullptr && observer_->ServerTakesEvents();
  const std::int64_t deadline = clock_.MonotonicMs() + kServerConfirmMs;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::int64_t order = SpoolOrderOf(records[i].ReceivedAt);
      if (names[i]) {
        any_written = true;
        results[i].Kept = RecordKept::OnDisk;
        index_.AddWritten(*names[i], order);
        continue;
      }
      any_failed = true;
      if (!server) continue;  // Refused: the receiver keeps it
      results[i] = {RecordKept::AwaitingServer, index_.AddHeld(records[i].Record, order, deadline)};
    }
    index_.EndStore();
  }
  if (any_written) folder_.WriteSucceeded();
  if (any_failed) folder_.WriteFailed();
  if (any_written || (any_failed && server)) Wake();
  EmitReports();
  return results;
}

bool EventSpool::StoreEvent(const SoobBytes& record) {
  const auto soob = DeserializeSoob(record);
  const EventToKeep event{record, soob ? soob->RecvTime : 0.0};
  return StoreEvents({&event, 1}).front().Kept == RecordKept::OnDisk;
}

void EventSpool::GiveVerdicts(std::span<const std::uint64_t> tickets, bool confirmed) {
  if (observer_ == nullptr) return;
  for (const std::uint64_t ticket : tickets) observer_->ServerVerdict(ticket, confirmed);
}

void EventSpool::ScanFolder() { ScanFolder({}); }

void EventSpool::ScanFolder(const std::stop_token& stop) {
  std::lock_guard scan_lock(scan_mutex_);
  folder_.RecoverTemporaryFiles();
  std::vector<SpoolNameId> known;
  {
    // From here on the index may change; what the main thread adds meanwhile
    // is not added again by this scan.
    std::lock_guard lock(mutex_);
    index_.BeginScan(known);
  }
  SpoolScanFindings findings = folder_.FindNewFiles(known, stop);
  bool added = false;
  {
    std::lock_guard lock(mutex_);
    for (const SpoolNameId name : findings.unsendable) index_.PassOver(name);
    added = index_.EndScan(std::move(findings.found), findings.listed);
  }
  // What the scan found to report is told on the main thread (ReportsWaiting).
  if (added) Wake();
}

void EventSpool::CheckStep() {
  std::vector<std::uint64_t> expired;
  {
    std::lock_guard lock(mutex_);
    expired = index_.Expire(clock_.MonotonicMs());
  }
  GiveVerdicts(expired, false);
  folder_.CheckDisk();
  EmitReports();
}

std::optional<std::int64_t> EventSpool::MsUntilCheck() const {
  std::optional<std::int64_t> deadline;
  {
    std::lock_guard lock(mutex_);
    deadline = index_.NextDeadline();
  }
  std::optional<std::int64_t> due;
  const std::int64_t now = clock_.MonotonicMs();
  const auto sooner = [&](std::int64_t at) { due = std::min(due.value_or(at - now), at - now); };
  // A record is given up only once its deadline has passed.
  if (deadline) sooner(*deadline + 1);
  if (const auto notice = folder_.NextDiskNotice()) sooner(*notice);
  if (due) due = std::max<std::int64_t>(*due, 0);
  return due;
}

void EventSpool::Close() {
  folder_.StopScanner();
  std::vector<std::uint64_t> unconfirmed;
  {
    std::lock_guard lock(mutex_);
    unconfirmed = index_.SettleAll();
  }
  GiveVerdicts(unconfirmed, false);
  EmitReports();
}

std::optional<OutboxEvent> EventSpool::TakeNextEvent() {
  for (int passed = 0; passed < kMaxUnsendablePerTake; ++passed) {
    std::optional<SpoolIndex::Taken> taken;
    {
      std::lock_guard lock(mutex_);
      taken = index_.Take(clock_.MonotonicMs());
    }
    if (!taken) return std::nullopt;
    if (SpoolIndex::IsHeld(taken->name)) return OutboxEvent{taken->id, taken->record};
    const SpoolFileRead read = folder_.Read(taken->name);
    if (read.state == SpoolFileState::Record) return OutboxEvent{taken->id, read.record};
    if (read.state == SpoolFileState::Transient) {
      EventUndelivered(taken->id);
      return std::nullopt;
    }
    {
      std::lock_guard lock(mutex_);
      index_.Forget(taken->id);
    }
    // Removed from outside since it was indexed: nothing left to send. A
    // busy file leaves the index and a later scan finds it again.
    if (read.state == SpoolFileState::Bad) SetAside(taken->name);
  }
  return std::nullopt;
}

void EventSpool::EventAcknowledged(EventId id) {
  SpoolIndex::Acknowledgement ack;
  {
    std::lock_guard lock(mutex_);
    ack = index_.Acknowledge(id);
  }
  if (ack.confirmed) GiveVerdicts({&*ack.confirmed, 1}, true);
  if (!ack.file) return;
  // Deleted while the index still names it, so that no scan in between can
  // take the file for a new one.
  const bool removed = folder_.Remove(*ack.file);
  std::lock_guard lock(mutex_);
  // Delivered, but still on disk: it must never go again.
  index_.Delivered(id, !removed);
}

void EventSpool::EventUndelivered(EventId id) {
  std::optional<std::uint64_t> given_up;
  {
    std::lock_guard lock(mutex_);
    given_up = index_.Undelivered(id, clock_.MonotonicMs() + kResendMs);
  }
  if (given_up) GiveVerdicts({&*given_up, 1}, false);
}

void EventSpool::SpoolLinkUp() {
  std::lock_guard lock(mutex_);
  index_.EndPause();
}

std::optional<std::int64_t> EventSpool::MsUntilNextEvent() const {
  std::lock_guard lock(mutex_);
  return index_.MsUntilNext(clock_.MonotonicMs());
}

void EventSpool::SetAside(SpoolNameId name) {
  if (folder_.SetAside(name)) return;
  std::lock_guard lock(mutex_);
  index_.PassOver(name);
}

std::size_t EventSpool::WaitingCount() const {
  std::lock_guard lock(mutex_);
  return index_.WaitingCount();
}

EventSpool::Backlog EventSpool::BacklogNow() const {
  const auto time_of = [](std::optional<std::int64_t> order) -> std::optional<TDateTime> {
    if (!order || *order == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    return DateTimeFromMs(*order);
  };
  std::lock_guard lock(mutex_);
  return {index_.WaitingCount(), time_of(index_.OldestOrder()), time_of(index_.LastAcknowledgedOrder())};
}

std::size_t EventSpool::UnconfirmedCount() const {
  std::lock_guard lock(mutex_);
  return index_.UnconfirmedCount();
}

bool EventSpool::WriteFailing() const { return folder_.WriteFailing(); }

void EventSpool::EmitReports() { folder_.EmitReports(); }

}  // namespace orvent
