#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

#include "delivery/frame_protocol.h"

namespace orvent {

// `OutQueue`: a fixed ring of 100 frames with the frame counter `Sequence`.
// The main thread and the link thread both post; only the link thread
// peeks and pops. One mutex guards all of it, so a frame is never seen half
// written and frames wait in the order of their sequence numbers.
//
// Event frames do not wait here: their records wait in the spool, and the
// link builds each event frame as it sends it (NextFrame).
class OutgoingQueue {
public:
  static constexpr std::uint32_t kSlots = 100;

  // Builds a frame with the next sequence number and pushes it. The number is
  // used up even when the queue is full and the frame is discarded (false).
  bool PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload);
  // Builds a frame with the next sequence number without queueing it.
  stru_arb NextFrame(std::uint32_t command, std::span<const std::uint8_t> payload);

  bool QueuePush(stru_arb bytes);
  // A copy of the oldest frame, which stays queued; false when empty.
  bool QueuePeek(stru_arb& out) const;
  // Frees the oldest slot; nothing on an empty queue.
  void QueuePop();

  std::uint32_t Head() const;
  std::uint32_t Tail() const;
  bool Full() const;
  bool Empty() const;
  std::uint64_t Sequence() const;

private:
  bool EmptyLocked() const { return head_ == tail_ && !full_; }
  bool PushLocked(stru_arb bytes);

  mutable std::mutex mutex_;
  std::array<stru_arb, kSlots> slots_{};
  std::uint32_t head_ = 0;
  std::uint32_t tail_ = 0;
  bool full_ = false;
  std::uint64_t sequence_ = 0;
};

}  // namespace orvent
