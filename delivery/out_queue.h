#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <span>

#include "delivery/event_record.h"
#include "delivery/frame_protocol.h"

namespace orvent {

// One waiting frame. An event frame keeps its record, so that the link can
// hand it back to the spool should its delivery come to doubt: a live record
// exists nowhere else, and the file of a replayed one may already be gone,
// deleted by an acknowledgement that answered another frame.
struct QueuedFrame {
  stru_arb Frame;
  std::optional<SoobBytes> EventRecord;
  std::string SpoolFile;  // the replayed spool file it came from, if any
};

// `OutQueue`: a fixed ring of 100 frames with the frame counter `Sequence`.
// The window thread and the link thread both post; only the link thread
// peeks and pops. One mutex guards all of it, so a frame is never seen half
// written and frames wait in the order of their sequence numbers.
class OutgoingQueue {
public:
  static constexpr std::uint32_t kSlots = 100;

  // Builds a frame with the next sequence number and pushes it. The number is
  // used up even when the queue is full and the frame is discarded (false).
  bool PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload,
                 std::optional<SoobBytes> event_record = std::nullopt, std::string spool_file = {});

  bool QueuePush(stru_arb bytes, std::optional<SoobBytes> event_record = std::nullopt, std::string spool_file = {});
  // A copy of the oldest frame, which stays queued; false when empty.
  bool QueuePeek(QueuedFrame& out) const;
  // Frees the oldest slot; nothing on an empty queue.
  void QueuePop();

  // Takes every waiting frame out, oldest first (the orderly end).
  template <typename Visit>
  void DrainAll(Visit visit) {
    std::lock_guard lock(mutex_);
    while (!EmptyLocked()) {
      visit(slots_[Head_]);
      PopLocked();
    }
  }

  // Takes the event frames out, oldest first; the other frames keep their
  // places and their order.
  template <typename Visit>
  void TakeEventFrames(Visit visit) {
    std::lock_guard lock(mutex_);
    std::vector<QueuedFrame> kept;
    while (!EmptyLocked()) {
      QueuedFrame& frame = slots_[Head_];
      if (frame.EventRecord) {
        visit(frame);
      } else {
        kept.push_back(std::move(frame));
      }
      PopLocked();
    }
    for (QueuedFrame& frame : kept) PushLocked(std::move(frame.Frame), std::nullopt, {});
  }

  std::uint32_t Head() const;
  std::uint32_t Tail() const;
  bool Full() const;
  bool Empty() const;
  std::uint64_t Sequence() const;

private:
  bool EmptyLocked() const { return Head_ == Tail_ && !Full_; }
  bool PushLocked(stru_arb bytes, std::optional<SoobBytes> event_record, std::string spool_file);
  void PopLocked();

  mutable std::mutex mutex_;
  std::array<QueuedFrame, kSlots> slots_{};
  std::uint32_t Head_ = 0;
  std::uint32_t Tail_ = 0;
  bool Full_ = false;
  std::uint64_t Sequence_ = 0;
};

}  // namespace orvent
