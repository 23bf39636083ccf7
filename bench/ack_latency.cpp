// ACK latency end to end: receiver-sim on a pseudo-terminal against the
// packet driver and the message decoder, with the production settings
// (poll every 20 ms, 80 ms packet time-out) and the real clock. Lines start
// at a rate whose period is not a multiple of the poll, so they arrive at
// every phase of it. Prints receiver-sim's figures and the verdict.
//
// usage: ack_latency [LINES]   (default 200)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/poll_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "receiver/message_decoder.h"
#include "support/child_process.h"

namespace {

constexpr double kP50LimitMs = 90;
constexpr double kP99LimitMs = 100;

// The value after `key` in a receiver-sim summary line.
double Field(const std::string& line, const std::string& key) {
  const auto at = line.find(" " + key + " ");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + key.size() + 2);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvent;
  const std::string lines = argc > 1 ? argv[1] : "200";
  std::optional<test::ChildProcess> started;
  try {
    started.emplace(RECEIVER_SIM_PATH, std::vector<std::string>{"--count", lines, "--rate", "7", "--timeout", "2000"});
  } catch (const std::exception&) {
    std::fprintf(stderr, "ack_latency: cannot start %s\n", RECEIVER_SIM_PATH);
    return 2;
  }
  test::ChildProcess& sim = *started;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  const auto first = sim.ReadLine(deadline);
  if (!first || first->rfind("device ", 0) != 0) {
    std::fprintf(stderr, "ack_latency: receiver-sim gave no device\n");
    return 2;
  }

  SystemClock clock;
  PollEventLoop loop(clock);
  SystemSerialPorts ports;
  SerialPacketDriver driver(ports, loop, clock);
  driver.SetPortName(first->substr(7));
  ApplyReceiverLineSettings(driver);
  DecoderOutlets outlets;
  outlets.SendData = [&](const std::uint8_t* data, std::uint32_t size, std::error_code& why) {
    return driver.SendData(data, size, why);
  };
  // Takes every record as kept and counts them.
  struct CountingSink final : EventSink {
    StoreResults StoreEvents(std::span<const EventToKeep> events) override {
      count += events.size();
      return StoreResults(events.size(), {RecordKept::OnDisk, 0});
    }
    std::size_t count = 0;
  } sink;
  const std::size_t& records = sink.count;
  outlets.Sink = &sink;
  MessageDecoder decoder(DecoderSettings{}, clock, outlets);
  driver.OnReceivePacket = [&](SerialPacketDriver*, const std::uint8_t* p, std::uint32_t n) { decoder.HandlePacket(p, n); };
  if (!driver.Connect()) {
    std::fprintf(stderr, "ack_latency: cannot open %s\n", first->c_str() + 7);
    return 2;
  }

  loop.StartTimer(std::chrono::milliseconds(20), [&] {
    if (sim.Ended() || std::chrono::steady_clock::now() > deadline) loop.Quit();
  });
  if (loop.Run() || !sim.Ended()) {
    std::fprintf(stderr, "ack_latency: receiver-sim did not finish\n");
    return 2;
  }
  std::string summary;
  while (const auto line = sim.ReadLine(deadline)) {
    if (line->rfind("summary ", 0) == 0) summary = *line;
  }
  std::printf("receiver-sim: %s\n", summary.c_str());
  const double p50 = Field(summary, "p50_ms");
  const double p99 = Field(summary, "p99_ms");
  std::printf("ack latency: p50 %.1f ms (limit %.0f), p99 %.1f ms (limit %.0f), records %zu\n", p50, kP50LimitMs, p99,
              kP99LimitMs, records);
  const bool ok = sim.WaitExit(std::chrono::milliseconds(0)) == 0 && p50 >= 0 && p50 <= kP50LimitMs && p99 >= 0 && p99 <= kP99LimitMs;
  std::printf("ack latency: %s\n", ok ? "within limits" : "OUT OF LIMITS");
  return ok ? 0 : 1;
}
