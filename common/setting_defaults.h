#pragma once

#include <chrono>
#include <cstdint>

namespace orvent {

// What a missing or unreadable key of kelmora.ini gives. The settings reader,
// the decoder and the server link all start from these, so a default is
// written down once.
inline constexpr char kNoPort[] = "COM255";  // `ComPort`: no port configured (exact, case-sensitive)
inline constexpr std::int32_t kDefaultFirstNumber = 4;
inline constexpr std::chrono::milliseconds kDefaultAttention = std::chrono::minutes(10);
inline constexpr std::int32_t kDefaultVariantRazdel = 1;
inline constexpr char kDefaultServerAddress[] = "127.0.0.1";
inline constexpr std::int32_t kDefaultServerPort = 12543;
inline constexpr std::int32_t kDefaultPacketSize = 2000;  // stored, without effect

}  // namespace orvent
