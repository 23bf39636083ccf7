#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/frame_io.h"
#include "delivery/frame_protocol.h"
#include "platform/fake_clock.h"
#include "support/fake_time.h"
#include "support/loopback_server.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::Block;

Bytes Prefix(std::int32_t n, std::uint8_t marker = 0xFF) {
  Bytes p(21, 0);
  p[0] = marker;
  for (int i = 0; i < 4; ++i) p[5 + i] = p[17 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(n) >> (8 * i));
  return p;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A client on a fake clock connected to a server end that the test writes
// to directly.
class ReplyPair {
public:
  ReplyPair() {
    if (listener_.Listen(kLoopback, 0)) throw std::runtime_error("listen");
    if (client.Connect("127.0.0.1", listener_.LocalPort(), 2500ms)) throw std::runtime_error("connect");
    if (!listener_.Accept(server, 5s, {}).ok()) throw std::runtime_error("accept");
  }
  FakeClock clock;
  BlockingTcpClient client{clock};
  TcpSocket server;

private:
  TcpListener listener_;
};

struct ReplyCase {
  const char* name;
  Bytes sent;
  bool close_after;
  ReplyRead outcome;
  Bytes expected;  // what RxBuffer holds afterwards
};

TEST(ReadReply, TakesOneMessageOrSaysWhyNot) {
  const stru_arb ack = BuildFrame(cmd_event_ack, {}, 3);
  const stru_arb event = BuildFrame(cmd_event, SoobBytes{1, 2, 3}, 4);
  Bytes odd_copy = Concat(Prefix(18), ack);
  odd_copy[17] = 0x77;  // the length's copy is not read
  Bytes big(120000, 0xAB);
  const auto complete = ReplyRead::Complete;
  const auto broken = ReplyRead::Broken;
  const auto closed = ReplyRead::Closed;
  const ReplyCase cases[] = {
      {"control", Concat(Prefix(18), ack), false, complete, ack},
      {"alternative marker", Concat(Prefix(18, 0xF0), ack), false, complete, ack},
      {"length copy differs", odd_copy, false, complete, ack},
      // A whole message that holds no frame: the stream is still in step.
      {"length 0", Prefix(0), false, complete, {}},
      {"shorter than a header", Concat(Prefix(10), Bytes(10, 0xFF)), false, complete, Bytes(10, 0xFF)},
      {"more than one step", Concat(Prefix(120000), big), false, complete, big},
      {"no answer at all", {}, false, ReplyRead::NothingYet, {}},
      // After these no later message can be placed.
      {"bad marker", Concat(Prefix(18, 0x00), ack), false, broken, {}},
      {"negative length", Concat(Prefix(-5), ack), false, broken, {}},
      {"length above 1 MiB", Concat(Prefix(kMaxReplyLength + 1), ack), false, broken, {}},
      {"largest length", Concat(Prefix(0x7FFFFFFF), ack), false, broken, {}},
      {"close inside the prefix", Bytes(10, 0xFF), true, closed, {}},
      {"close inside the frame", Concat(Prefix(38), Bytes(event.begin(), event.begin() + 20)), true, closed, {}},
      {"close right after the prefix", Prefix(38), true, closed, {}},
      {"close without an answer", {}, true, closed, {}},
      {"silence inside the prefix", Bytes(10, 0xFF), false, broken, {}},
      {"silence inside the frame", Concat(Prefix(38), Bytes(event.begin(), event.begin() + 20)), false, broken, {}},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyPair pair;
    ASSERT_TRUE(c.sent.empty() || pair.server.SendAll(c.sent, {}).ok());
    if (c.close_after) pair.server.Close();
    Bytes rx{9, 9, 9};  // left over from an earlier reply
    const std::int64_t start = pair.clock.MonotonicMs();
    // Small steps, so that the clock overshoots a wait by little.
    EXPECT_EQ(test::WhileTimeMoves(pair.clock, [&] { return ReadReply(pair.client, rx); }, 2), c.outcome);
    EXPECT_EQ(rx, c.expected);
    // At most one wait runs out, and no portion is read after a failure.
    EXPECT_LT(pair.clock.MonotonicMs() - start, 2 * kReplyWait.count());
  }
}

TEST(ReadReply, AReplyLaterThanTheWaitIsTheNextOneRead) {
  ReplyPair pair;
  Bytes rx;
  EXPECT_EQ(test::WhileTimeMoves(pair.clock, [&] { return ReadReply(pair.client, rx); }), ReplyRead::NothingYet);
  ASSERT_TRUE(pair.server.SendAll(Block(cmd_event_ack), {}).ok());
  EXPECT_EQ(ReadReply(pair.client, rx), ReplyRead::Complete);
  EXPECT_EQ(rx, BuildFrame(cmd_event_ack, {}, 0));
}

TEST(ReadReply, BytesThatTrickleMeetTheDeadline) {
  // A byte every 100 ms of the clock never lets a single wait run out; only
  // the deadline over the whole message ends the read. The real pause only
  // keeps the bytes apart on the wire.
  ReplyPair pair;
  const std::int64_t start = pair.clock.MonotonicMs();
  std::jthread trickle([&](std::stop_token stop) {
    (void)pair.server.SendAll(Prefix(1000), stop);
    const std::uint8_t byte[1] = {0xFF};
    do {
      std::this_thread::sleep_for(5ms);
      pair.clock.Advance(100);
    } while (!stop.stop_requested() && pair.server.SendAll(byte, stop).ok());
  });
  Bytes rx;
  EXPECT_EQ(ReadReply(pair.client, rx, 400ms), ReplyRead::Broken);
  const std::int64_t took = pair.clock.MonotonicMs() - start;
  EXPECT_GE(took, 400);
  EXPECT_LT(took, kReplyWait.count());
  EXPECT_TRUE(rx.empty());
}

TEST(ReadReply, BackToBackRepliesAreReadOneAtATime) {
  ReplyPair pair;
  const Bytes both = Concat(Block(cmd_accepted), Block(cmd_query, Bytes{7}));
  ASSERT_TRUE(pair.server.SendAll(both, {}).ok());
  Bytes rx;
  EXPECT_EQ(ReadReply(pair.client, rx), ReplyRead::Complete);
  EXPECT_EQ(rx, BuildFrame(cmd_accepted, {}, 0));
  EXPECT_EQ(ReadReply(pair.client, rx), ReplyRead::Complete);
  EXPECT_EQ(rx, BuildFrame(cmd_query, Bytes{7}, 0));
}

// Random replies over a real socket: never a crash, an escape, an unbounded
// wait or an allocation beyond the bound, and a result that is either no
// message or exactly the frame the prefix announced.
TEST(ReadReply, SurvivesRandomReplies) {
  std::mt19937 random(20110906);
  auto byte = [&] { return static_cast<std::uint8_t>(random() & 0xFF); };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Bytes sent;
    switch (random() % 4) {
      case 0:  // anything at all
        for (std::size_t i = random() % 64; i > 0; --i) sent.push_back(byte());
        break;
      case 1: {  // a plausible prefix with any length, then a few bytes
        sent = Prefix(static_cast<std::int32_t>(random()), random() % 2 ? 0xFF : 0xF0);
        for (std::size_t i = random() % 40; i > 0; --i) sent.push_back(byte());
        break;
      }
      default: {  // a small length and a body of random size around it
        const auto n = static_cast<std::int32_t>(random() % 40);
        sent = Prefix(n, random() % 8 ? 0xFF : byte());
        for (std::size_t i = random() % 50; i > 0; --i) sent.push_back(byte());
        break;
      }
    }
    ReplyPair pair;
    ASSERT_TRUE(sent.empty() || pair.server.SendAll(sent, {}).ok());
    pair.server.Close();
    Bytes rx;
    ReplyRead read = ReplyRead::Broken;
    ASSERT_NO_THROW(read = ReadReply(pair.client, rx));
    if (read != ReplyRead::Complete) {
      EXPECT_TRUE(rx.empty());
    } else {
      ASSERT_GE(sent.size(), 21u);
      const auto parsed = ParsePrefix(std::span<const std::uint8_t, 21>(sent.data(), 21));
      ASSERT_TRUE(parsed);
      ASSERT_EQ(rx.size(), static_cast<std::size_t>(parsed->Length));
      EXPECT_EQ(rx, Bytes(sent.begin() + 21, sent.begin() + 21 + parsed->Length));
    }
    (void)InterpretReply(rx);
  }
}

}  // namespace
}  // namespace orvent
