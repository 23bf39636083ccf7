#include <gtest/gtest.h>

#include <atomic>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "delivery/commands.h"
#include "common/program_version.h"
#include "delivery/server_link.h"
#include "platform/fake_clock.h"
#include "support/fake_outbox.h"
#include "support/fake_time.h"
#include "support/loopback_server.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::Behaving;
using test::Block;
using test::FakeOutbox;
using test::ReceivedMessage;
using test::ScriptedServer;
using test::ServerAction;

class RecordingWindow : public LinkObserver {
public:
  void Report(const LinkReport& report) override {
    {
      std::lock_guard lock(mutex_);
      reports_.push_back(report);
    }
    changed_.notify_all();
  }
  void PulseIndicator() override {
    std::lock_guard lock(mutex_);
    ++pulses_;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const LinkReport& r : reports_) lines.push_back(r.Text);
    return lines;
  }
  std::vector<LinkNews> News() const {
    std::lock_guard lock(mutex_);
    std::vector<LinkNews> news;
    for (const LinkReport& r : reports_) news.push_back(r.News);
    return news;
  }
  std::size_t Count(LinkNews news) const {
    const auto all = News();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), news));
  }
  // Waits (bounded) until `news` has been reported.
  bool WaitFor(LinkNews news, std::chrono::milliseconds timeout = 5s) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return std::any_of(reports_.begin(), reports_.end(), [&](const LinkReport& r) { return r.News == news; });
    });
  }
  int Pulses() const {
    std::lock_guard lock(mutex_);
    return pulses_;
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LinkReport> reports_;
  int pulses_ = 0;
};

// A port where nobody listens: connects to it are refused at once.
std::uint16_t ClosedPort() {
  TcpListener probe;
  if (probe.Listen(kLoopback, 0)) return 1;
  return probe.LocalPort();
}

// The link with every outlet recorded. Calls to the window run inline.
class Harness {
public:
  explicit Harness(std::uint16_t port, const Clock* clock = nullptr,
                   LoopDispatcher::Poster poster = [](std::function<void()> call) { call(); },
                   std::string version = "2.0.1.15")
      : dispatcher(std::move(poster)), port_(port) {
    LinkSettings settings;
    settings.FirstNumber = 4;
    settings.VersionText = version;
    LinkOutlets outlets;
    outlets.ReadServerAddress = [this] {
      if (on_address_read) on_address_read();
      std::lock_guard lock(host_mutex_);
      return ServerAddress{host_, port_.load()};
    };
    outlets.CurrentPortState = [this] {
      if (on_port_state_read) on_port_state_read();
      return PortState{"COM1", true};
    };
    outlets.Outbox = &outbox;
    link = std::make_unique<ServerLink>(clock ? *clock : fake, dispatcher, window, settings, outlets);
  }

  // The link hands an awaited event back as it stops: stop it while the
  // outbox still exists.
  ~Harness() { link->Stop(); }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  void SetPort(std::uint16_t port) { port_ = port; }
  void SetHost(std::string host) {
    std::lock_guard lock(host_mutex_);
    host_ = std::move(host);
  }
  // Connects and sends the four handshake frames, one pass each.
  void ConnectAndHandshake() {
    link->Tick();
    ASSERT_TRUE(link->LinkUp());
    for (int i = 0; i < 4; ++i) link->Tick();
  }
  std::size_t CountLines(const std::string& text) const {
    const auto lines = window.Lines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
  }
  std::size_t CountLinesStarting(const std::string& text) const {
    const auto lines = window.Lines();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(text); }));
  }

  FakeClock fake;
  LoopDispatcher dispatcher;
  RecordingWindow window;
  FakeOutbox outbox;
  std::function<void()> on_address_read;
  std::function<void()> on_port_state_read;
  std::unique_ptr<ServerLink> link;

private:
  std::atomic<std::uint16_t> port_;
  std::mutex host_mutex_;
  std::string host_ = "127.0.0.1";
};

Bytes Hex(const std::string& text) {
  std::istringstream in(text);
  Bytes out;
  unsigned value = 0;
  while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
  return out;
}

