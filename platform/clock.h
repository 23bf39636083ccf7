#pragma once

#include <cstdint>

namespace orvent {

// A local wall-clock date-time: days since 1899-12-30 in the integer part,
// the time of day as the fraction. Records and the spool carry it as is.
using TDateTime = double;

inline constexpr std::int64_t kMsPerDay = 86'400'000;

// Everything the program asks of time. Production uses SystemClock; tests
// inject a FakeClock so that time-outs are tested without sleeping.
class Clock {
public:
  virtual ~Clock() = default;

  // Local wall-clock time (never UTC), to the millisecond.
  virtual TDateTime Now() const = 0;
  // Milliseconds from an arbitrary start; never goes back.
  virtual std::int64_t MonotonicMs() const = 0;
  // Milliseconds as a 32-bit counter that wraps; differences are taken
  // modulo 2^32.
  virtual std::uint32_t TickCount() const = 0;
};

// The operating system's clocks.
class SystemClock final : public Clock {
public:
  TDateTime Now() const override;
  std::int64_t MonotonicMs() const override;
  std::uint32_t TickCount() const override;
};

// A calendar date and time of day, as the wall clock shows it.
struct CivilTime {
  int year = 1899;
  int month = 12;  // 1..12
  int day = 30;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Days since 1899-12-30 of a proleptic Gregorian date (negative before it).
std::int64_t DaysFromCivil(int year, int month, int day);

// Milliseconds since 1899-12-30 00:00:00.000 for a civil time.
std::int64_t MsFromCivil(const CivilTime& t);

// The date-time for a millisecond count since 1899-12-30: the whole days plus
// the time of day as a fraction, added in that order so that the value is the
// same as a date plus a time of day.
TDateTime DateTimeFromMs(std::int64_t ms);

// The nearest millisecond count of a date-time, for exact comparisons.
std::int64_t MsFromDateTime(TDateTime t);

TDateTime EncodeDateTime(const CivilTime& t);
CivilTime DecodeDateTime(TDateTime t);

// Parses "YYYY-MM-DD HH:MM:SS.mmm" (the milliseconds may be left off).
// Returns false for anything else, including impossible dates.
bool ParseCivilTime(const char* text, CivilTime& out);

}  // namespace orvent
