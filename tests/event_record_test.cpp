#include <gtest/gtest.h>

#include "delivery/event_record.h"
#include "platform/clock.h"

namespace orvent {
namespace {

TEST(EventRecord, SerialisesTwentyPackedLittleEndianBytes) {
  stru_soob r;
  r.Number = 51234;
  r.ZoneLength = 3;
  r.ZoneChars = {'0', '1', '5', 0};
  r.Razdel = 1;
  r.Kind = 1;
  r.RecvTime = EncodeDateTime({2011, 9, 6, 14, 30, 0, 250});
  r.Mark = stru_soob::kMark;
  const SoobBytes expected = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                              0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};
  EXPECT_EQ(Serialize(r), expected);

  const auto back = DeserializeSoob(expected);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(Serialize(*back), expected);
}

TEST(EventRecord, ReadsBackOnlyExactlyTwentyBytes) {
  const SoobBytes bytes{};
  EXPECT_FALSE(DeserializeSoob(std::span(bytes).first(19)).has_value());
  const std::array<std::uint8_t, 21> longer{};
  EXPECT_FALSE(DeserializeSoob(longer).has_value());
}

}  // namespace
}  // namespace orvent
