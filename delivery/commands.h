#pragma once

#include <cstdint>

namespace orvent {

inline constexpr std::uint32_t cmd_event = 0x03000020;
inline constexpr std::uint32_t cmd_event_ack = 0x03000021;

}  // namespace orvent
