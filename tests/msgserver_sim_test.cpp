#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/frame_io.h"
#include "delivery/frame_protocol.h"
#include "delivery/server_link.h"
#include "delivery/spool.h"
#include "platform/clock.h"
#include "platform/tcp_socket.h"
#include "support/child_process.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using test::MsgServerSim;

stru_soob SampleEvent() {
  stru_soob r = test::SampleSoob(1234);
  r.ZoneChars = {'0', '1', '2', 0};
  r.Kind = 3;
  return r;
}

// Plays the driver's side by hand: one frame, then one reply.
class Driver {
public:
  explicit Driver(std::uint16_t port, const std::string& host = "127.0.0.1") {
    if (const std::error_code error = client_.Connect(host, port, 2500ms)) ADD_FAILURE() << error.message();
  }
  // The command of the reply; nullopt when none could be read.
  std::optional<std::uint32_t> Exchange(std::uint32_t command, std::span<const std::uint8_t> payload = {}) {
    if (SendFrame(client_, BuildFrame(command, payload, sequence_++))) return std::nullopt;
    std::vector<std::uint8_t> rx;
    ReadReply(client_, rx);
    const auto reply = InterpretReply(rx);
    if (!reply) return std::nullopt;
    return reply->Header.Command;
  }
  bool Connected() { return client_.Connected(); }

private:
  SystemClock clock_;
  BlockingTcpClient client_{clock_};
  std::uint64_t sequence_ = 0;
};

