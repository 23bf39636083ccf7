#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include "station/settings.h"
#include "common/parse_int.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "support/recording_sink.h"
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
  // A number of 1 to 36 random bits, every length as likely as any other:
  // mostly within 32 bits, some just beyond.
  std::uint64_t Wide() {
    const std::uint64_t bits = std::uint64_t{rng_()} << 32 | rng_();
    return bits >> (28 + Below(36));
  }
  char Interesting() {
    static constexpr char kChars[] = "0123456789ABCDEFabcdefxX$+- =[]\r\n\t\x14\0;";
    return Below(3) == 0 ? Byte() : kChars[Below(sizeof kChars - 1)];
  }

  std::string Packet() {
    // A quarter are an alarm with a few bytes changed, so that lines of an
    // event's length and shape reach the decoding, odd fields and all.
    if (Below(4) == 0) {
      std::string p = std::string("5011 181234113001015") + '\x14';
      for (int n = Below(3); n >= 0; --n) p[static_cast<std::size_t>(Below(21))] = Interesting();
      return p;
    }
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
  int all_events = 0;

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
    DecoderOutlets out;
    out.AppendRawLog = [](std::span<const std::uint8_t>) { return std::error_code{}; };
    out.SendData = [&](const std::uint8_t* data, std::uint32_t size, std::error_code&) {
      EXPECT_EQ(size, 1u);
      EXPECT_EQ(*data, kACK);
      ++acks;
      return size;
    };
    test::RecordingSink sink;
    out.Sink = &sink;
    out.LookupRazdel = [&](const std::string& key) { return LookupRazdel(ini, key); };
    out.ReportFailure = [](const std::string& message) { EXPECT_NE(message.find("not a valid integer"), std::string::npos); };
    MessageDecoder decoder(s, clock, out);

    for (int i = 0; i < 20; ++i) {
      const std::string p = noise.Packet();
      // Only a line that is a message of the receiver's is acknowledged.
      const LineVerdict verdict =
          ClassifyLine({reinterpret_cast<const std::uint8_t*>(p.data()), p.size()}, true, p.back() == '\x14');
      complete += verdict.Kind != LineKind::Damaged;
      events += verdict.Kind == LineKind::Event;
      decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(p.data()), static_cast<std::uint32_t>(p.size()));
      clock.Advance(noise.Below(100'000));
      decoder.Watchdog();
      EXPECT_GE(decoder.StationTick, 0);
      EXPECT_LE(decoder.StationTick, 16);
    }
    EXPECT_EQ(acks, complete);
    EXPECT_EQ(static_cast<int>(sink.records.size()), events) << "every acknowledged event line yields its record";
    for (const SoobBytes& bytes : sink.records) {
      const stru_soob r = *DeserializeSoob(bytes);
      EXPECT_EQ(r.Mark, 33);
      EXPECT_LE(r.ZoneLength, 4);
      EXPECT_LE(r.Kind, 9);
      for (int i = 0; i < r.ZoneLength; ++i) EXPECT_FALSE(r.ZoneChars[i] >= 'A' && r.ZoneChars[i] <= 'Z');
    }
    all_events += events;
  }
  EXPECT_GT(all_events, 100) << "the decoding itself was reached";
}

