#pragma once

#include <cstdint>

namespace orvent {

// Command codes of the message-server protocol (header offset 1, 32-bit).
// Driver -> server:
inline constexpr std::uint32_t cmd_keepalive = 0x02000000;  // also server -> driver
inline constexpr std::uint32_t cmd_register = 0x02000001;
inline constexpr std::uint32_t cmd_query_answer = 0x02FFFFFF;
inline constexpr std::uint32_t cmd_port_state = 0x02200062;
inline constexpr std::uint32_t cmd_version = 0x02200063;
inline constexpr std::uint32_t cmd_first_number = 0x02200065;
inline constexpr std::uint32_t cmd_event = 0x03000020;
// Server -> driver:
inline constexpr std::uint32_t cmd_accepted = 0x02000003;
inline constexpr std::uint32_t cmd_query = 0x02000004;
inline constexpr std::uint32_t cmd_denied = 0x02000005;
inline constexpr std::uint32_t cmd_disconnect = 0x02FFFFFD;
inline constexpr std::uint32_t cmd_drop = 0x02FFFFFE;
inline constexpr std::uint32_t cmd_event_ack = 0x03000021;

}  // namespace orvent
