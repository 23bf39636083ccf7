#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delivery/event_record.h"
#include "platform/clock.h"

namespace orvent {

// Where the receiver's event records go: the one place where the receiver
// link and the delivery meet. A record's answer says whether its message may
// be acknowledged.
enum class RecordKept {
  // On disk: acknowledge at once.
  OnDisk,
  // The disk refused it; it went to the server, and its message may be
  // acknowledged only when the server confirms that very record (the
  // verdict comes later, under the ticket).
  AwaitingServer,
  // Neither disk nor server can take it: no acknowledgement, the receiver
  // keeps the message and sends it again.
  Refused,
};

struct StoreResult {
  RecordKept Kept = RecordKept::Refused;
  std::uint64_t Ticket = 0;  // for AwaitingServer
};

using StoreResults = std::vector<StoreResult>;

// One finished record and its place in the order of the backlog: the time
// its message was received, the same as the record's RecvTime, handed over
// beside the bytes so that nobody has to read them back.
struct EventToKeep {
  SoobBytes Record{};
  TDateTime ReceivedAt = 0.0;
};

// What takes the receiver's records (the spool). Called on the main thread,
// before any of the records' messages is acknowledged.
class EventSink {
public:
  virtual ~EventSink() = default;
  // One answer per record, in the records' order. Records stored together
  // are flushed together.
  virtual StoreResults StoreEvents(std::span<const EventToKeep> events) = 0;
};

}  // namespace orvent
