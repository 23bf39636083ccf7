#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/fake_clock.h"

namespace orvent {
namespace {

TEST(DateTime, EncodesDaysSince18991230WithTimeOfDayAsFraction) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_EQ(EncodeDateTime({1900, 1, 1, 12, 0, 0, 0}), 2.5);
  // The value whose bytes the event record carries: C7 66 5B 55 13 EB E3 40.
  const TDateTime t = EncodeDateTime({2011, 9, 6, 14, 30, 0, 250});
  std::uint64_t bits = 0;
  std::memcpy(&bits, &t, sizeof bits);
  EXPECT_EQ(bits, 0x40E3EB13555B66C7ull);
}

TEST(DateTime, DecodesWhatItEncodesToTheMillisecond) {
  for (const CivilTime& c : {CivilTime{2011, 9, 6, 14, 30, 0, 250}, CivilTime{2024, 2, 29, 23, 59, 59, 999},
                             CivilTime{2000, 1, 1, 0, 0, 0, 1}, CivilTime{1899, 12, 30, 0, 0, 0, 0}}) {
    const CivilTime back = DecodeDateTime(EncodeDateTime(c));
    EXPECT_EQ(MsFromCivil(back), MsFromCivil(c));
  }
}

TEST(DateTime, ParsesTheInspectorsTimeText) {
  CivilTime t;
  ASSERT_TRUE(ParseCivilTime("2011-09-06 14:30:00.250", t));
  EXPECT_EQ(MsFromCivil(t), MsFromCivil({2011, 9, 6, 14, 30, 0, 250}));
  ASSERT_TRUE(ParseCivilTime("2011-09-06 14:30:00", t));
  EXPECT_EQ(t.millisecond, 0);
  for (const char* bad : {"", "2011-09-06", "2011-02-30 00:00:00", "2011-09-06 24:00:00", "2011-09-06 14:30:00.25",
                          "2011-09-06 14:30:00.250x", "2011-09-06T14:30:00"}) {
    EXPECT_FALSE(ParseCivilTime(bad, t)) << bad;
  }
}

TEST(FakeClock, MovesOnlyWhenToldAndItsTickWraps) {
  FakeClock clock({2011, 9, 6, 14, 30, 0, 250});
  const TDateTime start = clock.Now();
  clock.SetTick(0xFFFF'FFF0u);
  clock.Advance(0x20);
  EXPECT_EQ(clock.TickCount(), 0x10u);
  EXPECT_EQ(clock.MonotonicMs(), 0x20);
  EXPECT_EQ(MsFromDateTime(clock.Now()) - MsFromDateTime(start), 0x20);
}

TEST(SystemClock, GivesLocalTimeAndAMonotonicCount) {
  SystemClock clock;
  const std::int64_t a = clock.MonotonicMs();
  const std::int64_t b = clock.MonotonicMs();
  EXPECT_LE(a, b);
  // Local wall-clock time, not UTC: compare with the C library's local time.
  const std::time_t now = std::time(nullptr);
  const std::tm local = *std::localtime(&now);
  const CivilTime decoded = DecodeDateTime(clock.Now());
  EXPECT_EQ(decoded.year, local.tm_year + 1900);
  EXPECT_EQ(decoded.day, local.tm_mday);
  EXPECT_NEAR(decoded.hour * 60 + decoded.minute, local.tm_hour * 60 + local.tm_min, 1);
}

}  // namespace
}  // namespace orvent