// The integer rule read a second way, sharing nothing with TryParseInt but
// the rule's wording: the form by regular expressions, the value by
// std::from_chars on 64 bits.
std::optional<std::int32_t> ReadByTheRule(std::string_view whole) {
  const std::string text(whole.substr(0, whole.find('\0')));
  static const std::regex kDecimal(" *([+-]?)([0-9]+)");
  static const std::regex kHex(" *([+-]?)(?:\\$|x|X|0x|0X)([0-9A-Fa-f]+)");
  std::smatch m;
  const bool decimal = std::regex_match(text, m, kDecimal);
  if (!decimal && !std::regex_match(text, m, kHex)) return std::nullopt;
  const bool negative = m[1] == "-";
  std::string digits = m[2];
  if (!decimal) {
    // At most 32 bits of value; leading zeros carry none.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 8) return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, decimal ? 10 : 16);
  if (error == std::errc::result_out_of_range) return std::nullopt;
  EXPECT_EQ(error, std::errc()) << digits;
  EXPECT_EQ(end, digits.data() + digits.size()) << digits;
  if (!decimal) {
    // Two's complement: "$FFFFFFFF" is -1, "-$1" is -1 as well.
    const auto bits = static_cast<std::uint32_t>(magnitude);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
  }
  if (magnitude > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
  const auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::string Printable(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 && byte < 127 && c != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    }
  }
  return out + "\"";
}

// A text near the rule: blanks, a sign, a hexadecimal prefix, leading zeros
// and digits (often at the edges of the 32-bit range, in either letter case),
// then sometimes one byte changed or inserted, a trailing blank, or a NUL with
// more after it.
std::string IntegerText(Noise& noise) {
  static constexpr const char* kSigns[] = {"", "", "+", "-"};
  static constexpr const char* kHexPrefixes[] = {"$", "x", "X", "0x", "0X"};
  // Up to 2 either side of each; 0 - 2 wraps to a 20-digit number.
  static constexpr std::uint64_t kEdges[] = {0, 0x7FFF'FFFF, 0x8000'0000, 0xFFFF'FFFF, 0x1'0000'0000, 99'999'999'999};
  std::string text(static_cast<std::size_t>(noise.Below(3)), ' ');
  text += kSigns[noise.Below(4)];
  const bool hex = noise.Below(3) == 0;
  if (hex) text += kHexPrefixes[noise.Below(5)];
  if (noise.Below(4) == 0) text += std::string(static_cast<std::size_t>(1 + noise.Below(9)), '0');
  const std::uint64_t value = noise.Below(2) == 0
                                  ? kEdges[noise.Below(std::size(kEdges))] + static_cast<std::uint64_t>(noise.Below(5)) - 2
                                  : noise.Wide();
  char digits[24];
  std::snprintf(digits, sizeof digits, hex ? "%llx" : "%llu", static_cast<unsigned long long>(value));
  for (const char c : std::string_view(digits)) text += noise.Below(2) == 0 ? static_cast<char>(std::toupper(c)) : c;

  const auto at = static_cast<std::size_t>(noise.Below(static_cast<int>(text.size()) + 1));
  switch (noise.Below(8)) {
    case 0:
      text.insert(at, 1, noise.Interesting());
      break;
    case 1:
      if (at < text.size()) text[at] = noise.Interesting();
      break;
    case 2:
      text += ' ';
      break;
    case 3:
      text += '\0';
      text += noise.Interesting();
      break;
    default:
      break;
  }
  return text;
}

TEST(BadInput, RandomTextsAreReadAsTheIntegerRuleSays) {
  Noise noise(42);
  int decimal = 0;
  int hexadecimal = 0;
  int refused = 0;
  int mismatches = 0;
  for (int i = 0; i < 20000 && mismatches < 10; ++i) {
    std::string text;
    if (noise.Below(5) == 0) {
      text.resize(static_cast<std::size_t>(noise.Below(14)));
      for (char& c : text) c = noise.Interesting();
    } else {
      text = IntegerText(noise);
    }
    const std::optional<std::int32_t> expected = ReadByTheRule(text);
    // Two fallbacks tell a refused text from one that reads as a fallback.
    const std::int32_t got_a = ParseIntOr(text, 5);
    const std::int32_t got_b = ParseIntOr(text, -77);
    if (got_a != expected.value_or(5) || got_b != expected.value_or(-77)) {
      ++mismatches;
      ADD_FAILURE() << Printable(text) << " reads as " << got_a << " / " << got_b << "; the rule gives "
                    << (expected ? std::to_string(*expected) : "the fallback");
    }
    const std::string_view cut = std::string_view(text).substr(0, text.find('\0'));
    if (!expected) {
      ++refused;
    } else if (cut.find_first_of("$xX") != std::string_view::npos) {
      ++hexadecimal;
    } else {
      ++decimal;
    }
  }
  // The texts must reach every branch of the rule, or the comparison says
  // little (the seed gives about 4500, 2800 and 12700).
  EXPECT_GE(decimal, 2000);
  EXPECT_GE(hexadecimal, 1500);
  EXPECT_GE(refused, 2000);
}

}  // namespace
}  // namespace orvent
