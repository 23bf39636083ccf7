#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "delivery/tcp_client.h"
#include "platform/fake_clock.h"
#include "support/fake_time.h"
#include "support/loopback_server.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::ReadUpTo;
using test::SilentListener;

Bytes Sequence(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i + 1);
  return b;
}

// Asks `done` every millisecond until it holds, for at most two seconds.
template <typename Done>
bool Eventually(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + 2s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A client on a fake clock connected to a listener on loopback, with the
// server's end of the connection in hand.
class ConnectedPair : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(listener.Listen(kLoopback, 0));
    ASSERT_FALSE(client.Connect("127.0.0.1", listener.LocalPort(), 2500ms));
    ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
  }
  void ServerSend(const Bytes& bytes) { ASSERT_TRUE(server.SendAll(bytes, {}).ok()); }

  FakeClock clock;
  TcpListener listener;
  TcpSocket server;
  BlockingTcpClient client{clock};
};

// Each piece comes 600 ms of the clock after the one before, 1800 ms in all:
// the silence of 1000 ms starts again with every piece. The real pause lets
// the client look at the moved clock before the piece comes.
TEST_F(ConnectedPair, ReceiveCompletesFromPiecesArrivingWithGaps) {
  const Bytes sent = Sequence(21);
  std::jthread writer([&] {
    for (std::size_t at = 0; at < sent.size(); at += 7) {
      clock.Advance(600);
      std::this_thread::sleep_for(150ms);
      (void)server.SendAll(std::span(sent).subspan(at, 7), {});
    }
  });
  Bytes got;
  EXPECT_FALSE(client.Receive(got, 21, {1000ms, std::nullopt}));
  EXPECT_EQ(got, sent);
}

TEST_F(ConnectedPair, ExtraBytesWaitInTheBufferForTheNextCall) {
  const Bytes sent = Sequence(30);
  ServerSend(sent);
  Bytes got;
  ASSERT_FALSE(client.Receive(got, 21, {1000ms, std::nullopt}));
  ASSERT_EQ(got.size(), 21u);
  // The rest is already buffered: no wait at all is needed for it.
  EXPECT_FALSE(client.Receive(got, 9, {0ms, std::nullopt}));
  EXPECT_EQ(got, sent);
}

// Only the injected clock ends a wait: real time alone does not, a moved
// clock does, and the bytes that came before stay with the caller.
TEST_F(ConnectedPair, SilenceTimesOutOnTheClockAndKeepsTheBytes) {
  ServerSend(Sequence(10));
  Bytes got;
  auto read = std::async(std::launch::async, [&] { return client.Receive(got, 21, {200ms, std::nullopt}); });
  EXPECT_EQ(read.wait_for(300ms), std::future_status::timeout);
  clock.Advance(200);
  ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(read.get(), std::errc::timed_out);
  EXPECT_EQ(got, Sequence(10));
  EXPECT_TRUE(client.Connected());  // a time-out leaves the connection open
}

TEST_F(ConnectedPair, TheDeadlineEndsTheReadBeforeTheSilenceWouldHave) {
  ServerSend(Sequence(5));
  Bytes got;
  const std::int64_t start = clock.MonotonicMs();
  const ReadLimits limits{1000ms, start + 300};
  const std::error_code error = test::WhileTimeMoves(clock, [&] { return client.Receive(got, 21, limits); }, 1);
  EXPECT_EQ(error, std::errc::timed_out);
  EXPECT_LT(clock.MonotonicMs() - start, 1000);
  EXPECT_EQ(got, Sequence(5));
  // Past the deadline, a read ends at once although bytes wait.
  ServerSend(Sequence(16));
  Bytes more;
  EXPECT_EQ(client.Receive(more, 1, limits), std::errc::timed_out);
  EXPECT_TRUE(more.empty());
}

TEST_F(ConnectedPair, PeerCloseEndsTheReadAndLaterSendsFail) {
  ServerSend(Sequence(5));
  std::jthread closer([&] {
    std::this_thread::sleep_for(100ms);  // the read is waiting by then, as a rule
    server.Close();
  });
  Bytes got;
  // Found while waiting or at the check before a wait: the same outcome.
  EXPECT_EQ(client.Receive(got, 21, {1000ms, std::nullopt}), TcpClientError::ClosedByPeer);
  EXPECT_EQ(got, Sequence(5));
  closer.join();
  Bytes more;
  EXPECT_EQ(client.Receive(more, 3, {1000ms, std::nullopt}), TcpClientError::ClosedByPeer);
  EXPECT_TRUE(more.empty());
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Send(Sequence(3)), TcpClientError::ClosedByPeer);
  EXPECT_FALSE(client.Disconnect());  // the close was found already: nothing to close
}

