#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delivery/event_record.h"

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

}  // namespace orvent