Bytes PrefixFor(std::uint8_t n) {
  Bytes p(21, 0);
  p[0] = 0xFF;
  p[5] = p[17] = n;
  return p;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Message(std::uint8_t n, const std::string& frame_hex) {
  Bytes m = PrefixFor(n);
  const Bytes frame = Hex(frame_hex);
  m.insert(m.end(), frame.begin(), frame.end());
  return m;
}

SoobBytes SampleRecord(std::uint8_t seed = 1) {
  SoobBytes r{};
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(seed + i);
  return r;
}

std::vector<std::uint32_t> CommandsOf(const std::vector<ReceivedMessage>& messages) {
  std::vector<std::uint32_t> out;
  for (const auto& m : messages) out.push_back(m.Command);
  return out;
}

TEST(ServerLink, ExampleExchangeByteForByte) {
  ScriptedServer server(Behaving);
  Harness h(server.Port());
  h.link->Tick();
  EXPECT_EQ(h.window.Lines(), (std::vector<std::string>{kStatusConnecting, kStatusConnected}));
  EXPECT_EQ(h.outbox.link_ups, 1);
  EXPECT_TRUE(h.link->LinkUp());
  EXPECT_FALSE(h.link->Accepted());
  for (int i = 0; i < 4; ++i) h.link->Tick();
  EXPECT_TRUE(h.link->Accepted());

  const SoobBytes record = SampleRecord();
  h.outbox.Add(record);
  h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{record});
  h.fake.Advance(501);
  h.link->Tick();
  EXPECT_EQ(h.link->RxBuffer(), Hex("FF 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 FE"));

  Bytes event = Message(0x26, "FF 20 00 00 03 14 00 00 00 04 00 00 00 00 00 00 00 FE");
  event.insert(event.end(), record.begin(), record.end());
  const std::vector<Bytes> expected = {
      Message(0x14, "FF 01 00 00 02 02 00 00 00 00 00 00 00 00 00 00 00 FE 35 00"),
      Message(0x1A, "FF 62 00 20 02 08 00 00 00 01 00 00 00 00 00 00 00 FE 04 43 4F 4D 31 00 00 01"),
      Message(0x13, "FF 65 00 20 02 01 00 00 00 02 00 00 00 00 00 00 00 FE 04"),
      Message(0x1A, "FF 63 00 20 02 08 00 00 00 03 00 00 00 00 00 00 00 FE 02 00 00 00 01 00 0F 00"),
      event,
      Message(0x12, "FF 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 FE"),
  };
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(messages[i].Raw, expected[i]);
  }
  EXPECT_EQ(h.link->ErrorCount(), 0);
  EXPECT_TRUE(h.outbox.Undelivered().empty());
}

TEST(ServerLink, TheVersionFrameCarriesTheBuildsVersionUnlessGivenOne) {
  ScriptedServer server(Behaving);
  Harness h(server.Port(), nullptr, [](std::function<void()> call) { call(); }, "");
  h.ConnectAndHandshake();
  const std::string version = ProgramVersion();
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
  const auto expected = VersionPayload(version);
  EXPECT_EQ(server.Messages().at(3).Payload, Bytes(expected.begin(), expected.end()));
}

TEST(ServerLink, KeepAlivesOnlyWhenAcceptedIdleAndMoreThan500MsApart) {
  ScriptedServer server(Behaving);
  Harness h(server.Port());
  h.ConnectAndHandshake();
  ASSERT_TRUE(h.link->Accepted());
  auto count = [&] { return server.Messages().size(); };
  ASSERT_EQ(count(), 4u);
  h.fake.Advance(500);
  h.link->Tick();
  EXPECT_EQ(count(), 4u);
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_EQ(count(), 5u);
  EXPECT_EQ(server.Messages().back().Command, cmd_keepalive);

  // While a frame waits, the frame goes instead of the keep-alive.
  h.fake.Advance(600);
  ASSERT_TRUE(h.link->PostFrame(cmd_port_state, PortStatePayload("COM2", false)));
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_port_state);
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_keepalive);
  EXPECT_EQ(count(), 7u);

  // So does an event that waits in the outbox.
  h.fake.Advance(600);
  h.outbox.Add(SampleRecord());
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_event);
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_keepalive);
}

TEST(ServerLink, WithoutAcceptanceNoKeepAliveAndTheLinkLapsesAfter3000Ms) {
  ScriptedServer server([](const ReceivedMessage&) { return ServerAction{Block(cmd_keepalive)}; });
  Harness h(server.Port());
  h.ConnectAndHandshake();
  EXPECT_FALSE(h.link->Accepted());
  h.fake.Advance(3000);
  h.link->Tick();
  EXPECT_EQ(server.Messages().size(), 4u);  // no keep-alive before acceptance
  EXPECT_TRUE(h.link->LinkUp());
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.window.Lines().back(), kStatusNotAccepted);
  EXPECT_EQ(h.window.Lines().size(), 3u);
  EXPECT_EQ(server.ConnectionsEnded(), 0);  // left open until the next attempt

  h.fake.Advance(1999);  // 5000 since the attempt began
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 1u);
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 2u);
  EXPECT_TRUE(server.WaitUntil([&] { return server.ConnectionsSeen() == 2 && server.ConnectionsEnded() == 1; }));
}

TEST(ServerLink, AttemptsStart5000MsApartFromTheStartOfThePrevious) {
  Harness h(ClosedPort());
  // Each attempt takes as long as a full connect time-out.
  h.on_address_read = [&] { h.fake.Advance(2500); };
  h.link->Tick();  // the first attempt starts at once
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusConnecting), 1u);
  h.fake.Advance(2500);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 1u);
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 2u);
  EXPECT_EQ(h.CountLines(kStatusConnected), 0u);
  EXPECT_EQ(h.outbox.link_ups, 0);

  // The address is read again at every attempt.
  ScriptedServer server(Behaving);
  h.on_address_read = nullptr;
  h.SetPort(server.Port());
  h.fake.Advance(5001);
  h.link->Tick();
  EXPECT_TRUE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusConnected), 1u);
}

