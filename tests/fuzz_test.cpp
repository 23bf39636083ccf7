#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/settings.h"
#include "delivery/parse_int.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

// Random bytes, often bent towards what the parsers look for, so that the
// cases reach past the first check.
class Noise {
public:
  explicit Noise(std::uint32_t seed) : rng_(seed) {}

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  char Byte() { return static_cast<char>(Below(256)); }
  char Interesting() {
    static constexpr char kChars[] = "0123456789ABCDEFabcdefxX$+- =[]\r\n\t\x14\0;";
    return Below(3) == 0 ? Byte() : kChars[Below(sizeof kChars - 1)];
  }

  std::string Packet() {
    std::string p(static_cast<std::size_t>(1 + Below(256)), '\0');
    for (char& c : p) c = Interesting();
    if (Below(2) == 0) p.front() = '5';
    if (Below(3) != 0) p.back() = '\x14';
    return p;
  }

  std::string SettingsText() {
    static const char* kPieces[] = {"[main]", "[Razdels]", "[ServerHost]", "[", "]", "Log=", "Hex=", "VariantRazdel=",
                                    "FirstNumber=", "Attention=", "ComPort=", "PathForSoob=", "Address=", "Port=",
                                    "1234_1=", "=", "\r\n", "\n", "$", "0x", "-", "00:10:00", "25:61:99"};
    std::string text;
    const int parts = Below(60);
    for (int i = 0; i < parts; ++i) {
      if (Below(4) == 0) {
        text += std::string(static_cast<std::size_t>(Below(3000) == 0 ? 5000 : Below(20)), Interesting());
      } else {
        text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
      }
      if (Below(3) == 0) text += Interesting();
    }
    return text;
  }

private:
  std::mt19937 rng_;
};

TEST(BadInput, RandomSettingsAndPacketsNeverBreakTheDecoder) {
  test::TempDir dir;
  const IniFile ini(dir.File(kSettingsFileName));
  Noise noise(20110906);
  FakeClock clock;

  for (int round = 0; round < 1000; ++round) {
    SCOPED_TRACE(round);
    dir.Write(kSettingsFileName, noise.SettingsText());
    const MainSettings main = ReadMainSettings(ini);
    EXPECT_LE(main.ComPort.size(), 2047u);
    EXPECT_GE(main.Attention.count(), 0);
    EXPECT_LT(main.Attention, std::chrono::hours(24));
    (void)ReadServerHost(ini);

    DecoderSettings s;
    s.Log = main.Log;
    s.Hex = noise.Below(2) == 0 || main.Hex;
    s.VariantRazdel = noise.Below(2) == 0 ? 2 : main.VariantRazdel;
    s.FirstNumber = main.FirstNumber;
    s.Attention = main.Attention;

    int acks = 0;
    int complete = 0;
    int events = 0;
    int records = 0;
    DecoderOutlets out;
    out.AppendRawLog = [](std::span<const std::uint8_t>) {};
    out.SendData = [&](const std::uint8_t* data, std::uint32_t size) {
      EXPECT_EQ(size, 1u);
      EXPECT_EQ(*data, kACK);
      ++acks;
      return size;
    };
    out.StoreEvent = [&](const SoobBytes& bytes) {
      ++records;
      const stru_soob r = *DeserializeSoob(bytes);
      EXPECT_EQ(r.Mark, 33);
      EXPECT_LE(r.ZoneLength, 4);
      EXPECT_LE(r.Kind, 9);
      for (int i = 0; i < r.ZoneLength; ++i) EXPECT_FALSE(r.ZoneChars[i] >= 'A' && r.ZoneChars[i] <= 'Z');
      return true;
    };
    out.LookupRazdel = [&](const std::string& key) { return LookupRazdel(ini, key); };
    out.ReportFailure = [](const std::string& message) { EXPECT_NE(message.find("not a valid integer"), std::string::npos); };
    MessageDecoder decoder(s, clock, dir.path(), out);

    for (int i = 0; i < 20; ++i) {
      const std::string p = noise.Packet();
      complete += p.back() == '\x14';
      events += p.back() == '\x14' && p.front() == '5';
      decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(p.data()), static_cast<std::uint32_t>(p.size()));
      clock.Advance(noise.Below(100'000));
      decoder.Watchdog();
      EXPECT_GE(decoder.StationTick, 0);
      EXPECT_LE(decoder.StationTick, 16);
    }
    EXPECT_EQ(acks, complete);
    EXPECT_EQ(records, events) << "every acknowledged event line yields its record";
  }
}

TEST(BadInput, RandomTextsNeverBreakTheIntegerRule) {
  Noise noise(42);
  for (int i = 0; i < 20000; ++i) {
    std::string text(static_cast<std::size_t>(noise.Below(14)), '\0');
    for (char& c : text) c = noise.Interesting();
    const auto value = TryParseInt(text);
    EXPECT_EQ(ParseIntOr(text, 5), value.value_or(5));
  }
}

}  // namespace
}  // namespace orvent
