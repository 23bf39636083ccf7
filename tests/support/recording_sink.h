#pragma once

#include <span>
#include <vector>

#include "delivery/event_sink.h"

namespace orvent::test {

// Takes every record as kept on disk and keeps its bytes, for tests of what
// the decoder makes of a line.
class RecordingSink final : public EventSink {
public:
  StoreResults StoreEvents(std::span<const EventToKeep> events) override {
    for (const EventToKeep& event : events) records.push_back(event.Record);
    return StoreResults(events.size(), {RecordKept::OnDisk, 0});
  }

  std::vector<SoobBytes> records;
};

}  // namespace orvent::test
