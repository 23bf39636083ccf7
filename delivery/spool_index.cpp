#include "delivery/spool_index.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace orvent {
namespace {

bool Earlier(const SpoolIndex::Item& a, const SpoolIndex::Item& b) { return a.order < b.order; }

}  // namespace

void SpoolIndex::AddWritten(SpoolNameId name, std::int64_t order) {
  if (FoundWhileStoring(name)) return;
  fresh_.push_back({order, name});
  if (scanning_) added_during_scan_.push_back(name);
}

void SpoolIndex::EndStore() {
  storing_ = false;
  found_while_storing_.clear();
}

SpoolNameId SpoolIndex::AddHeld(const SoobBytes& record, std::int64_t order, std::int64_t deadline) {
  const SpoolNameId held = ++last_held_;
  held_.emplace(held, HeldRecord{record, deadline, false});
  fresh_.push_back({order, held});
  return held;
}

std::optional<SpoolIndex::Taken> SpoolIndex::Take(std::int64_t now) {
  if (pause_until_ && now <= *pause_until_) return std::nullopt;
  for (;;) {
    std::deque<Item>& from = fresh_.empty() ? backlog_ : fresh_;
    if (from.empty()) return std::nullopt;
    const Item item = from.front();
    from.pop_front();
    Taken taken{0, item.name, {}};
    if (IsHeld(item.name)) {
      const auto held = held_.find(item.name);
      // Given up already: its message is left to the receiver.
      if (held == held_.end() || held->second.settled) {
        if (held != held_.end()) held_.erase(held);
        continue;
      }
      taken.record = held->second.record;
    }
    taken.id = ++last_id_;
    in_flight_.emplace(taken.id, item);
    return taken;
  }
}

SpoolIndex::Acknowledgement SpoolIndex::Acknowledge(EventId id) {
  const auto it = in_flight_.find(id);
  if (it == in_flight_.end()) return {};
  last_acknowledged_order_ = it->second.order;
  const SpoolNameId name = it->second.name;
  if (!IsHeld(name)) return {name, std::nullopt};
  // Confirmed in time: its message may now be acknowledged. One given up
  // already stays given up.
  in_flight_.erase(it);
  Acknowledgement result{std::nullopt, Settle(name)};
  held_.erase(name);
  return result;
}

void SpoolIndex::Delivered(EventId id, bool remains) {
  auto node = in_flight_.extract(id);
  if (node && remains) passed_over_.insert(node.mapped().name);
}

std::optional<std::uint64_t> SpoolIndex::Undelivered(EventId id, std::int64_t pause_until) {
  auto node = in_flight_.extract(id);
  if (!node) return std::nullopt;
  pause_until_ = pause_until;
  const SpoolNameId name = node.mapped().name;
  if (!IsHeld(name)) {
    InsertBacklog(node.mapped());
    return std::nullopt;
  }
  // Not confirmed: its message is left to the receiver, which sends it
  // again; by then the disk may take it.
  const auto given_up = Settle(name);
  held_.erase(name);
  return given_up;
}

void SpoolIndex::Forget(EventId id) { in_flight_.erase(id); }

void SpoolIndex::PassOver(SpoolNameId name) { passed_over_.insert(name); }

std::vector<std::uint64_t> SpoolIndex::Expire(std::int64_t now) {
  std::vector<std::uint64_t> expired;
  for (auto it = held_.begin(); it != held_.end();) {
    if (now <= it->second.deadline) {
      ++it;
      continue;
    }
    if (const auto ticket = Settle(it->first)) expired.push_back(*ticket);
    const SpoolNameId name = it->first;
    if (InFlight(name)) {
      ++it;
      continue;
    }
    std::erase_if(fresh_, [name](const Item& item) { return item.name == name; });
    std::erase_if(backlog_, [name](const Item& item) { return item.name == name; });
    it = held_.erase(it);
  }
  return expired;
}

std::vector<std::uint64_t> SpoolIndex::SettleAll() {
  std::vector<std::uint64_t> settled;
  for (auto& [name, held] : held_) {
    if (!std::exchange(held.settled, true)) settled.push_back(name);
  }
  return settled;
}

