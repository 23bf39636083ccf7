#include "delivery/out_queue.h"

namespace orvent {

bool OutgoingQueue::PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload,
                              std::optional<SoobBytes> event_record, std::string spool_file) {
  std::lock_guard lock(mutex_);
  const std::uint64_t sequence = Sequence_++;
  return PushLocked(BuildFrame(command, payload, sequence), event_record, std::move(spool_file));
}

bool OutgoingQueue::QueuePush(stru_arb bytes, std::optional<SoobBytes> event_record, std::string spool_file) {
  std::lock_guard lock(mutex_);
  return PushLocked(std::move(bytes), event_record, std::move(spool_file));
}

bool OutgoingQueue::PushLocked(stru_arb bytes, std::optional<SoobBytes> event_record, std::string spool_file) {
  if (Full_) return false;
  slots_[Tail_] = QueuedFrame{std::move(bytes), event_record, std::move(spool_file)};
  Tail_ = (Tail_ + 1) % kSlots;
  if (Tail_ == Head_) Full_ = true;
  return true;
}

bool OutgoingQueue::QueuePeek(QueuedFrame& out) const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  out = slots_[Head_];
  return true;
}

void OutgoingQueue::QueuePop() {
  std::lock_guard lock(mutex_);
  if (!EmptyLocked()) PopLocked();
}

void OutgoingQueue::PopLocked() {
  slots_[Head_] = QueuedFrame{};  // the frame's bytes are freed as it leaves
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