TEST(ServerLink, AFailedAttemptSaysWhyAndWhere) {
  const std::uint16_t closed = ClosedPort();
  Harness h(closed);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(std::string(kStatusRefused) + " Сервер 127.0.0.1:" + std::to_string(closed) + "."), 1u);
  // A name that no resolver knows (the .invalid domain is never assigned).
  h.SetHost("no-such-server.invalid");
  h.fake.Advance(5001);
  h.link->Tick();
  EXPECT_EQ(h.CountLinesStarting(kStatusNameNotFound), 1u);
  // A server that never answers: the attempt ends at the connect time-out.
  const test::SilentListener silent;
  h.SetHost("127.0.0.1");
  h.SetPort(silent.Port());
  h.fake.Advance(5001);
  h.link->Tick();
  EXPECT_EQ(h.CountLinesStarting(kStatusNoAnswer), 1u);
  // No route takes a stream to a group address, on any machine.
  h.SetHost("224.0.0.1");
  h.SetPort(9);
  h.fake.Advance(5001);
  h.link->Tick();
  EXPECT_EQ(h.CountLinesStarting(kStatusUnreachable), 1u);
  EXPECT_EQ(h.CountLines(kStatusConnecting), 4u);

  struct Case {
    std::error_code error;
    const char* status;
  };
  const Case cases[] = {
      {make_error_code(ResolveError::TryAgain), kStatusNameNotFound},
      {std::make_error_code(std::errc::connection_refused), kStatusRefused},
      {std::make_error_code(std::errc::timed_out), kStatusNoAnswer},
      {std::make_error_code(std::errc::network_unreachable), kStatusUnreachable},
      {std::make_error_code(std::errc::host_unreachable), kStatusUnreachable},
      {make_error_code(TcpClientError::HostRequired), "Соединение не удалось: не задан адрес сервера."},
      {make_error_code(TcpClientError::PortRequired), "Соединение не удалось: не задан порт сервера."},
      {make_error_code(TcpClientError::ConnectFailed), "Соединение не удалось."},
  };
  const ServerAddress where{"alarm-server", 5000};
  for (const Case& c : cases) {
    EXPECT_EQ(ConnectFailureStatus(c.error, where), std::string(c.status) + " Сервер alarm-server:5000.")
        << c.error.message();
  }
  EXPECT_EQ(ConnectFailureStatus(std::make_error_code(std::errc::io_error), where),
            "Соединение не удалось: ошибка сети 5. Сервер alarm-server:5000.");
  EXPECT_EQ(ConnectFailureStatus(std::make_error_code(std::errc::connection_refused), ServerAddress{"::1", 5000}),
            std::string(kStatusRefused) + " Сервер [::1]:5000.");
}

struct CommandCase {
  const char* name;
  std::uint32_t reply;
  const char* status;       // the last line once the link has looked again
  bool closes_at_once;      // the link closes the connection itself
  std::int64_t next_after;  // ms after the attempt began
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class ServerCommands : public ::testing::TestWithParam<CommandCase> {};

// The server's answer to the registration comes 1000 ms after the attempt began.
TEST_P(ServerCommands, EndTheLinkAsOrdered) {
  const CommandCase& c = GetParam();
  ScriptedServer server([&](const ReceivedMessage& m) {
    return ServerAction{Block(m.Command == cmd_register ? c.reply : cmd_keepalive)};
  });
  Harness h(server.Port());
  h.link->Tick();
  h.fake.Advance(1000);
  h.link->Tick();
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.link->ErrorCount(), 0);
  h.link->Tick();
  EXPECT_EQ(h.window.Lines().back(), c.status);
  if (c.closes_at_once) {
    EXPECT_TRUE(server.WaitUntil([&] { return server.ConnectionsEnded() == 1; }));
  } else {
    EXPECT_EQ(server.ConnectionsEnded(), 0);
  }
  h.fake.Advance(c.next_after - 1000 - 1);
  h.link->Tick();
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 1u);
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 2u);
  // Each end is told once, whatever comes after it.
  EXPECT_EQ(h.CountLines(c.status), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerCommands,
    ::testing::Values(CommandCase{"Disconnect", cmd_disconnect, kStatusServerDisconnect, false, 6001},
                      CommandCase{"Drop", cmd_drop, kStatusLost, true, 5001},
                      // A station refused is tried again a minute after the refusal.
                      CommandCase{"Denied", cmd_denied, kStatusDeniedRetry, true, 61001}),
    [](const ::testing::TestParamInfo<CommandCase>& info_) { return std::string(info_.param.name); });

// A station registered on the server after a refusal gets its events
// through without a restart of the driver.
TEST(ServerLink, ARefusedStationTriesAgainAndDeliversOnceAccepted) {
  std::atomic<int> registrations{0};
  ScriptedServer server([&](const ReceivedMessage& m) {
    if (m.Command == cmd_register) return ServerAction{Block(++registrations == 1 ? cmd_denied : cmd_accepted)};
    return Behaving(m);
  });
  Harness h(server.Port());
  const SoobBytes record = SampleRecord();
  h.outbox.Add(record);
  h.link->Tick();  // connects and registers: refused
  h.link->Tick();
  h.link->Tick();  // tells the refusal
  EXPECT_FALSE(h.link->AllowReconnect());
  EXPECT_EQ(h.CountLines(kStatusDenied), 1u);
  EXPECT_EQ(h.window.Lines().back(), kStatusDeniedRetry);
  h.fake.Advance(ServerLink::kDeniedRetryMs);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusConnecting), 1u);
  h.fake.Advance(1);
  for (int i = 0; i < 16 && h.outbox.Acknowledged().empty(); ++i) h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{record});
  EXPECT_EQ(h.CountLines(kStatusAccepted), 1u);
  EXPECT_EQ(h.CountLines(kStatusDenied), 1u);
}