struct ModeCase {
  const char* name;
  std::vector<std::string> args;
  // Replies to register, port state, event, keep-alive; nullopt: none came,
  // and the exchange ends there.
  std::vector<std::optional<std::uint32_t>> replies;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class SimModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(SimModes, AnswerEachFrameAsTheModeSays) {
  const ModeCase& c = GetParam();
  MsgServerSim sim(c.args);
  Driver driver(sim.Port());
  const SoobBytes event = Serialize(SampleEvent());
  const std::pair<std::uint32_t, std::vector<std::uint8_t>> frames[] = {
      {cmd_register, {0x35, 0x00}},
      {cmd_port_state, {4, 'C', 'O', 'M', '1', 0, 0, 1}},
      {cmd_event, std::vector<std::uint8_t>(event.begin(), event.end())},
      {cmd_keepalive, {}},
  };
  std::vector<std::optional<std::uint32_t>> got;
  for (const auto& [command, payload] : frames) {
    got.push_back(driver.Exchange(command, payload));
    if (!got.back()) break;
  }
  EXPECT_EQ(got, c.replies);
  // Every frame that reached the server is on its own line.
  EXPECT_EQ(sim.ReadLine(), "cmd_register seq=0 payload=35 00");
  if (c.replies.size() > 1) {
    EXPECT_EQ(sim.ReadLine(), "cmd_port_state seq=1 payload=04 43 4F 4D 31 00 00 01");
  }
  if (c.replies.size() > 2) {
    EXPECT_EQ(sim.ReadLine(), "cmd_event seq=2 number=1234 zone=012 partition=1 kind=3 time=2011-09-06 14:30:00.250");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimModes,
    ::testing::Values(
        ModeCase{"Normal", {}, {cmd_accepted, cmd_keepalive, cmd_event_ack, cmd_keepalive}},
        ModeCase{"NoAccept", {"--no-accept"}, {cmd_keepalive, cmd_keepalive, cmd_event_ack, cmd_keepalive}},
        ModeCase{"Deny", {"--deny"}, {cmd_denied, cmd_keepalive, cmd_event_ack, cmd_keepalive}},
        ModeCase{"NoAck", {"--no-ack"}, {cmd_accepted, cmd_keepalive, cmd_keepalive, cmd_keepalive}},
        ModeCase{"DisconnectAfter", {"--disconnect-after", "2"},
                 {cmd_accepted, cmd_disconnect, cmd_event_ack, cmd_keepalive}},
        ModeCase{"DropAfter", {"--drop-after", "3"}, {cmd_accepted, cmd_keepalive, cmd_drop, cmd_keepalive}},
        ModeCase{"CloseAfter", {"--close-after", "2"}, {cmd_accepted, std::nullopt}},
        ModeCase{"Silent", {"--silent"}, {std::nullopt}},
        ModeCase{"AckDelay", {"--ack-delay", "200"}, {cmd_accepted, cmd_keepalive, cmd_event_ack, cmd_keepalive}}),
    [](const ::testing::TestParamInfo<ModeCase>& info_) { return std::string(info_.param.name); });

TEST(MsgServerSim, LogsEventsAsJsonServesOneConnectionAfterAnotherAndStopsOnSignal) {
  test::TempDir dir;
  MsgServerSim sim({"--events", dir.File("events.jsonl")});
  const SoobBytes event = Serialize(SampleEvent());
  for (int connection = 0; connection < 2; ++connection) {
    Driver driver(sim.Port());
    EXPECT_EQ(driver.Exchange(cmd_register, std::vector<std::uint8_t>{0x35, 0}), cmd_accepted);
    EXPECT_EQ(driver.Exchange(cmd_event, event), cmd_event_ack);
  }
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sim.ReadLine());
  const std::string line =
      "{\"seq\":1,\"number\":1234,\"zone\":\"012\",\"partition\":1,\"kind\":3,"
      "\"time\":\"2011-09-06 14:30:00.250\",\"mark\":33,\"record\":\"D2 04 00 00 03 30 31 32 00 01 03 " +
      [&] {
        std::string hex;
        char buf[4];
        for (std::size_t i = 11; i < 20; ++i) {
          std::snprintf(buf, sizeof buf, i == 19 ? "%02X" : "%02X ", event[i]);
          hex += buf;
        }
        return hex;
      }() + "\"}\n";
  EXPECT_EQ(dir.Read("events.jsonl"), line + line);

  sim.Process().Signal(SIGTERM);
  EXPECT_EQ(sim.Process().WaitExit(5s), 0);
}

// With an IPv6 address to listen on, the simulator serves over IPv6.
TEST(MsgServerSim, ServesOverIpv6) {
  {
    TcpListener probe;
    if (probe.Listen(kLoopbackV6, 0)) GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  MsgServerSim sim({"--host", "::1"});
  Driver driver(sim.Port(), "[::1]");
  EXPECT_EQ(driver.Exchange(cmd_register, std::vector<std::uint8_t>{0x35, 0x00}), cmd_accepted);
  EXPECT_EQ(sim.ReadLine().value_or("").substr(0, 12), "cmd_register");
}

class QuietWindow : public LinkObserver {
public:
  void Report(const LinkReport&) override {}
  void PulseIndicator() override {}
};

// The running link thread and a spool against the simulator as a separate
// process.
TEST(MsgServerSim, TheLinkThreadHandshakesAndDeliversEvents) {
  MsgServerSim sim({});
  SystemClock clock;
  QuietWindow window;
  LoopDispatcher dispatcher([](std::function<void()> call) { call(); });
  test::TempDir folder;
  EventSpool spool(folder.Prefix(), clock, {});
  LinkOutlets outlets;
  outlets.ReadServerAddress = [&] { return ServerAddress{"127.0.0.1", sim.Port()}; };
  outlets.Outbox = &spool;
  ServerLink link(clock, dispatcher, window, LinkSettings{}, outlets);
  spool.AttachWake([&link] { link.Wake(); });
  link.Start();
  std::vector<std::string> lines;
  for (int i = 0; i < 4; ++i) lines.push_back(sim.ReadLine().value_or("(none)"));
  EXPECT_EQ(lines[0].substr(0, 18), "cmd_register seq=0");
  EXPECT_EQ(lines[3].substr(0, 17), "cmd_version seq=3");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!link.Accepted() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(link.Accepted());
  const SoobBytes event = Serialize(SampleEvent());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(spool.StoreEvent(event));
  int events = 0;
  for (int i = 0; i < 20 && events < 3; ++i) {
    const auto line = sim.ReadLine();
    ASSERT_TRUE(line);
    events += line->rfind("cmd_event seq=", 0) == 0;
  }
  EXPECT_EQ(events, 3);
  const auto acked_by = std::chrono::steady_clock::now() + 5s;
  while (spool.WaitingCount() > 0 && std::chrono::steady_clock::now() < acked_by) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(spool.WaitingCount(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
  link.Stop();
}

}  // namespace
}  // namespace orvent
