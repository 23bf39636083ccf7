#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "delivery/tcp_client.h"
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

// A client connected to a listener on loopback, with the server's end of
// the connection in hand.
class ConnectedPair : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(listener.Listen(kLoopback, 0));
    client.Host = "127.0.0.1";
    client.Port = listener.LocalPort();
    client.ConnectTimeout = 2500;
    client.ReadTimeout = 3000;
    client.OnDisconnected = [this](TIdTCPClient&) { ++disconnected; };
    client.Connect();
    ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
    client.SetConnectionReadTimeout(1000);
  }
  void ServerSend(const Bytes& bytes) { ASSERT_TRUE(server.SendAll(bytes, {}).ok()); }

  TcpListener listener;
  TcpSocket server;
  TIdTCPClient client;
  int disconnected = 0;
};

TEST_F(ConnectedPair, ReceiveCompletesFromPiecesArrivingWithGaps) {
  const Bytes sent = Sequence(21);
  std::jthread writer([&] {
    for (std::size_t at = 0; at < sent.size(); at += 7) {
      std::this_thread::sleep_for(150ms);  // a gap shorter than the read time-out
      (void)server.SendAll(std::span(sent).subspan(at, 7), {});
    }
  });
  Bytes got;
  client.ReceiveBytes(got, 21);
  EXPECT_EQ(got, sent);
}

TEST_F(ConnectedPair, ExtraBytesWaitInTheBufferForTheNextCall) {
  const Bytes sent = Sequence(30);
  ServerSend(sent);
  Bytes got;
  client.ReceiveBytes(got, 21);
  ASSERT_EQ(got.size(), 21u);
  // The rest is already buffered: no wait at all is needed for it.
  client.SetConnectionReadTimeout(0);
  client.ReceiveBytes(got, 9);
  EXPECT_EQ(got, sent);
}

TEST_F(ConnectedPair, SilenceAfterSomeBytesKeepsThemAndTimesOut) {
  ServerSend(Sequence(10));
  client.SetConnectionReadTimeout(200);
  Bytes got;
  EXPECT_THROW(client.ReceiveBytes(got, 21), EIdReadTimeout);
  EXPECT_EQ(got, Sequence(10));
  EXPECT_TRUE(client.Connected());  // a time-out leaves the connection open
}

TEST_F(ConnectedPair, PeerCloseEndsTheReadAndLaterSendsFail) {
  ServerSend(Sequence(5));
  std::jthread closer([&] {
    std::this_thread::sleep_for(100ms);
    server.Close();
  });
  Bytes got;
  // Found while waiting (raises) or at the check before a wait (returns short).
  try {
    client.ReceiveBytes(got, 21);
  } catch (const EIdConnClosedGracefully&) {
  }
  EXPECT_EQ(got, Sequence(5));
  closer.join();
  Bytes more;
  client.ReceiveBytes(more, 3);  // closed: returns at once with nothing
  EXPECT_TRUE(more.empty());
  EXPECT_FALSE(client.Connected());
  EXPECT_THROW(client.SendBytes(Sequence(3)), EIdConnClosedGracefully);
  client.Disconnect();  // the close was found already: not reported again
  EXPECT_EQ(disconnected, 0);
}

TEST_F(ConnectedPair, DisconnectReportsOnceAndTheServerSeesTheClose) {
  client.Disconnect();
  client.Disconnect();
  EXPECT_EQ(disconnected, 1);
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(ReadUpTo(server, 1, 2s).empty());
  EXPECT_THROW(client.SendBytes(Sequence(1)), EIdConnClosedGracefully);
}

TEST_F(ConnectedPair, SendReachesThePeerWhole) {
  const Bytes block = Sequence(200000);  // more than a socket buffer takes at once
  std::future<Bytes> read = std::async(std::launch::async, [&] { return ReadUpTo(server, block.size(), 10s); });
  client.SendBytes(block);
  EXPECT_EQ(read.get(), block);
}

