#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace orvent {

// The event record, the only thing the server learns of an alarm. It travels
// as the payload of the event frame and as the body of a spool file, so its
// 20 bytes are a wire and file format:
//
//   offset  size  field      encoding
//        0     4  Number     int32, little-endian
//        4     1  Zone len   uint8, 0..4
//        5     4  Zone chars single-byte text; bytes past the length are stale
//        9     1  Razdel     uint8 (partition)
//       10     1  Kind       uint8, 0..9
//       11     8  RecvTime   IEEE 754 double, little-endian, unaligned
//       19     1  Mark       uint8, always 33
//
// The struct is not laid out to match: Serialize writes the fields one by one.
struct stru_soob {
  static constexpr std::size_t kSize = 20;
  static constexpr std::uint8_t kMark = 33;
  static constexpr std::size_t kZoneCapacity = 4;

  std::int32_t Number = 0;
  std::uint8_t ZoneLength = 0;
  std::array<std::uint8_t, kZoneCapacity> ZoneChars{};
  std::uint8_t Razdel = 0;
  std::uint8_t Kind = 0;
  double RecvTime = 0.0;
  std::uint8_t Mark = 0;
};

using SoobBytes = std::array<std::uint8_t, stru_soob::kSize>;

SoobBytes Serialize(const stru_soob& record);

// Reads a record back (the inspector and tests); nullopt unless exactly 20 bytes.
std::optional<stru_soob> DeserializeSoob(std::span<const std::uint8_t> bytes);

}  // namespace orvent
