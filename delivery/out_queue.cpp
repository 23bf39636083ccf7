#include "delivery/out_queue.h"

#include <utility>

namespace orvent {

bool OutgoingQueue::PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(mutex_);
  const std::uint64_t sequence = Sequence_++;
  return PushLocked(BuildFrame(command, payload, sequence));
}

stru_arb OutgoingQueue::NextFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(mutex_);
  return BuildFrame(command, payload, Sequence_++);
}

bool OutgoingQueue::QueuePush(stru_arb bytes) {
  std::lock_guard lock(mutex_);
  return PushLocked(std::move(bytes));
}

bool OutgoingQueue::PushLocked(stru_arb bytes) {
  if (Full_) return false;
  slots_[Tail_] = std::move(bytes);
  Tail_ = (Tail_ + 1) % kSlots;
  if (Tail_ == Head_) Full_ = true;
  return true;
}

bool OutgoingQueue::QueuePeek(stru_arb& out) const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  out = slots_[Head_];
  return true;
}

void OutgoingQueue::QueuePop() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  slots_[Head_] = stru_arb{};  // the frame's bytes are freed as it leaves
  Head_ = (Head_ + 1) % kSlots;
  Full_ = false;
}

std::uint32_t OutgoingQueue::Head() const {
  std::lock_guard lock(mutex_);
  return Head_;
}
std::uint32_t OutgoingQueue::Tail() const {
  std::lock_guard lock(mutex_);
  return Tail_;
}
bool OutgoingQueue::Full() const {
  std::lock_guard lock(mutex_);
  return Full_;
}
bool OutgoingQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return EmptyLocked();
}
std::uint64_t OutgoingQueue::Sequence() const {
  std::lock_guard lock(mutex_);
  return Sequence_;
}

}  // namespace orvent