TEST(ServerLink, MoreThan20ErrorsReconnect) {
  // Every reply is a message without a frame: one error each, in step.
  ScriptedServer server([](const ReceivedMessage&) { return ServerAction{PrefixFor(0)}; });
  Harness h(server.Port());
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(h.link->PostFrame(0x11111111, {}));
  h.link->Tick();
  for (int i = 0; i < 21; ++i) h.link->Tick();
  EXPECT_EQ(h.link->ErrorCount(), 21);
  EXPECT_TRUE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusNetworkErrors), 0u);
  h.link->Tick();
  EXPECT_EQ(h.CountLines(kStatusNetworkErrors), 1u);
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.link->ErrorCount(), 0);
  h.fake.Advance(5001);
  h.link->Tick();
  EXPECT_TRUE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusConnecting), 2u);
}

TEST(ServerLink, FramesQueuedWhileDownGoFirstAfterTheReconnectThenEvents) {
  ScriptedServer server(Behaving);
  Harness h(server.Port());
  ASSERT_TRUE(h.link->PostFrame(0x11111111, {}));
  h.outbox.Add(SampleRecord());
  ASSERT_TRUE(h.link->PostFrame(0x22222222, {}));
  for (int i = 0; i < 8; ++i) h.link->Tick();
  EXPECT_EQ(CommandsOf(server.Messages()), (std::vector<std::uint32_t>{0x11111111, 0x22222222, cmd_register,
                                                                       cmd_port_state, cmd_first_number,
                                                                       cmd_version, cmd_event}));
  // Sequence numbers follow the order in which the frames were built; an
  // event frame is built as it goes.
  EXPECT_EQ(server.Messages()[2].Sequence, 2u);
  EXPECT_EQ(server.Messages()[6].Sequence, 6u);
  EXPECT_EQ(h.outbox.Acknowledged().size(), 1u);
}

TEST(ServerLink, AnEventWhoseConnectionDiesGoesBackToTheOutbox) {
  // The connection ends when the first event arrives; three more wait behind it.
  ScriptedServer server([](const ReceivedMessage& m) {
    if (m.Command == cmd_event) return ServerAction{{}, true};
    return Behaving(m);
  });
  Harness h(server.Port());
  h.ConnectAndHandshake();
  ASSERT_TRUE(h.link->Accepted());
  for (int i = 1; i <= 4; ++i) h.outbox.Add(SampleRecord(static_cast<std::uint8_t>(i)));
  for (int i = 0; i < 40 && h.link->LinkUp(); ++i) h.link->Tick();
  ASSERT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.outbox.Undelivered(), std::vector<SoobBytes>{SampleRecord(1)});
  EXPECT_EQ(h.outbox.InFlight(), 0u);
  EXPECT_TRUE(h.outbox.Acknowledged().empty());
}

struct GoneCase {
  const char* name;
  bool with_event;  // the link's next frame is an event, else a keep-alive
};

void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

class ServerGone : public ::testing::TestWithParam<GoneCase> {};

// A server that has closed the connection while the link was idle: the
// link's next frame meets the close, and the link says so at once, in one
// line, instead of counting errors on a dead connection pass after pass.
TEST_P(ServerGone, TheNextFrameFindsTheConnectionLostAtOnce) {
  const GoneCase& c = GetParam();
  ScriptedServer server(Behaving);
  Harness h(server.Port());
  h.ConnectAndHandshake();
  ASSERT_TRUE(h.link->Accepted());
  server.EndConnection();
  ASSERT_TRUE(server.WaitUntil([&] { return server.ConnectionsEnded() == 1; }));
  const int pulses = h.window.Pulses();
  if (c.with_event) {
    h.outbox.Add(SampleRecord(3));
  } else {
    h.fake.Advance(ServerLink::kKeepAliveMs + 1);
  }
  h.link->Tick();
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.window.News().back(), LinkNews::Lost);
  EXPECT_EQ(h.window.Lines().back(), kStatusLost);
  EXPECT_GT(h.window.Pulses(), pulses);
  EXPECT_EQ(h.outbox.InFlight(), 0u);
  if (c.with_event) {
    // Whether the event met the close before or after it went out, it is
    // handed back; and it is the only one in either case.
    EXPECT_EQ(h.outbox.Acknowledged().size() + h.outbox.Undelivered().size() + h.outbox.MsUntilNextEvent().has_value(),
              1u);
    EXPECT_TRUE(h.outbox.Acknowledged().empty());
  }
  // Said once; no error count runs out on the dead connection; the next
  // attempt comes by the usual rule.
  for (int i = 0; i < 30; ++i) {
    h.fake.Advance(100);
    h.link->Tick();
  }
  EXPECT_EQ(h.window.Count(LinkNews::Lost), 1u);
  EXPECT_EQ(h.window.Count(LinkNews::NetworkErrors), 0u);
  EXPECT_EQ(h.link->ErrorCount(), 0);
  EXPECT_EQ(h.window.Count(LinkNews::Connecting), 1u);
  h.fake.Advance(ServerLink::kReconnectMs);
  h.link->Tick();
  EXPECT_EQ(h.window.Count(LinkNews::Connecting), 2u);
  EXPECT_TRUE(h.link->LinkUp());
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerGone,
                         ::testing::Values(GoneCase{"KeepAlive", false}, GoneCase{"Event", true}),
                         [](const ::testing::TestParamInfo<GoneCase>& info_) { return std::string(info_.param.name); });

