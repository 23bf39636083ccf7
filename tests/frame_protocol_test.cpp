#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/commands.h"
#include "delivery/frame_protocol.h"
#include "delivery/out_queue.h"

namespace orvent {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Frame, EmptyPayloadGivesAHeaderOnlyFrameBehindItsPrefix) {
  const stru_arb frame = BuildFrame(cmd_query_answer, {}, 0x0102030405060708);
  EXPECT_EQ(frame, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                          0xFE}));
  const Bytes block = BuildBlock(frame);
  ASSERT_EQ(block.size(), 21u + 18u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 21),
            (Bytes{0xFF, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0}));
  EXPECT_EQ(KeepAliveFrame(),
            (Bytes{0xFF, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}));
}

TEST(Frame, PrefixMarkersAndLength) {
  struct Case {
    std::uint8_t marker;
    bool taken;
  };
  for (const Case c : {Case{0xFF, true}, Case{0xF0, true}, Case{0x00, false}, Case{0xFE, false}}) {
    SCOPED_TRACE(int{c.marker});
    std::array<std::uint8_t, 21> prefix{c.marker, 0, 0, 0, 0, 0x2A, 0, 0, 0};
    prefix[17] = 0x99;  // the copy of the length is never read
    const auto parsed = ParsePrefix(prefix);
    ASSERT_EQ(parsed.has_value(), c.taken);
    if (parsed) {
      EXPECT_EQ(parsed->Length, 42);
    }
  }
}

TEST(Frame, ReplyInterpretation) {
  const stru_arb ack = BuildFrame(cmd_event_ack, {}, 77);
  struct Case {
    const char* name;
    Bytes frame;
    bool valid;
    std::uint32_t command;
    Bytes payload;
  };
  Bytes bad_start = ack;
  bad_start[0] = 0xF0;
  Bytes bad_end = ack;
  bad_end[17] = 0x00;
  Bytes claims_five = ack;  // 18 bytes whose length field says 5
  claims_five[5] = 5;
  Bytes list = BuildFrame(cmd_keepalive, Bytes{1, 9, 9}, 0);
  Bytes zero_length_with_bytes = BuildFrame(cmd_accepted, {}, 0);
  zero_length_with_bytes.push_back(0x55);
  const Case cases[] = {
      {"control", ack, true, cmd_event_ack, {}},
      {"start marker", bad_start, false, 0, {}},
      {"end marker", bad_end, false, 0, {}},
      {"shorter than a header", Bytes(ack.begin(), ack.begin() + 17), false, 0, {}},
      {"empty", {}, false, 0, {}},
      {"length 5, nothing after", claims_five, true, cmd_event_ack, {}},
      {"keep-alive list", list, true, cmd_keepalive, {1, 9, 9}},
      {"length 0 takes no payload", zero_length_with_bytes, true, cmd_accepted, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto reply = InterpretReply(c.frame);
    ASSERT_EQ(reply.has_value(), c.valid);
    if (!reply) continue;
    EXPECT_EQ(reply->Header.Command, c.command);
    EXPECT_EQ(reply->Payload, c.payload);
  }
}

TEST(Payloads, PortStateNotice) {
  struct Case {
    std::string name;
    bool open;
    Bytes expected;
  };
  const Case cases[] = {
      {"COM1", true, {4, 'C', 'O', 'M', '1', 0, 0, 1}},
      {"COM255", false, {6, 'C', 'O', 'M', '2', '5', '5', 0}},
      {"COM1234", true, {6, 'C', 'O', 'M', '1', '2', '3', 1}},
      {"", false, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto payload = PortStatePayload(c.name, c.open);
    EXPECT_EQ(Bytes(payload.begin(), payload.end()), c.expected);
  }
}

TEST(Payloads, VersionText) {
  struct Case {
    const char* text;
    Bytes expected;
  };
  const Case cases[] = {
      {"2.0.1.15", {2, 0, 0, 0, 1, 0, 15, 0}},
      {"8.1", {8, 0, 0, 0, 0, 0, 1, 0}},
      {"7", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"65537.x.3.4", {1, 0, 0, 0, 3, 0, 4, 0}},  // cut to 16 bits; "x" reads as 0
      {"1.2.3.4.5", {1, 0, 2, 0, 3, 0, 0, 0}},    // "4.5" is no integer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto payload = VersionPayload(c.text);
    EXPECT_EQ(Bytes(payload.begin(), payload.end()), c.expected);
  }
  EXPECT_EQ(FirstNumberPayload(260)[0], 4);
}

TEST(OutQueue, FullQueueDiscardsButUsesUpTheSequenceNumber) {
  OutgoingQueue q;
  for (std::uint32_t i = 0; i < OutgoingQueue::kSlots; ++i) ASSERT_TRUE(q.PostFrame(cmd_event, {}));
  EXPECT_TRUE(q.Full());
  EXPECT_EQ(q.Head(), q.Tail());
  EXPECT_FALSE(q.PostFrame(cmd_event, {}));
  EXPECT_EQ(q.Sequence(), 101u);
  q.QueuePop();
  EXPECT_FALSE(q.Full());
  ASSERT_TRUE(q.PostFrame(cmd_register, kRegisterPayload));
  // The oldest frame now is sequence 1; the newest carries 101, after the gap.
  stru_arb head;
  ASSERT_TRUE(q.QueuePeek(head));
  EXPECT_EQ(head[9], 1);
  std::vector<stru_arb> all;
  for (stru_arb f; q.QueuePeek(f); q.QueuePop()) all.push_back(f);
  ASSERT_EQ(all.size(), 100u);
  EXPECT_EQ(all.back(), BuildFrame(cmd_register, kRegisterPayload, 101));
  EXPECT_TRUE(q.Empty());
  // An event frame built as it is sent takes the next number too.
  EXPECT_EQ(q.NextFrame(cmd_event, {}), BuildFrame(cmd_event, {}, 102));
  EXPECT_TRUE(q.Empty());
}

TEST(OutQueue, IndicesWrapAndAnEmptyQueueStaysUnchanged) {
  OutgoingQueue q;
  stru_arb out;
  EXPECT_FALSE(q.QueuePeek(out));
  q.QueuePop();
  EXPECT_EQ(q.Head(), 0u);
  EXPECT_EQ(q.Tail(), 0u);
  for (int i = 0; i < 250; ++i) {
    const std::uint8_t payload[1] = {static_cast<std::uint8_t>(i)};
    ASSERT_TRUE(q.PostFrame(cmd_port_state, payload));
    ASSERT_TRUE(q.QueuePeek(out));
    EXPECT_EQ(out[18], static_cast<std::uint8_t>(i));
    q.QueuePop();
  }
  EXPECT_EQ(q.Head(), 50u);
  EXPECT_EQ(q.Tail(), 50u);
  EXPECT_FALSE(q.Full());
  EXPECT_FALSE(q.QueuePeek(out));
}

}  // namespace
}  // namespace orvent
