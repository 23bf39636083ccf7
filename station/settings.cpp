#include "station/settings.h"

#include <cctype>
#include <optional>
#include <vector>

#include "common/parse_int.h"
#include "platform/files.h"

namespace orvent {
namespace {

constexpr std::size_t kMaxValueLength = 2047;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// One physical line of the file: `text` has no line break; `next` is where
// the following line starts.
struct Line {
  std::string_view text;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t next = 0;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  // An editor's UTF-8 byte order mark would otherwise hide the first section.
  std::size_t pos = content.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  while (pos < content.size()) {
    const std::size_t lf = content.find('\n', pos);
    Line line;
    line.begin = pos;
    line.next = lf == std::string_view::npos ? content.size() : lf + 1;
    line.end = lf == std::string_view::npos ? content.size() : lf;
    if (line.end > line.begin && content[line.end - 1] == '\r') --line.end;
    line.text = content.substr(line.begin, line.end - line.begin);
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

enum class LineKind { kSection, kKey, kOther };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;
};

ParsedLine ParseLine(std::string_view text) {
  const std::string_view t = Trim(text);
  if (t.starts_with('[')) {
    const std::size_t close = t.find(']');
    const std::string_view name = t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    return {LineKind::kSection, Trim(name), {}};
  }
  const std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  const std::string_view key = Trim(t.substr(0, eq));
  if (key.empty()) return {};
  return {LineKind::kKey, key, Trim(t.substr(eq + 1)).substr(0, kMaxValueLength)};
}

// Where a key stands in the file, or would stand.
struct KeyPlace {
  std::optional<std::size_t> section;  // index of the section's header line
  std::optional<std::size_t> key;      // index of the key's line
  std::size_t last_content = 0;        // last non-blank line of the section
};

KeyPlace FindKey(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  KeyPlace place;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(lines[i].text);
    if (parsed.kind == LineKind::kSection) {
      if (place.section) break;  // the end of the first section of that name
      if (EqualsNoCase(parsed.name, section)) {
        place.section = i;
        place.last_content = i;
      }
      continue;
    }
    if (!place.section) continue;
    if (!Trim(lines[i].text).empty()) place.last_content = i;
    if (parsed.kind == LineKind::kKey && EqualsNoCase(parsed.name, key)) {
      place.key = i;
      break;
    }
  }
  return place;
}

std::optional<std::string> FindValue(const std::string& path, std::string_view section, std::string_view key) {
  std::string content;
  if (ReadWholeFile(path, content)) return std::nullopt;
  const std::vector<Line> lines = SplitLines(content);
  const KeyPlace place = FindKey(lines, section, key);
  if (!place.key) return std::nullopt;
  return std::string(ParseLine(lines[*place.key].text).value);
}

std::string_view LineBreakOf(std::string_view content) {
  const std::size_t lf = content.find('\n');
  if (lf == std::string_view::npos) return "\r\n";  // the Windows layout for a new file
  return lf > 0 && content[lf - 1] == '\r' ? "\r\n" : "\n";
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view fallback) const {
  if (auto value = FindValue(path_, section, key)) return std::move(*value);
  return std::string(fallback);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t fallback) const {
  const auto value = FindValue(path_, section, key);
  return value ? ParseIntOr(*value, fallback) : fallback;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) const {
  // A line break in a name or value would forge lines of its own.
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || section.find(']') != std::string_view::npos ||
      key.find('=') != std::string_view::npos) {
    throw SettingsWriteError("Cannot write \"" + std::string(key) + "\" to " + path_ + ": invalid characters");
  }
  std::string content;
  if (const std::error_code error = ReadWholeFile(path_, content);
      error && error != std::errc::no_such_file_or_directory) {
    throw SettingsWriteError("Cannot read " + path_ + ": " + error.message());
  }
  const std::vector<Line> lines = SplitLines(content);
  const KeyPlace place = FindKey(lines, section, key);
  const std::string_view eol = LineBreakOf(content);
  const std::string entry = std::string(key) + "=" + std::string(value);

  if (place.key) {
    const Line& line = lines[*place.key];
    content.replace(line.begin, line.end - line.begin, entry);
  } else if (place.section) {
    const Line& after = lines[place.last_content];
    std::string insert;
    if (after.next == after.end) insert += eol;  // the last line had no line break
    insert += entry;
    insert += eol;
    content.insert(after.next, insert);
  } else {
    if (!content.empty() && content.back() != '\n') content += eol;
    content += "[" + std::string(section) + "]";
    content += eol;
    content += entry;
    content += eol;
  }
  if (const std::error_code error = ReplaceFileContents(path_, content)) {
    throw SettingsWriteError("Cannot write " + path_ + ": " + error.message());
  }
}

std::optional<std::chrono::milliseconds> ParseTimeOfDay(std::string_view text) {
  int fields[3] = {0, 0, 0};
  int field = 0;
  int digits = 0;
  for (char c : text) {
    if (c == ':') {
      if (digits == 0 || ++field > 2) return std::nullopt;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 2) return std::nullopt;
      fields[field] = fields[field] * 10 + (c - '0');
    } else {
      return std::nullopt;
    }
  }
  if (field != 2 || digits == 0) return std::nullopt;
  if (fields[0] > 23 || fields[1] > 59 || fields[2] > 59) return std::nullopt;
  return std::chrono::hours(fields[0]) + std::chrono::minutes(fields[1]) + std::chrono::seconds(fields[2]);
}

MainSettings ReadMainSettings(const IniFile& ini) {
  MainSettings s;
  s.ComPort = ini.ReadString("main", "ComPort", s.ComPort);
  s.FirstNumber = ini.ReadInteger("main", "FirstNumber", s.FirstNumber);
  s.PathForSoob = ini.ReadString("main", "PathForSoob", s.PathForSoob);
  // A missing key reads as no time at all, which gives the default too.
  s.Attention = ParseTimeOfDay(ini.ReadString("main", "Attention", "")).value_or(s.Attention);
  s.Log = ini.ReadBool("main", "Log", s.Log);
  s.VariantRazdel = ini.ReadInteger("main", "VariantRazdel", s.VariantRazdel);
  s.Hex = ini.ReadBool("main", "Hex", s.Hex);
  s.QuickAck = ini.ReadBool("main", "QuickAck", s.QuickAck);
  return s;
}

ServerHostSettings ReadServerHost(const IniFile& ini) {
  ServerHostSettings s;
  s.Address = ini.ReadString("ServerHost", "Address", s.Address);
  s.Port = ini.ReadInteger("ServerHost", "Port", s.Port);
  s.PacketSize = ini.ReadInteger("ServerHost", "PacketSize", s.PacketSize);
  return s;
}

std::int32_t LookupRazdel(const IniFile& ini, std::string_view key) { return ini.ReadInteger("Razdels", key, -1); }

void WriteComPort(const IniFile& ini, std::string_view port) { ini.WriteString("main", "ComPort", port); }

}  // namespace orvent
