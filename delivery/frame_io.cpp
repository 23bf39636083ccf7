#include "delivery/frame_io.h"

#include <algorithm>

#include "delivery/frame_protocol.h"

namespace orvent {

bool SendFrame(TIdTCPClient& client, std::span<const std::uint8_t> frame) {
  const std::vector<std::uint8_t> block = BuildBlock(frame);
  try {
    client.SendBytes(block);
  } catch (const EIdException&) {
    client.Disconnect();
    return false;
  }
  return true;
}

void ReadReply(TIdTCPClient& client, std::vector<std::uint8_t>& RxBuffer) {
  RxBuffer.clear();
  client.SetConnectionReadTimeout(kReplyReadTimeoutMs);
  std::vector<std::uint8_t> prefix;
  prefix.reserve(block_prefix::kSize);
  try {
    client.ReceiveBytes(prefix, block_prefix::kSize);
  } catch (const EIdException&) {
    return;  // the bytes of a partial prefix are lost with it
  }
  if (prefix.size() < block_prefix::kSize) return;
  const auto parsed = ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize>(prefix.data(), block_prefix::kSize));
  if (!parsed || parsed->Length <= 0 || parsed->Length > kMaxReplyLength) return;

  const auto length = static_cast<std::size_t>(parsed->Length);
  RxBuffer.reserve(length);
  while (RxBuffer.size() < length) {
    const std::size_t want = std::min(length - RxBuffer.size(), kReplyStep);
    const std::size_t before = RxBuffer.size();
    try {
      client.ReceiveBytes(RxBuffer, want);
    } catch (const EIdException&) {
      // A silence of a whole wait, or a close, in the middle of a frame: the
      // rest is not coming, and waiting again would hold the link for ever.
      RxBuffer.clear();
      return;
    }
    if (RxBuffer.size() - before < want) {  // found closed before a wait
      RxBuffer.clear();
      return;
    }
  }
}

}  // namespace orvent
