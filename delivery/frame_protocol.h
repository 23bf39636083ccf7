#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "delivery/commands.h"

namespace orvent {

// The message-server protocol. Every message on the stream, both ways, is a
// 21-byte block prefix followed by N bytes of frame; a frame is an 18-byte
// header and its payload. All numbers little-endian, nothing aligned.
//
// block_prefix (21):  0 marker 0xFF (0xF0 also taken on receipt)
//                     1 4 bytes unused (sent as 0)
//                     5 N, int32: length of the frame that follows
//                     9 8 bytes unused (sent as 0)
//                    17 N again, int32 (sent, never read)
//
// arb_header (18):    0 start marker 0xFF
//                     1 command, uint32
//                     5 payload length, int32
//                     9 sequence, uint64
//                    17 end marker 0xFE
struct block_prefix {
  static constexpr std::size_t kSize = 21;
  static constexpr std::uint8_t kMarker = 0xFF;
  static constexpr std::uint8_t kAltMarker = 0xF0;
  static constexpr std::size_t kLengthOffset = 5;
  static constexpr std::size_t kLengthCopyOffset = 17;

  std::int32_t Length = 0;
};

struct arb_header {
  static constexpr std::size_t kSize = 18;
  static constexpr std::uint8_t kStart = 0xFF;
  static constexpr std::uint8_t kEnd = 0xFE;
  static constexpr std::size_t kEndOffset = 17;

  std::uint32_t Command = 0;
  std::int32_t PayloadLength = 0;
  std::uint64_t Sequence = 0;
};

// One frame, header and payload, as held in the queue and sent.
using stru_arb = std::vector<std::uint8_t>;

// The largest frame the driver takes from a server; a larger announced
// length is a failed reply, never an allocation.
inline constexpr std::int32_t kMaxReplyLength = 1 << 20;

stru_arb BuildFrame(std::uint32_t command, std::span<const std::uint8_t> payload, std::uint64_t sequence);

// The keep-alive: no payload, sequence 0.
stru_arb KeepAliveFrame();

// The prefix and the frame in one buffer, as one send writes them.
std::vector<std::uint8_t> BuildBlock(std::span<const std::uint8_t> frame);

// The frame length of a received prefix; nullopt when its marker is neither
// 0xFF nor 0xF0.
std::optional<block_prefix> ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize> prefix);

// A received frame whose markers match.
struct ReplyFrame {
  arb_header Header;
  std::vector<std::uint8_t> Payload;  // empty when the length field is 0
};

// Reads a received frame; nullopt when it is shorter than a header or its
// markers do not match (such a reply is dropped without effect).
std::optional<ReplyFrame> InterpretReply(std::span<const std::uint8_t> frame);

// Payloads of the frames the driver sends.
inline constexpr std::array<std::uint8_t, 2> kRegisterPayload{0x35, 0x00};
// Length of the port name (cut to 6), the name padded with zeros, open flag.
std::array<std::uint8_t, 8> PortStatePayload(std::string_view port_name, bool port_open);
// The four numbers of a version text "a.b.c.d", 16-bit each, major first.
std::array<std::uint8_t, 8> VersionPayload(std::string_view version_text);
std::array<std::uint8_t, 1> FirstNumberPayload(std::int32_t first_number);

// "cmd_event" and so on; nullptr for a code the protocol does not name.
const char* CommandName(std::uint32_t command);

}  // namespace orvent
