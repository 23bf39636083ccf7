#include "delivery/frame_io.h"

#include <algorithm>

#include "delivery/frame_protocol.h"

namespace orvent {

std::error_code SendFrame(BlockingTcpClient& client, std::span<const std::uint8_t> frame) {
  const std::vector<std::uint8_t> block = BuildBlock(frame);
  return client.Send(block);
}

// A time-out and a stop leave the stream where no later reply can be placed,
// unless nothing at all had arrived in a wait that simply ran out; a
// connection that ended is told apart, as it needs no closing and has no
// stream left to place anything on.
ReplyRead ReadReply(BlockingTcpClient& client, std::vector<std::uint8_t>& rx, std::chrono::milliseconds deadline) {
  rx.clear();
  const ReadLimits limits{kReplyWait, client.NowMs() + deadline.count()};

  std::vector<std::uint8_t> prefix;
  prefix.reserve(block_prefix::kSize);
  if (const std::error_code error = client.Receive(prefix, block_prefix::kSize, limits)) {
    if (client.Ended()) return ReplyRead::Closed;
    return error == std::errc::timed_out && prefix.empty() ? ReplyRead::NothingYet : ReplyRead::Broken;
  }
  const auto parsed = ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize>(prefix.data(), block_prefix::kSize));
  if (!parsed || parsed->Length < 0 || parsed->Length > kMaxReplyLength) return ReplyRead::Broken;

  const auto length = static_cast<std::size_t>(parsed->Length);
  rx.reserve(length);
  while (rx.size() < length) {
    const std::size_t want = std::min(length - rx.size(), kReplyStep);
    if (client.Receive(rx, want, limits)) {
      // A silence, a close or the deadline in the middle of a message: the
      // rest is not coming in time, and waiting again would hold the link.
      rx.clear();
      return client.Ended() ? ReplyRead::Closed : ReplyRead::Broken;
    }
  }
  return ReplyRead::Complete;
}

}  // namespace orvent
