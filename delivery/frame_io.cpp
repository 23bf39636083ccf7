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

ReplyRead ReadReply(TIdTCPClient& client, std::vector<std::uint8_t>& RxBuffer, std::chrono::milliseconds deadline) {
  RxBuffer.clear();
  client.SetConnectionReadTimeout(kReplyReadTimeoutMs);
  client.SetReadDeadline(std::chrono::steady_clock::now() + deadline);
  struct ClearDeadline {
    TIdTCPClient& client;
    ~ClearDeadline() { client.SetReadDeadline(std::nullopt); }
  } clear{client};

  std::vector<std::uint8_t> prefix;
  prefix.reserve(block_prefix::kSize);
  try {
    client.ReceiveBytes(prefix, block_prefix::kSize);
  } catch (const EIdReadTimeout&) {
    return prefix.empty() ? ReplyRead::NothingYet : ReplyRead::Broken;
  } catch (const EIdException&) {
    return ReplyRead::Broken;
  }
  if (prefix.size() < block_prefix::kSize) return ReplyRead::Broken;  // found closed before a wait
  const auto parsed = ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize>(prefix.data(), block_prefix::kSize));
  if (!parsed || parsed->Length < 0 || parsed->Length > kMaxReplyLength) return ReplyRead::Broken;

  const auto length = static_cast<std::size_t>(parsed->Length);
  RxBuffer.reserve(length);
  while (RxBuffer.size() < length) {
    const std::size_t want = std::min(length - RxBuffer.size(), kReplyStep);
    const std::size_t before = RxBuffer.size();
    try {
      client.ReceiveBytes(RxBuffer, want);
    } catch (const EIdException&) {
      // A silence, a close or the deadline in the middle of a message: the
      // rest is not coming in time, and waiting again would hold the link.
      RxBuffer.clear();
      return ReplyRead::Broken;
    }
    if (RxBuffer.size() - before < want) {  // found closed before a wait
      RxBuffer.clear();
      return ReplyRead::Broken;
    }
  }
  return ReplyRead::Complete;
}

}  // namespace orvent
