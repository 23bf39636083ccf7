#pragma once

#include <cstdint>
#include <optional>

#include "delivery/event_record.h"

namespace orvent {

// Which record an event frame carries, for as long as its answer is awaited:
// only the acknowledgement of that very frame may delete the record.
using EventId = std::uint64_t;

// One event for the server: the record and the identity its frame carries.
struct OutboxEvent {
  EventId Id = 0;
  SoobBytes Record{};
};

// What the server link needs of the spool, which is its outbox: every event
// frame it sends is the frame of one record that waits there. The spool
// implements it; tests use fakes. Called on the link thread.
class EventOutbox {
public:
  virtual ~EventOutbox() = default;

  // The next record to send, now in flight; nullopt when none may go now.
  // New records come first, then the backlog, oldest record first.
  virtual std::optional<OutboxEvent> TakeNextEvent() = 0;
  // The server answered that very frame with cmd_event_ack: the record is
  // delivered and leaves the spool.
  virtual void EventAcknowledged(EventId id) = 0;
  // Any other answer, none, a lost connection or the end: the record stays
  // and goes again after the resend pause.
  virtual void EventUndelivered(EventId id) = 0;
  // A connection has just been established: the resend pause ends.
  virtual void SpoolLinkUp() = 0;
  // Milliseconds until TakeNextEvent may give a record (0: now); nullopt when
  // none waits.
  virtual std::optional<std::int64_t> MsUntilNextEvent() const = 0;
};

}  // namespace orvent
