#include "tools/inspect_decode.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/command_line_refusal.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "station/settings.h"

namespace orvent {
namespace {

// The driver's receive buffer: a line without its DC4 by then is dropped.
constexpr std::size_t kMaxLine = 2048;

constexpr char kProgram[] = "orvent-inspect decode";
constexpr char kUsage[] =
    "usage: orvent-inspect decode [--ini FILE] [--time \"YYYY-MM-DD HH:MM:SS.mmm\"] LINE\n"
    "  Decodes one receiver line as the driver would with the settings of FILE\n"
    "  (default ./kelmora.ini; a missing file means the defaults). The closing DC4\n"
    "  may be left off LINE; \\xNN stands for the byte NN and \\\\ for a backslash.\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
    } else if (text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (text[i + 1] == 'x') {
      if (i + 3 >= text.size() || HexValue(text[i + 2]) < 0 || HexValue(text[i + 3]) < 0) return std::nullopt;
      out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Printable ASCII as it is, every other byte as \xNN.
std::string Visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, c == '\\' ? "\\\\" : "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string Hex(const SoobBytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

std::string FormatTime(TDateTime t) {
  const CivilTime c = DecodeDateTime(t);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day, c.hour, c.minute,
                c.second, c.millisecond);
  return text;
}

int NoEvent(const std::string& why) {
  std::printf("no event: %s\n", why.c_str());
  return 1;
}

// Keeps the first record the decoder hands over and takes it as kept: the
// inspector writes no spool.
struct FirstRecord final : EventSink {
  StoreResults StoreEvents(std::span<const EventToKeep> events) override {
    if (!record && !events.empty()) record = events.front().Record;
    return StoreResults(events.size(), {RecordKept::OnDisk, 0});
  }
  std::optional<SoobBytes> record;
};

}  // namespace

int RunInspectDecode(int argc, char** argv) {
  std::string ini_path = std::string("./") + kSettingsFileName;
  std::optional<CivilTime> fixed_time;
  std::optional<std::string> raw_line;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--ini" || arg == "--time") && i + 1 == argc) {
      return RefuseCommandLine(kProgram, "\"" + arg + "\" wants a value");
    }
    if (arg == "--ini") {
      ini_path = argv[++i];
    } else if (arg == "--time") {
      CivilTime t;
      const std::string text = argv[++i];
      if (!ParseCivilTime(text.c_str(), t)) {
        return RefuseCommandLine(kProgram, "\"--time\" wants \"YYYY-MM-DD HH:MM:SS.mmm\", not \"" + text + "\"");
      }
      fixed_time = t;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.starts_with("--")) {
      return RefuseCommandLine(kProgram, UnknownArgument(arg));
    } else if (raw_line) {
      return RefuseCommandLine(kProgram, "unexpected argument \"" + arg + "\": LINE is \"" + *raw_line + "\" already");
    } else {
      raw_line = arg;
    }
  }
  if (!raw_line) return RefuseCommandLine(kProgram, "no LINE given");
  std::optional<std::string> line = Unescape(*raw_line);
  if (!line) return RefuseCommandLine(kProgram, "a \\x escape wants two hexadecimal digits: \"" + *raw_line + "\"");
  // The driver ends a line at every DC4, so bytes after one belong to the
  // next line: decoding them as one would show a record that never exists.
  const std::size_t dc4 = line->find(static_cast<char>(kDC4));
  if (dc4 != std::string::npos && dc4 + 1 != line->size()) {
    return RefuseCommandLine(kProgram, "LINE holds a DC4 (\\x14) after " + std::to_string(dc4) +
                                           " bytes, where the driver ends a line; give one line at a time");
  }

  const IniFile ini(ini_path);
  const MainSettings main = ReadMainSettings(ini);
  DecoderSettings settings;
  settings.Hex = main.Hex;
  settings.VariantRazdel = main.VariantRazdel;
  settings.FirstNumber = main.FirstNumber;
  settings.Attention = main.Attention;
  // The inspector never writes the driver's raw log.
  settings.Log = false;

  const bool ini_found = std::filesystem::exists(ini_path);
  std::printf("settings: %s%s: FirstNumber %d, VariantRazdel %d, Hex %s\n", ini_path.c_str(),
              ini_found ? "" : " (not found, defaults)", main.FirstNumber, main.VariantRazdel, main.Hex ? "on" : "off");

  if (line->empty() || line->back() != static_cast<char>(kDC4)) *line += static_cast<char>(kDC4);
  std::printf("line: %s (%zu bytes)\n", Visible(*line).c_str(), line->size());
  if (line->size() > kMaxLine) return NoEvent("the line is longer than the driver's 2048-byte receive buffer");

  SystemClock system_clock;
  FakeClock fake_clock(fixed_time.value_or(CivilTime{}));
  const Clock& clock = fixed_time ? static_cast<const Clock&>(fake_clock) : system_clock;

  bool acknowledged = false;
  std::vector<std::string> notes;
  DecoderOutlets out;
  out.SendData = [&](const std::uint8_t*, std::uint32_t size, std::error_code&) {
    acknowledged = true;
    return size;
  };
  FirstRecord sink;
  out.Sink = &sink;
  const std::optional<SoobBytes>& record = sink.record;
  out.LookupRazdel = [&](const std::string& key) {
    const std::int32_t value = LookupRazdel(ini, key);
    notes.push_back("Razdels key " + key + (value == -1 ? ": no entry" : ": " + std::to_string(value)));
    return value;
  };
  out.ReportFailure = [&](const std::string& message) { notes.push_back("warning: " + message); };

  MessageDecoder decoder(settings, clock, out);
  decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(line->data()), static_cast<std::uint32_t>(line->size()));

  std::printf("acknowledged: %s\n", acknowledged ? "yes" : "no");
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  if (!record) {
    const LineVerdict verdict = ClassifyLine(
        {reinterpret_cast<const std::uint8_t*>(line->data()), line->size()}, true, true);
    if (verdict.Kind == LineKind::Damaged) {
      std::printf("damaged: %s\n", verdict.Why);
      return NoEvent("the line is no message of the receiver's; the driver leaves it unacknowledged");
    }
    return NoEvent("the line does not start with \"5\"");
  }

  const stru_soob r = *DeserializeSoob(*record);
  const std::string zone(r.ZoneChars.begin(), r.ZoneChars.begin() + r.ZoneLength);
  std::printf("Number: %d\n", r.Number);
  std::printf("Zone: %s (length %u)\n", Visible(zone).c_str(), r.ZoneLength);
  std::printf("Razdel: %u\n", r.Razdel);
  std::printf("Kind: %u\n", r.Kind);
  char days[32];
  const auto end = std::to_chars(days, days + sizeof days, r.RecvTime).ptr;  // shortest exact form
  std::printf("RecvTime: %s (%.*s)\n", FormatTime(r.RecvTime).c_str(), static_cast<int>(end - days), days);
  std::printf("Mark: %u\n", r.Mark);
  std::printf("bytes: %s\n", Hex(*record).c_str());
  return 0;
}

}  // namespace orvent
