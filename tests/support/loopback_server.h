#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <vector>

#include "delivery/frame_protocol.h"
#include "platform/tcp_socket.h"

namespace orvent::test {

using namespace std::chrono_literals;

// Reads exactly `n` bytes, or fewer when the peer closes or `timeout` passes.
inline std::vector<std::uint8_t> ReadUpTo(TcpSocket& socket, std::size_t n, std::chrono::milliseconds timeout,
                                          const std::stop_token& stop = {}) {
  std::vector<std::uint8_t> out(n);
  std::size_t have = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (have < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms || !socket.WaitReadable(left, stop).ok()) break;
    const NetResult got = socket.Receive(std::span(out).subspan(have));
    if (got.Status != NetStatus::Ok) break;
    have += got.Bytes;
  }
  out.resize(have);
  return out;
}

// A listener on 127.0.0.1 that never answers a connect: its accept queue is
// full and nobody takes from it, so further connection requests are dropped.
class SilentListener {
public:
  SilentListener() {
    if (listener_.Listen(kLoopback, 0, 0)) throw std::runtime_error("cannot listen on loopback");
    for (int i = 0; i < 3; ++i) {
      TcpSocket s;
      (void)s.Connect(kLoopback, listener_.LocalPort(), 50ms, {});
      fillers_.push_back(std::move(s));
    }
  }

  std::uint16_t Port() const { return listener_.LocalPort(); }

private:
  TcpListener listener_;
  std::vector<TcpSocket> fillers_;
};

// One message as a peer sends it: the block prefix, then the frame.
inline std::vector<std::uint8_t> Block(std::uint32_t command, std::span<const std::uint8_t> payload = {},
                                       std::uint64_t sequence = 0) {
  return BuildBlock(BuildFrame(command, payload, sequence));
}

// A message the test server received, with its raw bytes.
struct ReceivedMessage {
  int Connection = 0;  // 1 for the first connection served
  std::vector<std::uint8_t> Raw;  // prefix and frame
  std::uint32_t Command = 0;
  std::uint64_t Sequence = 0;
  std::vector<std::uint8_t> Payload;
};

// What the server does after a message: send these bytes (nothing = stay
// silent), then maybe close the connection.
struct ServerAction {
  std::vector<std::uint8_t> Send;
  bool Close = false;
};

// A message server on 127.0.0.1, any free port, run by a script on its own
// thread; serves one connection at a time. Misbehaves as the script says.
class ScriptedServer {
public:
  using Script = std::function<ServerAction(const ReceivedMessage&)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    if (listener_.Listen(kLoopback, 0)) throw std::runtime_error("cannot listen on loopback");
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  ~ScriptedServer() {
    thread_.request_stop();
    thread_.join();
  }

  std::uint16_t Port() const { return listener_.LocalPort(); }

  std::vector<ReceivedMessage> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::uint32_t> Commands() const {
    std::vector<std::uint32_t> out;
    for (const auto& m : Messages()) out.push_back(m.Command);
    return out;
  }
  int ConnectionsSeen() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  int ConnectionsEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  // Ends the connection being served (the server closes it), as a server
  // that goes away between two frames would.
  void EndConnection() {
    std::lock_guard lock(mutex_);
    if (connection_stop_) connection_stop_->request_stop();
  }
  // Waits (bounded) until the predicate over the server's state holds.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      lock.unlock();
      const bool ok = done();
      lock.lock();
      return ok;
    });
  }

private:
  void Run(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      TcpSocket connection;
      if (!listener_.Accept(connection, 100ms, stop).ok()) continue;
      int number = 0;
      std::stop_source connection_stop;
      const std::stop_callback server_stop(stop, [&connection_stop] { connection_stop.request_stop(); });
      {
        std::lock_guard lock(mutex_);
        number = ++connections_;
        connection_stop_ = &connection_stop;
      }
      changed_.notify_all();
      Serve(connection, number, connection_stop.get_token());
      connection.Close();
      {
        std::lock_guard lock(mutex_);
        connection_stop_ = nullptr;
        ++ended_;
      }
      changed_.notify_all();
    }
  }

  void Serve(TcpSocket& connection, int number, const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      std::vector<std::uint8_t> prefix = ReadUpTo(connection, block_prefix::kSize, 60s, stop);
      if (prefix.size() < block_prefix::kSize) return;
      const auto parsed = ParsePrefix(std::span<const std::uint8_t, block_prefix::kSize>(prefix.data(), 21));
      if (!parsed || parsed->Length < 0 || parsed->Length > kMaxReplyLength) return;
      std::vector<std::uint8_t> frame = ReadUpTo(connection, static_cast<std::size_t>(parsed->Length), 5s, stop);
      if (frame.size() < static_cast<std::size_t>(parsed->Length)) return;
      ReceivedMessage message;
      message.Connection = number;
      message.Raw = prefix;
      message.Raw.insert(message.Raw.end(), frame.begin(), frame.end());
      if (const auto reply = InterpretReply(frame)) {
        message.Command = reply->Header.Command;
        message.Sequence = reply->Header.Sequence;
        message.Payload.assign(frame.begin() + 18, frame.end());
      }
      const ServerAction action = script_(message);
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
      }
      changed_.notify_all();
      if (!action.Send.empty() && !connection.SendAll(action.Send, stop).ok()) return;
      if (action.Close) return;
    }
  }

  Script script_;
  TcpListener listener_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ReceivedMessage> messages_;
  int connections_ = 0;
  int ended_ = 0;
  std::stop_source* connection_stop_ = nullptr;  // of the connection being served
  std::jthread thread_;
};

// The replies of a server that behaves: accepts the registration,
// acknowledges events, and answers everything else with a keep-alive.
inline ServerAction Behaving(const ReceivedMessage& m) {
  if (m.Command == cmd_register) return {Block(cmd_accepted)};
  if (m.Command == cmd_event) return {Block(cmd_event_ack)};
  return {Block(cmd_keepalive)};
}

}  // namespace orvent::test