struct RestCase {
  const char* name;
  test::ServerAction registration_reply;
};

void PrintTo(const RestCase& c, std::ostream* os) { *os << c.name; }

class ServerGoneWhileResting : public ::testing::TestWithParam<RestCase> {};

// The link thread rests, with nothing to send, until the next keep-alive
// or, not yet accepted, until the acceptance wait ends; the fake clock never
// gets there. A server that goes away meanwhile is seen as it goes, by the
// rest itself, and no frame is sent on the dead connection.
TEST_P(ServerGoneWhileResting, IsSeenWithoutTheClockMoving) {
  const RestCase& c = GetParam();
  ScriptedServer server([&](const ReceivedMessage& m) {
    return m.Command == cmd_register ? c.registration_reply : ServerAction{Block(cmd_keepalive)};
  });
  Harness h(server.Port());
  h.link->Start();
  ASSERT_TRUE(server.WaitUntil([&] { return server.Messages().size() == 4; }));
  // A question the thread answers at the start of its next pass, which has
  // nothing to do: then it rests.
  const std::uint64_t question = h.link->AskAlive();
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  while (h.link->AliveAnswered() < question && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GE(h.link->AliveAnswered(), question);
  server.EndConnection();
  const auto start = std::chrono::steady_clock::now();
  // Sooner than the acceptance wait's rest would end in real time.
  ASSERT_TRUE(h.window.WaitFor(LinkNews::Lost, 2s));
  std::printf("%s: the end seen after %lld ms\n", c.name,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count()));
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(server.Messages().size(), 4u);
  EXPECT_EQ(h.window.Count(LinkNews::Lost), 1u);
  EXPECT_EQ(h.window.Count(LinkNews::NetworkErrors), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerGoneWhileResting,
    ::testing::Values(RestCase{"Accepted", ServerAction{Block(cmd_accepted)}},
                      RestCase{"NotYetAccepted", ServerAction{Block(cmd_keepalive)}}),
    [](const ::testing::TestParamInfo<RestCase>& info_) { return std::string(info_.param.name); });

// A server that answers events with something else: the records stay and
// go again, and the operator hears of it once, when the first of them has
// waited longer than the reply deadline; then once more when it
// acknowledges again. A lost connection in between changes neither.
TEST(ServerLink, AServerThatDoesNotAcknowledgeIsToldOnceAndItsReturnToo) {
  std::atomic<bool> acknowledges{false};
  ScriptedServer server([&](const ReceivedMessage& m) {
    if (m.Command == cmd_event && !acknowledges) return ServerAction{Block(cmd_keepalive)};
    return Behaving(m);
  });
  Harness h(server.Port());
  h.outbox.requeue_undelivered = true;
  h.ConnectAndHandshake();
  h.outbox.Add(SampleRecord(1));
  const std::int64_t deadline = LinkSettings{}.ReplyDeadline.count();
  for (std::int64_t passed = 0; passed < deadline; passed += 500) {
    h.link->Tick();
    h.fake.Advance(500);
  }
  h.link->Tick();  // 3000 ms after the first event frame: not longer yet
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 0u);
  EXPECT_FALSE(h.link->EventsUnacknowledged());
  h.fake.Advance(1);
  h.link->Tick();
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
  EXPECT_EQ(h.window.Lines().back(), kStatusNotAcknowledging);
  EXPECT_TRUE(h.link->EventsUnacknowledged());
  for (int i = 0; i < 20; ++i) {
    h.fake.Advance(500);
    h.link->Tick();
  }
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
  EXPECT_TRUE(h.outbox.Acknowledged().empty());

  server.EndConnection();
  ASSERT_TRUE(server.WaitUntil([&] { return server.ConnectionsEnded() == 1; }));
  for (int i = 0; i < 3 && h.link->LinkUp(); ++i) h.link->Tick();
  ASSERT_FALSE(h.link->LinkUp());
  EXPECT_TRUE(h.link->EventsUnacknowledged());

  acknowledges = true;
  h.fake.Advance(ServerLink::kReconnectMs + 1);
  for (int i = 0; i < 8 && h.outbox.Acknowledged().empty(); ++i) h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{SampleRecord(1)});
  EXPECT_FALSE(h.link->EventsUnacknowledged());
  EXPECT_EQ(h.window.Count(LinkNews::AcknowledgingAgain), 1u);
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
  h.outbox.Add(SampleRecord(2));
  h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged().size(), 2u);
  EXPECT_EQ(h.window.Count(LinkNews::AcknowledgingAgain), 1u);
}