TEST_F(ConnectedPair, DisconnectClosesOnceAndTheServerSeesTheClose) {
  EXPECT_TRUE(client.Disconnect());
  EXPECT_FALSE(client.Disconnect());
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(ReadUpTo(server, 1, 2s).empty());
  EXPECT_EQ(client.Send(Sequence(1)), std::errc::not_connected);
}

TEST_F(ConnectedPair, WaitingBytesAreCountedAndThrownAway) {
  std::size_t discarded = 0;
  EXPECT_FALSE(client.DiscardWaiting(discarded));
  EXPECT_EQ(discarded, 0u);
  ServerSend(Sequence(700));  // more than one chunk of the discard
  EXPECT_TRUE(Eventually([&] { return !client.DiscardWaiting(discarded) && discarded == 700; }));
  server.Close();
  // A close is no error here.
  EXPECT_TRUE(Eventually([&] { return !client.DiscardWaiting(discarded) && !client.Connected(); }));
  EXPECT_EQ(discarded, 700u);
}

TEST_F(ConnectedPair, SendReachesThePeerWhole) {
  const Bytes block = Sequence(200000);  // more than a socket buffer takes at once
  std::future<Bytes> read = std::async(std::launch::async, [&] { return ReadUpTo(server, block.size(), 10s); });
  EXPECT_FALSE(client.Send(block));
  EXPECT_EQ(read.get(), block);
}

TEST_F(ConnectedPair, ConnectOnAnOpenConnectionIsRefused) {
  EXPECT_EQ(client.Connect("127.0.0.1", listener.LocalPort(), 2500ms), std::errc::already_connected);
  EXPECT_TRUE(client.Connected());
}

// The rest between passes ends for a wake from another thread, or when the
// time is up; wakes that come together end one rest.
TEST_F(ConnectedPair, ARestEndsWhenWokenOrWhenTheTimeIsUp) {
  SocketWait wait;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Rest(wait, 30ms).End, WaitEnd::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  wait.Wake();
  wait.Wake();
  EXPECT_EQ(client.Rest(wait, 10s).End, WaitEnd::Woken);
  EXPECT_EQ(client.Rest(wait, 0ms).End, WaitEnd::TimedOut);
  EXPECT_EQ(wait.Wait(nullptr, 0ms).End, WaitEnd::TimedOut);
  for (const bool with_socket : {true, false}) {
    SCOPED_TRACE(with_socket ? "watching the socket" : "without a socket");
    std::jthread waker([&] {
      std::this_thread::sleep_for(100ms);  // the rest has begun by then, as a rule
      wait.Wake();
    });
    const auto rest_start = std::chrono::steady_clock::now();
    EXPECT_EQ((with_socket ? client.Rest(wait, std::nullopt) : wait.Wait(nullptr, 10s)).End, WaitEnd::Woken);
    EXPECT_LT(std::chrono::steady_clock::now() - rest_start, 5s);
  }
}

// Bytes, the peer's close and a reset each end a rest that has no limit of
// its own, whether they came before the rest began or during it; the
// client's next step tells which it was.
TEST(TcpClientRest, EndsWhenTheConnectionHasSomethingToSay) {
  enum class Peer { Sends, Closes, Resets };
  for (const Peer peer : {Peer::Sends, Peer::Closes, Peer::Resets}) {
    for (const bool during_rest : {false, true}) {
      SCOPED_TRACE(std::string(peer == Peer::Sends ? "sends" : peer == Peer::Closes ? "closes" : "resets") +
                   (during_rest ? " during the rest" : " before it"));
      TcpListener listener;
      ASSERT_FALSE(listener.Listen(kLoopback, 0));
      FakeClock clock;
      BlockingTcpClient client(clock);
      ASSERT_FALSE(client.Connect("127.0.0.1", listener.LocalPort(), 2500ms));
      TcpSocket server;
      ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
      // A socket closed with bytes it never read resets the connection.
      if (peer == Peer::Resets) {
        ASSERT_FALSE(client.Send(Sequence(1)));
        ASSERT_TRUE(Eventually([&] { return server.WaitReadable(0ms, {}).ok(); }));
      }
      const auto act = [&] {
        if (peer == Peer::Sends) {
          (void)server.SendAll(Sequence(3), {});
        } else {
          server.Close();
        }
      };
      std::jthread actor;
      if (during_rest) {
        actor = std::jthread([&] {
          std::this_thread::sleep_for(100ms);  // the rest has begun by then, as a rule
          act();
        });
      } else {
        act();
      }
      SocketWait wait;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(client.Rest(wait, 10s).End, WaitEnd::SocketReady);
      EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
      if (actor.joinable()) actor.join();
      Bytes got;
      const std::error_code read = client.Receive(got, 3, {0ms, std::nullopt});
      if (peer == Peer::Sends) {
        EXPECT_FALSE(read) << read.message();
        EXPECT_EQ(got, Sequence(3));
        EXPECT_FALSE(client.Ended());
      } else {
        EXPECT_TRUE(read);
        EXPECT_TRUE(client.Ended());
        EXPECT_EQ(client.Send(Sequence(1)), TcpClientError::ClosedByPeer);
        EXPECT_FALSE(client.Disconnect());  // its side is closed already
        // A closed client rests on the wake-up and the time alone.
        EXPECT_EQ(client.Rest(wait, 20ms).End, WaitEnd::TimedOut);
      }
    }
  }
}

