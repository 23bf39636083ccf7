#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/setting_defaults.h"

namespace orvent {

inline constexpr char kSettingsFileName[] = "kelmora.ini";

// The settings file in the Windows INI layout, read as bytes. Every call opens
// the file anew and nothing is cached, so an edit applies at the next read:
// a `Razdels` entry at the next message, `ServerHost` at the next connection.
//
// Section and key names compare without regard to ASCII letter case; only the
// first section of a name counts. A value is the text after the first "=",
// without leading and trailing blanks and tabs, at most 2047 bytes of it.
// A missing file, section or key gives the caller's default.
class IniFile {
public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

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
  std::string path_;
};

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

MainSettings ReadMainSettings(const IniFile& ini);

// Section `ServerHost`, read when the link starts and before every attempt.
struct ServerHostSettings {
  std::string Address = kDefaultServerAddress;
  std::int32_t Port = kDefaultServerPort;
  std::int32_t PacketSize = kDefaultPacketSize;  // stored only
};

ServerHostSettings ReadServerHost(const IniFile& ini);

// Section `Razdels`: the object number for "<account>_<partition>", or -1
// (also for a missing file, section or key) when there is no entry.
std::int32_t LookupRazdel(const IniFile& ini, std::string_view key);

// Stores the port the operator picked as `ComPort` in section `main`.
void WriteComPort(const IniFile& ini, std::string_view port);

}  // namespace orvent
