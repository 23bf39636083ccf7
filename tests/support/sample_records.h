#pragma once

#include <cstdint>
#include <string>

#include "delivery/event_record.h"
#include "delivery/spool.h"
#include "platform/clock.h"

namespace orvent::test {

// An event record as the decoder makes it for account 1234, partition 01,
// zone 015 and kind 1, decoded 2011-09-06 14:30:00.250; a test changes the
// fields it is about.
inline stru_soob SampleSoob(std::int32_t number = 51234) {
  stru_soob r;
  r.Number = number;
  r.ZoneLength = 3;
  r.ZoneChars = {'0', '1', '5', 0};
  r.Razdel = 1;
  r.Kind = 1;
  r.RecvTime = EncodeDateTime(CivilTime{2011, 9, 6, 14, 30, 0, 250});
  r.Mark = stru_soob::kMark;
  return r;
}

// The 24 bytes of the spool file that holds the record.
inline std::string SpoolFileText(const SoobBytes& record) {
  const SpoolFileBytes bytes = MakeSpoolFileBytes(record);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace orvent::test
