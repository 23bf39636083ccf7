#include "station/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

std::optional<std::string> FindValue(std::string_view content, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = SplitLines(content);
  const KeyPlace place = FindKey(lines, section, key);
  if (!place.key) return std::nullopt;
  return std::string(ParseLine(lines[*place.key].text).value);
}

std::string Quoted(std::string_view key, std::string_view value) {
  return std::string(key) + "=\"" + std::string(value) + "\"";
}

std::int32_t CheckedInteger(const IniFile& ini, std::string_view section, std::string_view key, std::int32_t fallback,
                            SettingsProblems* problems) {
  const auto value = ini.ReadValue(section, key);
  if (!value) return fallback;
  if (const auto number = TryParseInt(*value)) return *number;
  if (problems) problems->push_back(Quoted(key, *value) + " (взято " + std::to_string(fallback) + ")");
  return fallback;
}

bool CheckedBool(const IniFile& ini, std::string_view section, std::string_view key, bool fallback,
                 SettingsProblems* problems) {
  return CheckedInteger(ini, section, key, fallback ? 1 : 0, problems) != 0;
}

std::string_view LineBreakOf(std::string_view content) {
  const std::size_t lf = content.find('\n');
  if (lf == std::string_view::npos) return "\r\n";  // the Windows layout for a new file
  return lf > 0 && content[lf - 1] == '\r' ? "\r\n" : "\n";
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::shared_ptr<const std::string> IniFile::Content(std::error_code* error) const {
  const std::optional<FileStamp> stamp = StampOfFile(path_);
  std::lock_guard lock(cache_->mutex);
  Cache& c = *cache_;
  const bool taken = c.content != nullptr;
  if (!taken || !stamp || c.stamp != stamp || !c.settled || c.failure) {
    std::string bytes;
    const std::error_code read = ReadFileUpTo(path_, kMaxSize, bytes, LinkRule::Follow);
    // A file system stamps writes in ticks of its clock (a few milliseconds,
    // two seconds on FAT): two writes of the same size within one tick look
    // alike, so a version is final only once it is older than that, and one
    // that changed while it was read is no version at all.
    const std::optional<FileStamp> after = read ? std::nullopt : StampOfFile(path_);
    const std::int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    const bool whole = !read && stamp && after == stamp;
    // A time ahead of the clock cannot tell anything: such a file is taken.
    const bool settled = whole && (now_ns - stamp->WrittenNs > kSettledNs || stamp->WrittenNs > now_ns);
    if (!taken) {
      // The first read is all there is: even a file still being written
      // beats the defaults, and it is read again until it has settled.
      if (read) bytes.clear();
      c.content = std::make_shared<const std::string>(std::move(bytes));
      c.error = read;
      // A file that is not there is looked for again at every read.
      c.stamp = read == std::errc::no_such_file_or_directory ? std::nullopt : stamp;
      c.settled = settled;
      c.version = 1;
    } else if (read && !c.error) {
      c.failure = read;
    } else if (read) {
      // It never gave values; it still does not.
      c.error = read;
    } else {
      c.failure.clear();
      if (settled || (c.error && whole)) {
        if (bytes != *c.content) {
          c.content = std::make_shared<const std::string>(std::move(bytes));
          ++c.version;
        }
        c.error.clear();
        c.stamp = stamp;
        c.settled = settled;
      }
    }
  }
  if (error) *error = c.error;
  return c.content;
}

std::error_code IniFile::Check() const {
  std::error_code error;
  Content(&error);
  return error;
}

std::error_code IniFile::Failure() const {
  Content();
  std::lock_guard lock(cache_->mutex);
  return cache_->failure;
}

std::uint64_t IniFile::Version() const {
  Content();
  std::lock_guard lock(cache_->mutex);
  return cache_->version;
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(std::string_view section) const {
  const std::shared_ptr<const std::string> content = Content();
  std::vector<std::pair<std::string, std::string>> entries;
  bool inside = false;
  for (const Line& line : SplitLines(*content)) {
    const ParsedLine parsed = ParseLine(line.text);
    if (parsed.kind == LineKind::kSection) {
      if (inside) break;  // only the first section of that name counts
      inside = EqualsNoCase(parsed.name, section);
    } else if (inside && parsed.kind == LineKind::kKey) {
      entries.emplace_back(parsed.name, parsed.value);
    }
  }
  return entries;
}

std::vector<std::string> IniFile::Sections() const {
  const std::shared_ptr<const std::string> content = Content();
  std::vector<std::string> sections;
  for (const Line& line : SplitLines(*content)) {
    const ParsedLine parsed = ParseLine(line.text);
    if (parsed.kind == LineKind::kSection) sections.emplace_back(parsed.name);
  }
  return sections;
}

std::optional<std::string> IniFile::ReadValue(std::string_view section, std::string_view key) const {
  const std::shared_ptr<const std::string> content = Content();
  return FindValue(*content, section, key);
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view fallback) const {
  if (auto value = ReadValue(section, key)) return std::move(*value);
  return std::string(fallback);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t fallback) const {
  const auto value = ReadValue(section, key);
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
  // Bounded and never waiting, as the reads are: a pipe or a device under
  // the file's name is not read, and not replaced either.
  if (const std::error_code error = ReadFileUpTo(path_, kMaxSize, content, LinkRule::Follow);
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

MainSettings ReadMainSettings(const IniFile& ini, SettingsProblems* problems) {
  MainSettings s;
  s.ComPort = ini.ReadString("main", "ComPort", s.ComPort);
  s.FirstNumber = CheckedInteger(ini, "main", "FirstNumber", s.FirstNumber, problems);
  s.PathForSoob = ini.ReadString("main", "PathForSoob", s.PathForSoob);
  if (const auto attention = ini.ReadValue("main", "Attention")) {
    if (const auto span = ParseTimeOfDay(*attention)) {
      s.Attention = *span;
    } else if (problems) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(s.Attention).count();
      char fallback[16];
      std::snprintf(fallback, sizeof fallback, "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                    static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
      problems->push_back(Quoted("Attention", *attention) + " (взято " + fallback + ")");
    }
  }
  s.Log = CheckedBool(ini, "main", "Log", s.Log, problems);
  s.VariantRazdel = CheckedInteger(ini, "main", "VariantRazdel", s.VariantRazdel, problems);
  s.Hex = CheckedBool(ini, "main", "Hex", s.Hex, problems);
  s.QuickAck = CheckedBool(ini, "main", "QuickAck", s.QuickAck, problems);
  return s;
}

ServerHostSettings ReadServerHost(const IniFile& ini, SettingsProblems* problems) {
  ServerHostSettings s;
  const ServerHostSettings defaults;
  if (const auto address = ini.ReadValue("ServerHost", "Address")) {
    if (address->empty()) {
      if (problems) problems->push_back(Quoted("Address", *address) + " (взято " + defaults.Address + ")");
    } else {
      s.Address = *address;
    }
  }
  s.Port = CheckedInteger(ini, "ServerHost", "Port", s.Port, problems);
  constexpr std::int32_t kLastPort = 65535;
  if (s.Port < 1 || s.Port > kLastPort) {
    if (problems) {
      problems->push_back(Quoted("Port", *ini.ReadValue("ServerHost", "Port")) + " (вне 1..65535, взято " +
                          std::to_string(defaults.Port) + ")");
    }
    s.Port = defaults.Port;
  }
  s.PacketSize = CheckedInteger(ini, "ServerHost", "PacketSize", s.PacketSize, problems);
  return s;
}

SettingsProblems UnknownSettings(const IniFile& ini) {
  // Every key the program reads; `Razdels` takes any key.
  static constexpr std::pair<std::string_view, std::string_view> kKnown[] = {
      {"main", "ComPort"},        {"main", "FirstNumber"}, {"main", "PathForSoob"}, {"main", "Attention"},
      {"main", "Log"},            {"main", "VariantRazdel"}, {"main", "Hex"},       {"main", "QuickAck"},
      {"main", "n_abs"},          {"main", "name"},        {"ServerHost", "Address"}, {"ServerHost", "Port"},
      {"ServerHost", "PacketSize"},
  };
  SettingsProblems unknown;
  std::vector<std::string> seen;
  for (const std::string& section : ini.Sections()) {
    // A section that comes again is read only the first time; said once.
    if (std::any_of(seen.begin(), seen.end(), [&](const std::string& s) { return EqualsNoCase(s, section); })) {
      continue;
    }
    seen.push_back(section);
    if (EqualsNoCase(section, "Razdels")) continue;
    const bool known_section = std::any_of(std::begin(kKnown), std::end(kKnown),
                                           [&](const auto& k) { return EqualsNoCase(k.first, section); });
    if (!known_section) {
      unknown.push_back("раздел [" + section + "]");
      continue;
    }
    for (const auto& [key, value] : ini.Entries(section)) {
      const bool known = std::any_of(std::begin(kKnown), std::end(kKnown), [&](const auto& k) {
        return EqualsNoCase(k.first, section) && EqualsNoCase(k.second, key);
      });
      if (!known) unknown.push_back(key + " (" + section + ")");
    }
  }
  return unknown;
}

std::int32_t LookupRazdel(const IniFile& ini, std::string_view key) { return ini.ReadInteger("Razdels", key, -1); }

void WriteComPort(const IniFile& ini, std::string_view port) { ini.WriteString("main", "ComPort", port); }

}  // namespace orvent