// A server that leaves the event frame unanswered: the record stays in
// flight, and the reply deadline passes all the same.
TEST(ServerLink, AnEventLeftUnansweredIsToldOnceAfterTheReplyDeadline) {
  ScriptedServer server([](const ReceivedMessage& m) {
    if (m.Command == cmd_event) return ServerAction{};
    return Behaving(m);
  });
  Harness h(server.Port());
  h.ConnectAndHandshake();
  h.outbox.Add(SampleRecord(1));
  const std::int64_t sent = h.fake.MonotonicMs();
  test::WhileTimeMoves(h.fake, [&] {
    while (h.fake.MonotonicMs() - sent <= LinkSettings{}.ReplyDeadline.count() + 2000) h.link->Tick();
  });
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
  EXPECT_TRUE(h.link->EventsUnacknowledged());
  EXPECT_EQ(h.outbox.InFlight(), 1u);
  EXPECT_EQ(CommandsOf(server.Messages()).back(), cmd_event);
}

// Once no record waits any more, sent or not, nothing is left
// unacknowledged: the flag goes without a line, the next record starts
// afresh.
TEST(ServerLink, TheUnacknowledgedFlagClearsSilentlyWhenNoRecordWaits) {
  ScriptedServer server([](const ReceivedMessage& m) {
    if (m.Command == cmd_event) return ServerAction{Block(cmd_keepalive)};
    return Behaving(m);
  });
  Harness h(server.Port());
  h.outbox.requeue_undelivered = true;
  h.ConnectAndHandshake();
  h.outbox.Add(SampleRecord(1));
  h.link->Tick();
  h.fake.Advance(LinkSettings{}.ReplyDeadline.count() + 1);
  h.link->Tick();
  ASSERT_TRUE(h.link->EventsUnacknowledged());
  // The record is handed back once more and then taken away (an operator
  // who cleared the folder, say).
  h.outbox.requeue_undelivered = false;
  h.link->Tick();
  ASSERT_EQ(h.outbox.MsUntilNextEvent(), std::nullopt);
  EXPECT_FALSE(h.link->EventsUnacknowledged());
  EXPECT_EQ(h.window.Count(LinkNews::AcknowledgingAgain), 0u);
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
  // A record sent later gets its own full deadline.
  h.fake.Advance(10000);
  h.outbox.requeue_undelivered = true;
  h.outbox.Add(SampleRecord(2));
  h.link->Tick();
  h.fake.Advance(LinkSettings{}.ReplyDeadline.count());
  h.link->Tick();
  EXPECT_FALSE(h.link->EventsUnacknowledged());
  EXPECT_EQ(h.window.Count(LinkNews::NotAcknowledging), 1u);
}

TEST(ServerLink, AFrameLeftWhenTheConnectionDiesGoesFirstOnTheNextOne) {
  // The first connection ends when the first-number frame arrives.
  ScriptedServer server([](const ReceivedMessage& m) {
    if (m.Connection == 1 && m.Command == cmd_first_number) return ServerAction{{}, true};
    return Behaving(m);
  });
  Harness h(server.Port());
  h.ConnectAndHandshake();  // the version frame is not written any more
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusOutOfStep), 0u);  // a close is no puzzle
  h.fake.Advance(5001);
  h.link->Tick();
  for (int i = 0; i < 5; ++i) h.link->Tick();
  std::vector<std::uint32_t> second;
  for (const auto& m : server.Messages()) {
    if (m.Connection == 2) second.push_back(m.Command);
  }
  EXPECT_EQ(second, (std::vector<std::uint32_t>{cmd_version, cmd_register, cmd_port_state, cmd_first_number,
                                                cmd_version}));
  EXPECT_TRUE(h.link->Accepted());
}

TEST(ServerLink, RepliesCountResetOrPassAsTheyShould) {
  // Replies, one per frame: N = 0, markers that do not match, an unknown
  // command, a query, then keep-alives with a list.
  int n = 0;
  ScriptedServer server([&](const ReceivedMessage&) {
    Bytes mismatched = Block(cmd_accepted);
    mismatched[21 + 17] = 0x00;
    switch (n++) {
      case 0: return ServerAction{PrefixFor(0)};
      case 1: return ServerAction{mismatched};
      case 2: return ServerAction{Block(0x7777)};
      case 3: return ServerAction{Block(cmd_query)};
      default: return ServerAction{Block(cmd_keepalive, Bytes{1, 0, 0, 0})};
    }
  });
  Harness h(server.Port());
  ASSERT_TRUE(h.link->PostFrame(0x11111111, {}));  // one frame before the handshake's four
  h.link->Tick();
  const std::int32_t expected[] = {1, 1, 0, 0};
  for (std::int32_t e : expected) {
    h.link->Tick();
    EXPECT_EQ(h.link->ErrorCount(), e);
  }
  EXPECT_FALSE(h.link->Accepted());  // the mismatched frame carried cmd_accepted
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_version);
  h.link->Tick();
  EXPECT_EQ(server.Messages().back().Command, cmd_query_answer);
  EXPECT_TRUE(server.Messages().back().Payload.empty());
  EXPECT_EQ(h.link->ErrorCount(), 0);
  EXPECT_TRUE(h.link->LinkUp());
}