void SpoolIndex::BeginScan(std::vector<SpoolNameId>& known) {
  known.clear();
  known.reserve(fresh_.size() + backlog_.size() + in_flight_.size() + passed_over_.size());
  for (const auto* items : {&fresh_, &backlog_}) {
    for (const Item& item : *items) known.push_back(item.name);
  }
  for (const auto& [id, item] : in_flight_) known.push_back(item.name);
  known.insert(known.end(), passed_over_.begin(), passed_over_.end());
  std::sort(known.begin(), known.end());
  scanning_ = true;
  added_during_scan_.clear();
}

bool SpoolIndex::EndScan(std::vector<Item> found, bool listed) {
  std::stable_sort(found.begin(), found.end(), Earlier);
  scanning_ = false;
  std::sort(added_during_scan_.begin(), added_during_scan_.end());
  std::erase_if(found, [&](const Item& item) {
    return std::binary_search(added_during_scan_.begin(), added_during_scan_.end(), item.name);
  });
  added_during_scan_.clear();
  if (storing_) {
    for (const Item& item : found) found_while_storing_.insert(item.name);
  }
  if (!listed || found.empty()) return false;
  // What waited already goes before what the scan found at the same time.
  std::deque<Item> merged;
  std::merge(backlog_.begin(), backlog_.end(), found.begin(), found.end(), std::back_inserter(merged), Earlier);
  backlog_.swap(merged);
  return true;
}

std::size_t SpoolIndex::UnconfirmedCount() const {
  return static_cast<std::size_t>(
      std::count_if(held_.begin(), held_.end(), [](const auto& entry) { return !entry.second.settled; }));
}

std::optional<std::int64_t> SpoolIndex::NextDeadline() const {
  std::optional<std::int64_t> next;
  for (const auto& [name, held] : held_) {
    if (!held.settled) next = std::min(next.value_or(held.deadline), held.deadline);
  }
  return next;
}

std::optional<std::int64_t> SpoolIndex::MsUntilNext(std::int64_t now) const {
  if (fresh_.empty() && backlog_.empty()) return std::nullopt;
  if (pause_until_ && now <= *pause_until_) return *pause_until_ + 1 - now;
  return 0;
}

SpoolIndex::Contents SpoolIndex::Snapshot() const {
  return {{fresh_.begin(), fresh_.end()}, {backlog_.begin(), backlog_.end()}, in_flight_};
}

void SpoolIndex::InsertBacklog(const Item& item) {
  backlog_.insert(std::upper_bound(backlog_.begin(), backlog_.end(), item, Earlier), item);
}

bool SpoolIndex::InFlight(SpoolNameId name) const {
  return std::any_of(in_flight_.begin(), in_flight_.end(), [name](const auto& entry) { return entry.second.name == name; });
}

std::optional<std::uint64_t> SpoolIndex::Settle(SpoolNameId held) {
  const auto it = held_.find(held);
  if (it == held_.end() || std::exchange(it->second.settled, true)) return std::nullopt;
  return held;
}

bool SpoolIndex::FoundWhileStoring(SpoolNameId name) {
  if (!found_while_storing_.erase(name)) return false;
  const auto same = [name](const Item& item) { return item.name == name; };
  // Still in the backlog: it leaves it, to go first as the new record it is.
  if (const auto it = std::find_if(backlog_.begin(), backlog_.end(), same); it != backlog_.end()) {
    backlog_.erase(it);
    return false;
  }
  return true;
}

std::optional<std::int64_t> SpoolIndex::OldestOrder() const {
  std::optional<std::int64_t> oldest;
  const auto consider = [&oldest](std::int64_t order) {
    if (!oldest || order < *oldest) oldest = order;
  };
  if (!fresh_.empty()) consider(fresh_.front().order);
  if (!backlog_.empty()) consider(backlog_.front().order);
  for (const auto& [id, item] : in_flight_) consider(item.order);
  return oldest;
}

}  // namespace orvent
