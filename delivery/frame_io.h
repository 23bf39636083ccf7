#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delivery/tcp_client.h"

namespace orvent {

// The time a reply read waits for each portion, and the largest portion.
inline constexpr std::int32_t kReplyReadTimeoutMs = 1000;
inline constexpr std::size_t kReplyStep = 50000;

// Writes one frame behind its block prefix in a single send. On an
// EIdException the client is disconnected and the result is false (the
// caller counts the error); any other error reaches the caller.
bool SendFrame(TIdTCPClient& client, std::span<const std::uint8_t> frame);

// Reads one message from the server into `RxBuffer`, left empty when none
// could be read: no complete prefix within the wait, a bad marker, a length
// of 0, below 0 or above kMaxReplyLength, or a frame cut short by the peer's
// close or by a silence of kReplyReadTimeoutMs. Never waits longer than one
// silence per portion and never allocates more than the bounded length.
void ReadReply(TIdTCPClient& client, std::vector<std::uint8_t>& RxBuffer);

}  // namespace orvent
