#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "platform/clock.h"
#include "platform/poll_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "receiver/message_decoder.h"
#include "support/child_process.h"
#include "support/recording_sink.h"

namespace orvent {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// receiver-sim on its pseudo-terminal and the driver on the other end, with
// the program's settings, a real event loop and the real clock.
class ReceiverSimTest : public ::testing::Test {
protected:
  void Start(const std::vector<std::string>& args) {
    sim.emplace(RECEIVER_SIM_PATH, args);
    const std::optional<std::string> first = sim->ReadLine(deadline);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->rfind("device ", 0), 0u) << *first;
    driver.SetPortName(first->substr(7));
    ApplyReceiverLineSettings(driver);
  }

  // Runs the loop until receiver-sim ends; its exit code and output lines.
  void RunToEnd() {
    ASSERT_TRUE(driver.Connect());
    const auto check = loop.StartTimer(std::chrono::milliseconds(20), [&] {
      if (sim->Ended() || steady_clock::now() > deadline) loop.Quit();
    });
    ASSERT_FALSE(loop.Run());
    loop.StopTimer(check);
    ASSERT_TRUE(sim->Ended());
    exit_code = sim->WaitExit(std::chrono::milliseconds(0));
    while (const auto line = sim->ReadLine(deadline)) {
      std::printf("receiver-sim: %s\n", line->c_str());
      if (line->rfind("line ", 0) == 0) lines.push_back(*line);
      if (line->rfind("summary ", 0) == 0) summary = *line;
    }
  }

  const steady_clock::time_point deadline = steady_clock::now() + seconds(30);
  std::optional<test::ChildProcess> sim;
  SystemClock clock;
  PollEventLoop loop{clock};
  SystemSerialPorts ports;
  SerialPacketDriver driver{ports, loop, clock};
  std::optional<int> exit_code;
  std::vector<std::string> lines;
  std::string summary;
};

TEST_F(ReceiverSimTest, LinesAreAcknowledgedAndDecoded) {
  Start({"--count", "6", "--timeout", "2000", "--retries", "2"});
  test::RecordingSink sink;
  const std::vector<SoobBytes>& records = sink.records;
  DecoderOutlets outlets;
  outlets.SendData = [&](const std::uint8_t* data, std::uint32_t size, std::error_code& why) {
    return driver.SendData(data, size, why);
  };
  outlets.Sink = &sink;
  MessageDecoder decoder(DecoderSettings{}, clock, outlets);
  driver.OnReceivePacket = [&](SerialPacketDriver*, const std::uint8_t* packet, std::uint32_t size) {
    decoder.HandlePacket(packet, size);
  };
  RunToEnd();

  EXPECT_EQ(exit_code, 0);
  ASSERT_EQ(lines.size(), 6u);
  for (const std::string& line : lines) EXPECT_NE(line.find(" ack_ms "), std::string::npos) << line;
  EXPECT_EQ(summary.rfind("summary count 6 acked 6 resends 0 p50_ms ", 0), 0u) << summary;

  // Every line was an event; the first: account 1000, partition 01, zone 001.
  ASSERT_EQ(records.size(), 6u);
  const auto soob = DeserializeSoob(records.front());
  ASSERT_TRUE(soob.has_value());
  EXPECT_EQ(soob->Number, 51000);
  EXPECT_EQ(soob->Razdel, 1);
  EXPECT_EQ(soob->Kind, 1);
  EXPECT_EQ(soob->Mark, 33);
}

TEST_F(ReceiverSimTest, UnacknowledgedLinesAreResentThenGivenUp) {
  Start({"--count", "2", "--timeout", "600", "--retries", "1"});
  // Only the second packet, the first line's resend, is acknowledged.
  int packets = 0;
  driver.OnReceivePacket = [&](SerialPacketDriver*, const std::uint8_t*, std::uint32_t) {
    const std::uint8_t ack = kACK;
    if (++packets == 2) driver.SendData(&ack, 1);
  };
  RunToEnd();

  EXPECT_EQ(exit_code, 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("line 1 ack_ms ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" tries 2"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "line 2 lost tries 2");
  EXPECT_EQ(summary.rfind("summary count 2 acked 1 resends 2 ", 0), 0u) << summary;
  EXPECT_EQ(packets, 4);
}

}  // namespace
}  // namespace orvent