// A second server on a port in use fails at once; a restarted server gets
// its port back although connections of the old one linger in TIME_WAIT.
TEST(TcpListener, APortInUseIsRefusedAndAFreedOneIsTakenAgainAtOnce) {
  auto first = std::make_unique<TcpListener>();
  ASSERT_FALSE(first->Listen(kLoopback, 0));
  const std::uint16_t port = first->LocalPort();
  {
    TcpSocket client;
    ASSERT_TRUE(client.Connect(kLoopback, port, 2s, {}).ok());
    TcpSocket served;
    ASSERT_TRUE(first->Accept(served, 5s, {}).ok());
    served.Close();  // the server closes first: its side waits in TIME_WAIT
    EXPECT_TRUE(ReadUpTo(client, 1, 2s).empty());
  }
  TcpListener second;
  EXPECT_EQ(second.Listen(kLoopback, port), std::errc::address_in_use);
  first.reset();
  TcpListener restarted;
  EXPECT_FALSE(restarted.Listen(kLoopback, port));
  EXPECT_EQ(restarted.LocalPort(), port);
}

TEST(TcpClient, DestroyingCloses) {
  TcpListener listener;
  ASSERT_FALSE(listener.Listen(kLoopback, 0));
  SystemClock clock;
  TcpSocket server;
  {
    BlockingTcpClient client(clock);
    ASSERT_FALSE(client.Connect("localhost", listener.LocalPort(), 2500ms));  // a name, resolved first
    ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
  }
  EXPECT_TRUE(ReadUpTo(server, 1, 2s).empty());
}

struct ConnectCase {
  const char* name;
  std::string host;
  std::int32_t port;  // -1: a port where nobody listens
  // The client's own reason, or the condition the system's code meets, the
  // same on every system whatever the system's own code and text.
  std::error_condition expected;
};

void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ConnectFailures : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectFailures, SayWhyAtOnceAndLeaveTheClientClosed) {
  const ConnectCase& c = GetParam();
  std::uint16_t free_port = 0;
  {
    TcpListener probe;  // a port that was free a moment ago and is closed now
    ASSERT_FALSE(probe.Listen(kLoopback, 0));
    free_port = probe.LocalPort();
  }
  SystemClock clock;
  BlockingTcpClient client(clock);
  const auto start = std::chrono::steady_clock::now();
  const std::error_code error = client.Connect(c.host, c.port == -1 ? free_port : c.port, 10000ms);
  EXPECT_EQ(error, c.expected) << error.message();
  // Refused at once: no waiting for the connect time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectFailures,
    ::testing::Values(
        ConnectCase{"NoHost", "", 12543, make_error_code(TcpClientError::HostRequired).default_error_condition()},
        ConnectCase{"PortZero", "127.0.0.1", 0, make_error_code(TcpClientError::PortRequired).default_error_condition()},
        ConnectCase{"Refused", "127.0.0.1", -1, std::errc::connection_refused},
        // No route takes a stream to a group address, on any machine.
        ConnectCase{"Unreachable", "224.0.0.1", 9, std::errc::network_unreachable},
        ConnectCase{"PortOutOfRange", "127.0.0.1", 70000, std::errc::invalid_argument}),
    [](const ::testing::TestParamInfo<ConnectCase>& param) { return std::string(param.param.name); });