TEST(ServerLink, AStreamOutOfStepIsClosedAtOnce) {
  // After bytes that make no message, no later reply could be placed.
  const std::vector<Bytes> replies = {Bytes(21, 0xAA), Concat(PrefixFor(38), Bytes(5, 0xFF))};
  for (const Bytes& reply : replies) {
    ScriptedServer server([&](const ReceivedMessage& m) {
      return ServerAction{m.Command == cmd_register ? Block(cmd_accepted) : reply};
    });
    Harness h(server.Port());
    h.link->Tick();
    h.link->Tick();
    // Half a reply ends only when the wait for its rest runs out.
    test::WhileTimeMoves(h.fake, [&] { h.link->Tick(); });
    EXPECT_FALSE(h.link->LinkUp());
    EXPECT_EQ(h.CountLines(kStatusOutOfStep), 1u);
    EXPECT_TRUE(server.WaitUntil([&] { return server.ConnectionsEnded() == 1; }));
    EXPECT_EQ(h.link->ErrorCount(), 1);
  }
}

struct EventReplyCase {
  const char* name;
  ServerAction reply;
  bool acknowledged;
};

void PrintTo(const EventReplyCase& c, std::ostream* os) { *os << c.name; }

class EventReplies : public ::testing::TestWithParam<EventReplyCase> {};

// Only the acknowledgement of that very frame delivers a record; any other
// answer, or none, hands it back to the outbox, and nothing else is
// acknowledged in its place.
TEST_P(EventReplies, OnlyAnAcknowledgementDelivers) {
  const EventReplyCase& c = GetParam();
  ScriptedServer server([&](const ReceivedMessage& m) {
    if (m.Command == cmd_event) return c.reply;
    return Behaving(m);
  });
  Harness h(server.Port());
  h.ConnectAndHandshake();
  const SoobBytes record = SampleRecord(7);
  h.outbox.Add(record);
  h.link->Tick();
  if (c.acknowledged) {
    EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{record});
    EXPECT_TRUE(h.outbox.Undelivered().empty());
  } else {
    EXPECT_TRUE(h.outbox.Acknowledged().empty());
    EXPECT_EQ(h.outbox.Undelivered(), std::vector<SoobBytes>{record});
  }
  EXPECT_EQ(h.outbox.InFlight(), 0u);
  EXPECT_EQ(h.outbox.StrayAnswers(), 0);
}

Bytes MismatchedAck() {
  Bytes b = Block(cmd_event_ack);
  b[21] = 0x00;
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventReplies,
    ::testing::Values(EventReplyCase{"Acknowledged", {Block(cmd_event_ack)}, true},
                      EventReplyCase{"KeepAlive", {Block(cmd_keepalive)}, false},
                      EventReplyCase{"Accepted", {Block(cmd_accepted)}, false},
                      EventReplyCase{"NoFrame", {PrefixFor(0)}, false},
                      EventReplyCase{"ClosedWithoutReply", {{}, true}, false},
                      EventReplyCase{"BadPrefix", {Bytes(21, 0x01)}, false},
                      EventReplyCase{"MarkersDoNotMatch", {MismatchedAck()}, false},
                      EventReplyCase{"Drop", {Block(cmd_drop)}, false}),
    [](const ::testing::TestParamInfo<EventReplyCase>& info_) { return std::string(info_.param.name); });

// A server slower than the reply wait: its late acknowledgement answers the
// frame that is still owed, and nothing else goes out on the connection
// until it has come. The server holds the first acknowledgement back until
// the link has given up waiting for it on the clock.
TEST(ServerLink, ALateReplyAnswersItsOwnFrame) {
  std::atomic<int> events{0};
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  ScriptedServer server([&](const ReceivedMessage& m) {
    if (m.Command != cmd_event) return Behaving(m);
    if (events++ == 0) released.wait_for(20s);
    return ServerAction{Block(cmd_event_ack)};
  });
  Harness h(server.Port());
  h.ConnectAndHandshake();
  h.outbox.Add(SampleRecord(1));
  h.outbox.Add(SampleRecord(2));
  const std::int64_t start = h.fake.MonotonicMs();
  test::WhileTimeMoves(h.fake, [&] { h.link->Tick(); });  // the first event; its reply does not come within the wait
  EXPECT_GE(h.fake.MonotonicMs() - start, 1000);
  EXPECT_EQ(h.link->ErrorCount(), 1);
  EXPECT_EQ(h.outbox.InFlight(), 1u);
  release.set_value();
  h.fake.Advance(1000);
  // Reads on and sends nothing, although a keep-alive is due. Slow steps:
  // the acknowledgement is on its way and must not be outrun by the clock.
  test::WhileTimeMoves(h.fake, [&] { h.link->Tick(); }, 1);
  EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{SampleRecord(1)});
  EXPECT_EQ(h.link->ErrorCount(), 0);
  const auto commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), cmd_event), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), cmd_keepalive), 0);
  h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged(), (std::vector<SoobBytes>{SampleRecord(1), SampleRecord(2)}));
  EXPECT_TRUE(h.outbox.Undelivered().empty());
}

// An outlet that fails while the handshake is queued fails the attempt: the
// connection does not stay open without its handshake.
TEST(ServerLink, AnOutletThatFailsDuringTheHandshakeClosesTheConnection) {
  ScriptedServer server(Behaving);
  Harness h(server.Port());
  h.on_port_state_read = [] { throw std::runtime_error("no port state"); };
  EXPECT_THROW(h.link->Tick(), std::runtime_error);
  EXPECT_FALSE(h.link->LinkUp());
  EXPECT_EQ(h.CountLines(kStatusConnected), 0u);
  EXPECT_EQ(h.outbox.link_ups, 0);
  EXPECT_TRUE(server.WaitUntil([&] { return server.ConnectionsSeen() == 1 && server.ConnectionsEnded() == 1; }));
}

