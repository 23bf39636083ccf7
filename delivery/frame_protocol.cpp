#include "delivery/frame_protocol.h"

#include <algorithm>

#include "delivery/byte_io.h"
#include "common/parse_int.h"

namespace orvent {

stru_arb BuildFrame(std::uint32_t command, std::span<const std::uint8_t> payload, std::uint64_t sequence) {
  stru_arb frame(arb_header::kSize + payload.size());
  LittleEndianWriter w(frame);
  w.WriteUint8(arb_header::kStart);
  w.WriteUint32(command);
  w.WriteInt32(static_cast<std::int32_t>(payload.size()));
  w.WriteUint64(sequence);
  w.WriteUint8(arb_header::kEnd);
  w.WriteBytes(payload);
  return frame;
}

stru_arb KeepAliveFrame() { return BuildFrame(cmd_keepalive, {}, 0); }

std::vector<std::uint8_t> BuildBlock(std::span<const std::uint8_t> frame) {
  std::vector<std::uint8_t> block(block_prefix::kSize + frame.size(), 0);
  const auto length = static_cast<std::int32_t>(frame.size());
  LittleEndianWriter w(block);
  w.WriteUint8(block_prefix::kMarker);
  w.WriteBytes(std::array<std::uint8_t, 4>{});
  w.WriteInt32(length);
  w.WriteBytes(std::array<std::uint8_t, 8>{});
  w.WriteInt32(length);
  w.WriteBytes(frame);
  return block;
}

std::optional<block_prefix> ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize> prefix) {
  if (prefix[0] != block_prefix::kMarker && prefix[0] != block_prefix::kAltMarker) return std::nullopt;
  LittleEndianReader r(std::span<const std::uint8_t>(prefix).subspan(block_prefix::kLengthOffset));
  block_prefix parsed;
  r.ReadInt32(parsed.Length);
  return parsed;
}

std::optional<ReplyFrame> InterpretReply(std::span<const std::uint8_t> frame) {
  if (frame.size() < arb_header::kSize) return std::nullopt;
  if (frame[0] != arb_header::kStart || frame[arb_header::kEndOffset] != arb_header::kEnd) return std::nullopt;
  ReplyFrame reply;
  LittleEndianReader r(frame.subspan(1));
  r.ReadUint32(reply.Header.Command);
  r.ReadInt32(reply.Header.PayloadLength);
  r.ReadUint64(reply.Header.Sequence);
  // Only "is the length zero" is asked; the payload is whatever follows.
  if (reply.Header.PayloadLength != 0) {
    reply.Payload.assign(frame.begin() + arb_header::kSize, frame.end());
  }
  return reply;
}

std::array<std::uint8_t, 8> PortStatePayload(std::string_view port_name, bool port_open) {
  constexpr std::size_t kNameCapacity = 6;
  const std::string_view name = port_name.substr(0, kNameCapacity);
  std::array<std::uint8_t, 8> out{};
  out[0] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), out.begin() + 1);
  out[7] = port_open ? 1 : 0;
  return out;
}

std::array<std::uint8_t, 8> VersionPayload(std::string_view text) {
  std::array<std::uint8_t, 8> out{};
  if (text.find('.') == std::string_view::npos) return out;
  LittleEndianWriter w(out);
  // The first three numbers end at the next dot (empty when none is left);
  // the fourth is whatever remains.
  for (int i = 0; i < 3; ++i) {
    const std::size_t dot = text.find('.');
    const std::string_view part = dot == std::string_view::npos ? std::string_view{} : text.substr(0, dot);
    w.WriteUint16(static_cast<std::uint16_t>(ParseIntOr(part, 0)));
    if (dot != std::string_view::npos) text.remove_prefix(dot + 1);
  }
  w.WriteUint16(static_cast<std::uint16_t>(ParseIntOr(text, 0)));
  return out;
}

std::array<std::uint8_t, 1> FirstNumberPayload(std::int32_t first_number) {
  return {static_cast<std::uint8_t>(first_number)};
}

const char* CommandName(std::uint32_t command) {
  switch (command) {
    case cmd_keepalive: return "cmd_keepalive";
    case cmd_register: return "cmd_register";
    case cmd_accepted: return "cmd_accepted";
    case cmd_query: return "cmd_query";
    case cmd_denied: return "cmd_denied";
    case cmd_disconnect: return "cmd_disconnect";
    case cmd_drop: return "cmd_drop";
    case cmd_query_answer: return "cmd_query_answer";
    case cmd_port_state: return "cmd_port_state";
    case cmd_version: return "cmd_version";
    case cmd_first_number: return "cmd_first_number";
    case cmd_event: return "cmd_event";
    case cmd_event_ack: return "cmd_event_ack";
    default: return nullptr;
  }
}

}  // namespace orvent
