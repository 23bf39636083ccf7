#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/setting_defaults.h"
#include "platform/files.h"

namespace orvent {

inline constexpr char kSettingsFileName[] = "kelmora.ini";

// The settings file in the Windows INI layout, read as bytes. Every call
// looks at the file's size and time of writing and reads it again only when
// they changed, so an edit applies at a later read (a `Razdels` entry at a
// later message, `ServerHost` at the next connection) while an unchanged file
// costs one look. Only a regular file (a link to one counts) of at most
// kMaxSize bytes is read, and nothing waits for a writer: a pipe, a device
// or an oversized file gives the defaults at the first read, as a missing
// one does. Copies share what was read; safe from any thread.
//
// What a running program reads must never be half a file, nor the defaults
// of a file that went bad: a new version is taken only once it is whole and
// has stopped changing (unchanged while it was read, and written more than
// kSettledNs ago); until then, and while it cannot be read at all, the last
// version taken holds.
//
// Section and key names compare without regard to ASCII letter case; only the
// first section of a name counts. A value is the text after the first "=",
// without leading and trailing blanks and tabs, at most 2047 bytes of it.
// A missing file, section or key gives the caller's default.
class IniFile {
public:
  static constexpr std::size_t kMaxSize = std::size_t{1} << 20;

  explicit IniFile(std::string path) : path_(std::move(path)), cache_(std::make_shared<Cache>()) {}

  const std::string& Path() const { return path_; }

  // A version younger than this may still be being written.
  static constexpr std::int64_t kSettledNs = 3'000'000'000;

  // Why the file gives no values (missing, unreadable, not a regular file:
  // std::errc::invalid_argument, too large: std::errc::file_too_large), or
  // none when it was read.
  std::error_code Check() const;
  // Why the file could not be read again, while the last version taken
  // holds; none when the last look read it (or nothing was taken yet).
  std::error_code Failure() const;
  // Counts the versions taken: a new one when the bytes changed.
  std::uint64_t Version() const;

  // The keys of the first section of that name, in the file's order, with
  // their values; empty when there is none.
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;
  // The names of every section, in the file's order.
  std::vector<std::string> Sections() const;

  // The key's value as written, or nullopt when the file, the section or
  // the key is missing.
  std::optional<std::string> ReadValue(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // The integer rule of the whole system; a value that does not follow it
  // gives the default.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t fallback) const;
  // An integer: 0 is false, any other integer true, anything else the default.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // Replaces the key's value, or adds the key (and the section) when missing;
  // every other line stays byte for byte. Creates the file when missing.
  // Raises SettingsWriteError when the file cannot be written.
  void WriteString(std::string_view section, std::string_view key, std::string_view value) const;

private:
  struct Cache {
    std::mutex mutex;
    // The version taken: its stamp, whether it was written long enough
    // before it was read that a later write cannot carry the same time, its
    // bytes, and why the first read gave none.
    std::optional<FileStamp> stamp;
    bool settled = false;
    std::shared_ptr<const std::string> content;
    std::error_code error;
    // Why the last look could not read the file again.
    std::error_code failure;
    std::uint64_t version = 0;
  };
  // The file's bytes as they are now (empty when it cannot be read), and why
  // it could not be read.
  std::shared_ptr<const std::string> Content(std::error_code* error = nullptr) const;

  std::string path_;
  std::shared_ptr<Cache> cache_;
};

// A value of the settings file that does not follow its rule, and what was
// taken instead, for the start-up line: "Port=\"1x\" (взято 5000)".
using SettingsProblems = std::vector<std::string>;

class SettingsWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A time of day "h:mm:ss" (hours 0..23) taken as the span since midnight.
std::optional<std::chrono::milliseconds> ParseTimeOfDay(std::string_view text);

// Section `main`, read once at start-up: the values that have an effect.
// (`n_abs` and `name` are known keys without effect; nothing reads them.)
struct MainSettings {
  std::string ComPort = kNoPort;
  std::int32_t FirstNumber = kDefaultFirstNumber;
  std::string PathForSoob;
  std::chrono::milliseconds Attention = kDefaultAttention;
  bool Log = false;
  std::int32_t VariantRazdel = kDefaultVariantRazdel;
  bool Hex = false;
  // A message is acknowledged at its closing DC4, not after the packet time-out.
  bool QuickAck = false;
};

// A value that does not follow its rule gives the default, and is named in
// `problems` when given.
MainSettings ReadMainSettings(const IniFile& ini, SettingsProblems* problems = nullptr);

// Section `ServerHost`, read when the link starts and before every attempt.
struct ServerHostSettings {
  std::string Address = kDefaultServerAddress;
  std::int32_t Port = kDefaultServerPort;
  std::int32_t PacketSize = kDefaultPacketSize;  // stored only
};

// A `Port` outside 1..65535 and an empty `Address` give the defaults, and
// are named in `problems`.
ServerHostSettings ReadServerHost(const IniFile& ini, SettingsProblems* problems = nullptr);

// The keys and sections that the program does not know, for the start-up
// line: "Adress (ServerHost)", "раздел [Server]". They are ignored.
SettingsProblems UnknownSettings(const IniFile& ini);

// Section `Razdels`: the object number for "<account>_<partition>", or -1
// (also for a missing file, section or key) when there is no entry.
std::int32_t LookupRazdel(const IniFile& ini, std::string_view key);

// Stores the port the operator picked as `ComPort` in section `main`.
void WriteComPort(const IniFile& ini, std::string_view port);

}  // namespace orvent