TEST(ServerLink, RecoversAfterRandomRepliesOnceTheServerBehaves) {
  std::mt19937 random(4);
  std::atomic<int> garbage_left{150};
  ScriptedServer server([&](const ReceivedMessage& m) {
    if (garbage_left.fetch_sub(1) <= 0) return Behaving(m);
    Bytes junk;
    if (random() % 2) {
      junk = Block(static_cast<std::uint32_t>(random()));
      for (std::size_t i = random() % 30; i > 0; --i) junk.push_back(static_cast<std::uint8_t>(random()));
      junk[5] = static_cast<std::uint8_t>(random() % 60);
    } else {
      for (std::size_t i = random() % 60; i > 0; --i) junk.push_back(static_cast<std::uint8_t>(random()));
    }
    return ServerAction{junk, true};
  });
  Harness h(server.Port());
  for (int pass = 0; pass < 2000 && !(h.link->LinkUp() && h.link->Accepted() && garbage_left < 0); ++pass) {
    if (!h.link->LinkUp()) h.fake.Advance(5001);
    h.link->Tick();
  }
  ASSERT_TRUE(h.link->AllowReconnect());
  ASSERT_TRUE(h.link->Accepted());
  h.outbox.Add(SampleRecord());
  // Handshake frames of the failed connections still wait ahead of it.
  for (int i = 0; i < 200 && h.outbox.Acknowledged().empty(); ++i) h.link->Tick();
  EXPECT_EQ(h.outbox.Acknowledged(), std::vector<SoobBytes>{SampleRecord()});
  EXPECT_EQ(h.outbox.StrayAnswers(), 0);
}

TEST(ServerLinkStop, LaterPostsAreRefused) {
  Harness h(ClosedPort());
  ASSERT_TRUE(h.link->PostFrame(cmd_keepalive, {}));
  h.link->Tick();
  h.link->Stop();
  EXPECT_FALSE(h.link->PostFrame(cmd_port_state, PortStatePayload("COM1", true)));
  h.link->Stop();
}

// Runs Stop on another thread and waits at most `limit` for it.
bool StopsWithin(ServerLink& link, std::chrono::milliseconds limit) {
  auto done = std::async(std::launch::async, [&] { link.Stop(); });
  if (done.wait_for(limit) == std::future_status::ready) return true;
  ADD_FAILURE() << "Stop did not return";
  // A deadlocked link cannot be recovered; end the program rather than hang,
  // with what the test wrote so far.
  std::fflush(nullptr);
  std::_Exit(1);
}

// Stop right after Start finds the thread anywhere: in its first pass, just
// going to sleep or asleep. Wherever, its wake-up must not be lost.
TEST(ServerLinkStop, EndsWhereverTheThreadIsRightAfterStart) {
  for (int i = 0; i < 200; ++i) {
    Harness h(ClosedPort());
    h.link->Start();
    if (i % 2 == 1) std::this_thread::yield();
    ASSERT_TRUE(StopsWithin(*h.link, 2000ms)) << "round " << i;
  }
}

TEST(ServerLinkStop, EndsWhileTheLinkWaitsForTheWindowThread) {
  std::mutex parked_mutex;
  std::vector<std::function<void()>> parked;  // calls the main thread never runs
  std::promise<void> waiting;
  std::atomic<bool> first{true};
  SystemClock clock;
  Harness h(ClosedPort(), &clock, [&](std::function<void()> call) {
    std::lock_guard lock(parked_mutex);
    parked.push_back(std::move(call));
    if (first.exchange(false)) waiting.set_value();
  });
  h.outbox.Add(SampleRecord(5));
  h.link->Start();
  ASSERT_EQ(waiting.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(StopsWithin(*h.link, 2000ms));
  EXPECT_EQ(h.outbox.InFlight(), 0u);
  // A call that the main thread runs late does nothing.
  std::lock_guard lock(parked_mutex);
  for (auto& call : parked) call();
  EXPECT_TRUE(h.window.Lines().empty());
}

TEST(ServerLinkStop, EndsWhileTheLinkWaitsForAReply) {
  ScriptedServer server([](const ReceivedMessage&) { return ServerAction{}; });  // never answers
  SystemClock clock;
  Harness h(server.Port(), &clock);
  const SoobBytes record = SampleRecord(6);
  h.outbox.Add(record);
  h.link->Start();
  ASSERT_TRUE(server.WaitUntil([&] { return !server.Messages().empty(); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(StopsWithin(*h.link, 2000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);  // sooner than the read would time out
  // The registration went out but its reply never came; the event never
  // left the outbox.
  EXPECT_TRUE(h.outbox.Undelivered().empty());
  EXPECT_EQ(h.outbox.InFlight(), 0u);
  EXPECT_TRUE(server.WaitUntil([&] { return server.ConnectionsEnded() == 1; }));
}

}  // namespace
}  // namespace orvent
