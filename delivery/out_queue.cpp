#include "delivery/out_queue.h"

#include <utility>

namespace orvent {

bool OutgoingQueue::PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(mutex_);
  const std::uint64_t sequence = sequence_++;
  return PushLocked(BuildFrame(command, payload, sequence));
}

stru_arb OutgoingQueue::NextFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(mutex_);
  return BuildFrame(command, payload, sequence_++);
}

bool OutgoingQueue::QueuePush(stru_arb bytes) {
  std::lock_guard lock(mutex_);
  return PushLocked(std::move(bytes));
}

bool OutgoingQueue::PushLocked(stru_arb bytes) {
  if (full_) return false;
  slots_[tail_] = std::move(bytes);
  tail_ = (tail_ + 1) % kSlots;
  if (tail_ == head_) full_ = true;
  return true;
}

bool OutgoingQueue::QueuePeek(stru_arb& out) const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  out = slots_[head_];
  return true;
}

void OutgoingQueue::QueuePop() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  slots_[head_] = stru_arb{};  // the frame's bytes are freed as it leaves
  head_ = (head_ + 1) % kSlots;
  full_ = false;
}

std::uint32_t OutgoingQueue::Head() const {
  std::lock_guard lock(mutex_);
  return head_;
}
std::uint32_t OutgoingQueue::Tail() const {
  std::lock_guard lock(mutex_);
  return tail_;
}
bool OutgoingQueue::Full() const {
  std::lock_guard lock(mutex_);
  return full_;
}
bool OutgoingQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return EmptyLocked();
}
std::uint64_t OutgoingQueue::Sequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

}  // namespace orvent