TEST_F(ConnectedPair, ConnectOnAnOpenConnectionIsRefused) {
  EXPECT_THROW(client.Connect(), EIdAlreadyConnected);
  EXPECT_TRUE(client.Connected());
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

TEST(TcpClient, DestroyingClosesWithoutTheDisconnectHandler) {
  TcpListener listener;
  ASSERT_FALSE(listener.Listen(kLoopback, 0));
  int disconnected = 0;
  TcpSocket server;
  {
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = listener.LocalPort();
    client.ConnectTimeout = 2500;
    client.OnDisconnected = [&](TIdTCPClient&) { ++disconnected; };
    client.Connect();
    ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
  }
  EXPECT_EQ(disconnected, 0);
  EXPECT_TRUE(ReadUpTo(server, 1, 2s).empty());
}

// The kind of a client failure, for tables of expected outcomes.
std::string KindOf(const EIdException& e) {
  if (dynamic_cast<const EIdHostRequired*>(&e)) return "EIdHostRequired";
  if (dynamic_cast<const EIdPortRequired*>(&e)) return "EIdPortRequired";
  if (dynamic_cast<const EIdSocketError*>(&e)) return "EIdSocketError";
  return "other";
}

struct ConnectCase {
  const char* name;
  std::string host;
  std::int32_t port;  // -1: a port where nobody listens
  std::string kind;
  // For a socket error: the condition its code meets, the same on every
  // system whatever the system's own code and text.
  std::errc condition{};
};

void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ConnectFailures : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectFailures, RaiseTheirKindAtOnceAndLeaveTheClientClosed) {
  const ConnectCase& c = GetParam();
  std::uint16_t free_port = 0;
  {
    TcpListener probe;  // a port that was free a moment ago and is closed now
    ASSERT_FALSE(probe.Listen(kLoopback, 0));
    free_port = probe.LocalPort();
  }
  TIdTCPClient client;
  client.Host = c.host;
  client.Port = c.port == -1 ? free_port : c.port;
  client.ConnectTimeout = 10000;
  bool connected_handler = false;
  client.OnConnected = [&](TIdTCPClient&) { connected_handler = true; };
  const auto start = std::chrono::steady_clock::now();
  try {
    client.Connect();
    ADD_FAILURE() << "Connect succeeded";
  } catch (const EIdException& e) {
    EXPECT_EQ(KindOf(e), c.kind) << e.what();
    if (const auto* s = dynamic_cast<const EIdSocketError*>(&e)) {
      EXPECT_EQ(s->Code(), c.condition) << s->Code().message();
    }
  }
  // Refused at once: no waiting for the connect time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(connected_handler);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectFailures,
    ::testing::Values(
        ConnectCase{"NoHost", "", 12543, "EIdHostRequired"},
        ConnectCase{"PortZero", "127.0.0.1", 0, "EIdPortRequired"},
        ConnectCase{"Refused", "127.0.0.1", -1, "EIdSocketError", std::errc::connection_refused},
        // No route takes a stream to a group address, on any machine.
        ConnectCase{"Unreachable", "224.0.0.1", 9, "EIdSocketError", std::errc::network_unreachable},
        ConnectCase{"PortOutOfRange", "127.0.0.1", 70000, "EIdSocketError", std::errc::invalid_argument}),
    [](const ::testing::TestParamInfo<ConnectCase>& param) { return std::string(param.param.name); });

TEST(TcpClient, ConnectTimesOutWhenTheServerNeverAnswers) {
  const SilentListener listener;
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = listener.Port();
  client.ConnectTimeout = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Connect(), EIdConnectTimeout);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(client.Connected());
}

TEST(TcpClient, AStopRequestEndsAConnectWait) {
  const SilentListener listener;
  std::stop_source stop;
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = listener.Port();
  client.ConnectTimeout = 60000;
  client.Interrupt = stop.get_token();
  std::jthread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  const auto start = std::chrono::steady_clock::now();
  try {
    client.Connect();
    ADD_FAILURE() << "Connect succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Code(), std::errc::operation_canceled);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(TcpClient, ARaisingConnectedHandlerFailsTheConnectAndCloses) {
  TcpListener listener;
  ASSERT_FALSE(listener.Listen(kLoopback, 0));
  TIdTCPClient client;
  client.Host = "localhost";  // a name, resolved before the connect
  client.Port = listener.LocalPort();
  client.ConnectTimeout = 2500;
  client.OnConnected = [](TIdTCPClient&) { throw EIdReadTimeout(); };
  EXPECT_THROW(client.Connect(), EIdReadTimeout);
  EXPECT_FALSE(client.Connected());
  TcpSocket server;
  ASSERT_TRUE(listener.Accept(server, 5s, {}).ok());
  EXPECT_TRUE(ReadUpTo(server, 1, 2s).empty());  // closed by the client
}

}  // namespace
}  // namespace orvent