struct ResolveCase {
  const char* host;
  std::optional<IpAddress> expected;  // none: the name does not resolve
};

// Literals of both families are taken as they are, with or without the
// brackets that set an IPv6 address apart from a port; a name gives its
// IPv4 address, as it always did, also where it has an IPv6 one too.
TEST(ResolveAddress, TakesLiteralsOfBothFamiliesAndNamesPreferIpv4) {
  IpAddress scoped = kLoopbackV6;
  scoped.Bytes = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  scoped.ScopeId = 1;
  const ResolveCase cases[] = {
      {"127.0.0.1", kLoopback},
      {"10.1.2.3", IpAddress::V4(10, 1, 2, 3)},
      {"::1", kLoopbackV6},
      {"[::1]", kLoopbackV6},
      {"fe80::1%1", scoped},
      {"localhost", kLoopback},
      // Brackets hold an IPv6 address and nothing else.
      {"[127.0.0.1]", std::nullopt},
      {"[localhost]", std::nullopt},
      {"[::1", std::nullopt},
      {"no-such-server.invalid", std::nullopt},
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE(c.host);
    IpAddress got;
    const std::error_code error = ResolveAddress(c.host, got);
    if (c.expected) {
      EXPECT_FALSE(error) << error.message();
      EXPECT_EQ(got, *c.expected);
    } else {
      EXPECT_EQ(error, ResolveError::NameNotFound) << error.message();
    }
  }
}

TEST(TcpClient, ConnectsOverIpv6WithOrWithoutBrackets) {
  TcpListener listener;
  if (listener.Listen(kLoopbackV6, 0)) GTEST_SKIP() << "no IPv6 loopback on this machine";
  for (const std::string host : {"::1", "[::1]"}) {
    SCOPED_TRACE(host);
    FakeClock clock;
    BlockingTcpClient client(clock);
    ASSERT_FALSE(client.Connect(host, listener.LocalPort(), 2500ms));
    TcpSocket server;
    ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
    ASSERT_TRUE(server.SendAll(Sequence(3), {}).ok());
    Bytes got;
    EXPECT_FALSE(client.Receive(got, 3, {1000ms, std::nullopt}));
    EXPECT_EQ(got, Sequence(3));
    EXPECT_FALSE(client.Send(Sequence(4)));
    EXPECT_EQ(ReadUpTo(server, 4, 2s), Sequence(4));
  }
}

// Where a name has addresses of both families, the connection goes to the
// IPv4 one: a server that listens on IPv4 only keeps working.
TEST(TcpClient, ANameConnectsToItsIpv4AddressFirst) {
  TcpListener v4;
  ASSERT_FALSE(v4.Listen(kLoopback, 0));
  TcpListener v6;
  const bool with_v6 = !v6.Listen(kLoopbackV6, v4.LocalPort());
  SystemClock clock;
  BlockingTcpClient client(clock);
  ASSERT_FALSE(client.Connect("localhost", v4.LocalPort(), 2500ms));
  TcpSocket served;
  EXPECT_TRUE(v4.Accept(served, 5s, {}).ok());
  if (with_v6) {
    EXPECT_EQ(v6.Accept(served, 0ms, {}).Status, NetStatus::TimedOut);
  }
}

// The connect wait is the socket layer's own and runs in real time.
TEST(TcpClient, ConnectTimesOutWhenTheServerNeverAnswers) {
  const SilentListener listener;
  SystemClock clock;
  BlockingTcpClient client(clock);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Connect("127.0.0.1", listener.Port(), 300ms), std::errc::timed_out);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(client.Connected());
}

TEST(TcpClient, AStopRequestEndsAConnectWait) {
  const SilentListener listener;
  std::stop_source stop;
  SystemClock clock;
  BlockingTcpClient client(clock, stop.get_token());
  std::jthread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Connect("127.0.0.1", listener.Port(), 60000ms), std::errc::operation_canceled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A stop also ends a read that the clock would let wait on.
TEST(TcpClient, AStopRequestEndsAReadWait) {
  TcpListener listener;
  ASSERT_FALSE(listener.Listen(kLoopback, 0));
  std::stop_source stop;
  FakeClock clock;
  BlockingTcpClient client(clock, stop.get_token());
  ASSERT_FALSE(client.Connect("127.0.0.1", listener.LocalPort(), 2500ms));
  std::jthread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  Bytes got;
  EXPECT_EQ(client.Receive(got, 1, {1000ms, std::nullopt}), std::errc::operation_canceled);
}

}  // namespace
}  // namespace orvent
