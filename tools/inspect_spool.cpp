#include "tools/inspect_spool.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/command_line_refusal.h"
#include "delivery/byte_io.h"
#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/spool.h"
#include "delivery/spool_folder.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {
namespace {

constexpr char kProgram[] = "orvent-inspect spool";
constexpr char kUsage[] =
    "usage: orvent-inspect spool [PREFIX]\n"
    "  Lists the spool files PREFIX*.dd8, oldest record first. PREFIX is read as\n"
    "  the driver reads PathForSoob: a folder, with or without its trailing\n"
    "  separator, or the start of the names in a folder. Default: the working\n"
    "  directory.\n";

struct Entry {
  std::string name;
  std::optional<stru_soob> record;
  std::vector<std::string> flags;
};

bool Printable(std::uint8_t c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

std::string ZoneText(const stru_soob& r) {
  std::string text;
  const std::size_t length = std::min<std::size_t>(r.ZoneLength, stru_soob::kZoneCapacity);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t c = r.ZoneChars[i];
    if (Printable(c)) {
      text += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
      text += escaped;
    }
  }
  return text;
}

bool HasTime(const Entry& e) { return e.record && SpoolNameValue(e.record->RecvTime).has_value(); }

std::string TimeText(const stru_soob& r) {
  if (!SpoolNameValue(r.RecvTime)) return "(no valid time)";
  const CivilTime t = DecodeDateTime(r.RecvTime);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

Entry Inspect(const std::string& path, std::size_t folder_size) {
  Entry e{path.substr(folder_size), std::nullopt, {}};
  std::string contents;
  const std::error_code error = ReadFileUpTo(path, kMaxSpoolFileSize, contents);
  if (error == std::errc::file_too_large) {
    e.flags.push_back("larger than " + std::to_string(kMaxSpoolFileSize) + " bytes");
    return e;
  }
  if (error) {
    e.flags.push_back("cannot be read: " + error.message());
    return e;
  }
  if (contents.size() != kSpoolFileSize) {
    e.flags.push_back(std::to_string(contents.size()) + " bytes, not " + std::to_string(kSpoolFileSize));
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size());
  LittleEndianReader in(bytes);
  std::uint32_t command = 0;
  if (in.ReadUint32(command) && command != cmd_event) {
    char text[64];
    std::snprintf(text, sizeof text, "command 0x%08X, not the event command", static_cast<unsigned>(command));
    e.flags.push_back(text);
  }
  if (bytes.size() == kSpoolFileSize) e.record = DeserializeSoob(bytes.subspan(kSpoolCommandSize));
  return e;
}

// The names looked for, as the person would write them.
std::string PatternText(const std::string& prefix) {
  std::string text = "\"" + prefix + "*" + kSpoolFileSuffix + "\"";
  if (FolderPart(prefix).empty()) text += " in the working directory";
  return text;
}

void Print(const Entry& e) {
  std::string line = e.name;
  if (e.record) {
    const stru_soob& r = *e.record;
    line += "  " + TimeText(r) + "  number " + std::to_string(r.Number) + "  zone \"" + ZoneText(r) +
            "\"  partition " + std::to_string(r.Razdel) + "  kind " + std::to_string(r.Kind) + "  mark " +
            std::to_string(r.Mark);
  }
  for (const std::string& flag : e.flags) line += "  ! " + flag;
  std::printf("%s\n", line.c_str());
}

}  // namespace

int RunInspectSpool(int argc, char** argv) {
  std::optional<std::string> given;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    // A folder whose name starts with "--" can still be given as ./--name.
    if (arg.starts_with("--")) return RefuseCommandLine(kProgram, UnknownArgument(arg));
    if (given) {
      return RefuseCommandLine(kProgram,
                               "unexpected argument \"" + std::string(arg) + "\": PREFIX is \"" + *given + "\" already");
    }
    given = arg;
  }
  // Read as the driver reads PathForSoob, so that the listing shows what the
  // driver would send: an existing folder, with or without its trailing
  // separator, is that folder; anything else is a prefix of the names.
  const std::string prefix = SpoolPrefixOf(given.value_or(""));

  const auto paths = ListMatches(prefix, kSpoolFileSuffix);
  if (!paths) {
    const std::string folder(FolderPart(prefix));
    std::fprintf(stderr, "%s: cannot read the folder \"%s\"\n", kProgram, folder.empty() ? "." : folder.c_str());
    return 1;
  }
  std::vector<Entry> entries;
  entries.reserve(paths->size());
  const std::size_t folder_size = FolderPart(prefix).size();
  for (const std::string& path : *paths) entries.push_back(Inspect(path, folder_size));

  // Oldest record first; files without a readable time follow, by name.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    const bool ta = HasTime(a);
    const bool tb = HasTime(b);
    if (ta != tb) return ta;
    if (ta && a.record->RecvTime != b.record->RecvTime) return a.record->RecvTime < b.record->RecvTime;
    return a.name < b.name;
  });

  std::size_t flagged = 0;
  for (const Entry& e : entries) {
    Print(e);
    if (!e.flags.empty()) ++flagged;
  }
  if (entries.empty()) {
    // Whoever checks a folder before removing it must be able to tell an
    // empty spool from a look in the wrong place.
    std::printf("0 spool files: nothing matches %s\n", PatternText(prefix).c_str());
    return 0;
  }
  std::printf("%zu spool file%s, %zu flagged\n", entries.size(), entries.size() == 1 ? "" : "s", flagged);
  return 0;
}

}  // namespace orvent
