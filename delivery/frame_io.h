#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "delivery/tcp_client.h"

namespace orvent {

// The time a reply read waits for each portion, and the largest portion.
inline constexpr std::chrono::milliseconds kReplyWait{1000};
inline constexpr std::size_t kReplyStep = 50000;
// A whole reply must be in within this, however its bytes trickle.
inline constexpr std::chrono::milliseconds kReplyDeadline{3000};

// Writes one frame behind its block prefix in a single send. The connection
// is left as it is after a failure: closing it is the caller's decision.
std::error_code SendFrame(BlockingTcpClient& client, std::span<const std::uint8_t> frame);

// How a reply read ended. The protocol ties a reply to a frame only by its
// place on the stream, so what matters is whether the stream is still in
// step with the frames sent.
enum class ReplyRead {
  // One whole message was read into `rx` (empty when its prefix announced
  // a length of 0).
  Complete,
  // Nothing arrived within the wait: the reply is still owed, and the next
  // message on the stream will be it.
  NothingYet,
  // Part of a message, or bytes that are no message (a bad marker, a length
  // below 0 or above kMaxReplyLength), or a stop: no later message can be
  // placed any more.
  Broken,
  // The connection ended (closed or reset by the server, or failed) before
  // a whole message was in.
  Closed,
};

// Reads one message from the server into `rx` (left empty unless Complete).
// Each portion waits at most kReplyWait for bytes, and the whole message
// must be in within `deadline` of the call, both on the client's clock;
// never allocates more than the bounded length.
ReplyRead ReadReply(BlockingTcpClient& client, std::vector<std::uint8_t>& rx,
                    std::chrono::milliseconds deadline = kReplyDeadline);

}  // namespace orvent
