#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "platform/clock.h"
#include "platform/manual_timer.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"
#include "receiver/message_decoder.h"
#include "support/child_program.h"
#include "support/timer_loop.h"

namespace orvent {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// The driver as the main window wires it: production settings, the real
// clock, the real decoder acknowledging every line, against receiver-sim on
// a pseudo-terminal.
TEST(SerialIntegrationTest, ReceiverSimLinesAreAcknowledgedAndDecoded) {
  constexpr int kLines = 6;
  test::ChildProgram sim(RECEIVER_SIM_PATH, {"--count", std::to_string(kLines), "--timeout", "2000", "--retries", "2"});
  ASSERT_TRUE(sim.started());
  const auto deadline = steady_clock::now() + seconds(30);
  const std::optional<std::string> first = sim.ReadLine(deadline);
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->rfind("device ", 0), 0u) << *first;
  const std::string device = first->substr(7);

  SystemClock clock;
  ManualTimer timer;
  SystemSerialPorts ports;
  TCommPortDriver driver(ports, timer, clock);
  driver.SetPortName(device);
  driver.SetHwFlow(hfNONE);
  driver.SetPacketSize(256);
  driver.SetPacketTimeout(80);
  driver.SetPacketMode(pmPass);
  driver.SetPollingDelay(20);
  driver.SetOutputTimeout(80);

  std::vector<SoobBytes> records;
  DecoderOutlets outlets;
  outlets.SendData = [&](const std::uint8_t* data, std::uint32_t size) { return driver.SendData(data, size); };
  outlets.SendOrSpool = [&](const SoobBytes& record) { records.push_back(record); };
  MessageDecoder decoder(DecoderSettings{}, clock, ".", outlets);
  driver.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* packet, std::uint32_t size) {
    decoder.HandlePacket(packet, size);
  };
  ASSERT_TRUE(driver.Connect());

  ASSERT_TRUE(test::RunTimer(timer, deadline, [&] { return sim.Poll().has_value(); }));
  EXPECT_EQ(sim.Poll(), 0);

  std::vector<std::string> acks;
  std::string summary;
  while (const auto line = sim.ReadLine(deadline)) {
    if (line->rfind("line ", 0) == 0) acks.push_back(*line);
    if (line->rfind("summary ", 0) == 0) summary = *line;
  }
  for (const std::string& ack : acks) std::printf("receiver-sim: %s\n", ack.c_str());
  std::printf("receiver-sim: %s\n", summary.c_str());
  ASSERT_EQ(acks.size(), static_cast<std::size_t>(kLines));
  for (const std::string& ack : acks) EXPECT_NE(ack.find(" ack_ms "), std::string::npos) << ack;
  EXPECT_EQ(summary.rfind("summary count 6 acked 6 resends 0 p50_ms ", 0), 0u) << summary;

  // Every line was an event; the first: account 1000, partition 01, zone 001.
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kLines));
  const auto soob = DeserializeSoob(records.front());
  ASSERT_TRUE(soob.has_value());
  EXPECT_EQ(soob->Number, 51000);
  EXPECT_EQ(soob->Razdel, 1);
  EXPECT_EQ(soob->Kind, 1);
  EXPECT_EQ(soob->Mark, 33);
}

}  // namespace
}  // namespace orvent
