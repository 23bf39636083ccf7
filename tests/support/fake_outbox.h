#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "delivery/event_outbox.h"

namespace orvent::test {

// The spool as the link sees it: records wait in arrival order; an answered
// record is remembered as acknowledged or handed back, and a record handed
// back waits again, first in line, while `requeue_undelivered` is set.
class FakeOutbox final : public EventOutbox {
public:
  void Add(const SoobBytes& record) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(record);
  }
  std::optional<OutboxEvent> TakeNextEvent() override {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) return std::nullopt;
    const OutboxEvent event{++last_id_, waiting_.front()};
    waiting_.pop_front();
    in_flight_.emplace(event.Id, event.Record);
    return event;
  }
  void EventAcknowledged(EventId id) override { Answer(id, acknowledged_); }
  void EventUndelivered(EventId id) override {
    const std::optional<SoobBytes> record = Answer(id, undelivered_);
    std::lock_guard lock(mutex_);
    if (record && requeue_undelivered) waiting_.push_front(*record);
  }
  void SpoolLinkUp() override { ++link_ups; }
  std::optional<std::int64_t> MsUntilNextEvent() const override {
    std::lock_guard lock(mutex_);
    return waiting_.empty() ? std::nullopt : std::optional<std::int64_t>(0);
  }

  std::vector<SoobBytes> Acknowledged() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
  }
  std::vector<SoobBytes> Undelivered() const {
    std::lock_guard lock(mutex_);
    return undelivered_;
  }
  std::size_t InFlight() const {
    std::lock_guard lock(mutex_);
    return in_flight_.size();
  }
  // Answers for frames that were not in flight: none may ever come.
  int StrayAnswers() const { return stray_; }
  std::atomic<int> link_ups{0};
  std::atomic<bool> requeue_undelivered{false};

private:
  std::optional<SoobBytes> Answer(EventId id, std::vector<SoobBytes>& to) {
    std::lock_guard lock(mutex_);
    const auto it = in_flight_.find(id);
    if (it == in_flight_.end()) {
      ++stray_;
      return std::nullopt;
    }
    const SoobBytes record = it->second;
    to.push_back(record);
    in_flight_.erase(it);
    return record;
  }

  mutable std::mutex mutex_;
  std::deque<SoobBytes> waiting_;
  std::map<EventId, SoobBytes> in_flight_;
  EventId last_id_ = 0;
  std::vector<SoobBytes> acknowledged_;
  std::vector<SoobBytes> undelivered_;
  std::atomic<int> stray_{0};
};

}  // namespace orvent::test
