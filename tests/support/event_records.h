#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

// Event records as the black-box tests see them: read by the documented
// byte layout, from msgserver-sim's --events file and from the driver's
// spool files, without the driver's own code.
namespace orvent::test {

using RecordBytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kRecordSize = 20;
inline constexpr std::uint8_t kRecordMark = 33;
// A spool file: the event command 20 00 00 03, then the record.
inline constexpr std::uint8_t kSpoolCommand[] = {0x20, 0x00, 0x00, 0x03};
inline constexpr std::size_t kSpoolFileSize = sizeof kSpoolCommand + kRecordSize;

// The fields of a 20-byte record (all little-endian):
//   0 int32 Number, 4 uint8 zone length, 5 four zone characters, 9 uint8
//   Razdel, 10 uint8 Kind, 11 float64 RecvTime, 19 uint8 mark.
struct EventFields {
  std::int32_t Number = 0;
  std::string Zone;
  int Razdel = 0;
  int Kind = 0;
  double RecvTime = 0;
  int Mark = 0;
};

inline std::uint64_t LittleEndian(std::span<const std::uint8_t> bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | bytes[i];
  return v;
}

// nullopt unless exactly 20 bytes; a zone length past 4 is a fault the
// caller sees as a longer-than-possible zone.
inline std::optional<EventFields> ReadEventRecord(std::span<const std::uint8_t> r) {
  if (r.size() != kRecordSize) return std::nullopt;
  EventFields f;
  f.Number = static_cast<std::int32_t>(static_cast<std::uint32_t>(LittleEndian(r.subspan(0, 4))));
  const std::size_t zone_length = r[4];
  f.Zone.assign(r.begin() + 5, r.begin() + 5 + static_cast<std::ptrdiff_t>(std::min<std::size_t>(zone_length, 4)));
  if (zone_length > 4) f.Zone += "<length " + std::to_string(zone_length) + ">";
  f.Razdel = r[9];
  f.Kind = r[10];
  f.RecvTime = std::bit_cast<double>(LittleEndian(r.subspan(11, 8)));
  f.Mark = r[19];
  return f;
}

// The fields that come from the receiver's line (the time is checked apart).
inline std::string FieldsText(std::int32_t number, const std::string& zone, int razdel, int kind, int mark) {
  return "number=" + std::to_string(number) + " zone=" + zone + " partition=" + std::to_string(razdel) +
         " kind=" + std::to_string(kind) + " mark=" + std::to_string(mark);
}
inline std::string FieldsText(const EventFields& f) { return FieldsText(f.Number, f.Zone, f.Razdel, f.Kind, f.Mark); }

// A record's time: local wall-clock days since 1899-12-30.
inline double LocalDays(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  const double ms = static_cast<double>(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() + local.tm_gmtoff * 1000);
  constexpr double kUnixEpochDays = 25569;  // 1970-01-01 counted from 1899-12-30
  return kUnixEpochDays + ms / 86400000.0;
}

inline std::optional<RecordBytes> FromHex(const std::string& hex) {
  RecordBytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 3) {
    try {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return bytes;
}

// The record bytes of every event that msgserver-sim --events wrote, in the
// order received; a line cut short (a server killed while writing it) is
// passed over.
inline std::vector<RecordBytes> ServerRecords(const std::string& events_file) {
  std::vector<RecordBytes> records;
  std::ifstream in(events_file);
  const std::string key = "\"record\":\"";
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(key);
    if (at == std::string::npos) continue;
    const auto end = line.find('"', at + key.size());
    if (end == std::string::npos) continue;
    if (auto bytes = FromHex(line.substr(at + key.size(), end - at - key.size()))) records.push_back(*bytes);
  }
  return records;
}

// The spool files (*.dd8) in `dir` by name, with their bytes.
inline std::map<std::string, std::string> SpoolFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.path().extension() != ".dd8") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  return files;
}

// The record of a spool file; nullopt unless 24 bytes behind the event command.
inline std::optional<RecordBytes> SpoolRecord(const std::string& file_bytes) {
  if (file_bytes.size() != kSpoolFileSize) return std::nullopt;
  const RecordBytes raw(file_bytes.begin(), file_bytes.end());
  if (!std::equal(std::begin(kSpoolCommand), std::end(kSpoolCommand), raw.begin())) return std::nullopt;
  return RecordBytes(raw.begin() + sizeof kSpoolCommand, raw.end());
}

// Waits for a state of files or processes, which have no descriptor to wait
// on: checked every 20 ms until it holds or the limit passes.
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace orvent::test
