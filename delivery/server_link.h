#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/out_queue.h"
#include "delivery/spool_link.h"
#include "delivery/tcp_client.h"
#include "delivery/window_dispatcher.h"
#include "platform/clock.h"

namespace orvent {

// Status lines of the link, exactly as the operator sees them.
inline constexpr char kStatusConnecting[] = "Соединение...";
inline constexpr char kStatusConnected[] = "Соединение установлено.";
inline constexpr char kStatusNetworkErrors[] = "Ошибки по сети - переподсоединение.";
inline constexpr char kStatusServerDisconnect[] = "Сервер дал команду на рассоединение.";
inline constexpr char kStatusDenied[] = "Доступ запрещен.";

// Where the message server is: `Address` and `Port` of section `ServerHost`,
// read again before every connection attempt.
struct ServerAddress {
  std::string Address = "127.0.0.1";
  std::int32_t Port = 12543;
};

// The serial port as the window currently holds it, for the port-state notice.
struct PortState {
  std::string Name;
  bool Open = false;
};

// The port name and open state, written on the window thread and copied as
// a whole by the link thread.
class SharedPortState {
public:
  void Set(PortState state) {
    std::lock_guard lock(mutex_);
    state_ = std::move(state);
  }
  PortState Get() const {
    std::lock_guard lock(mutex_);
    return state_;
  }

private:
  mutable std::mutex mutex_;
  PortState state_;
};

// What the link shows on the window. Both run on the window thread, through
// the dispatcher, while the link thread waits.
class LinkWindow {
public:
  virtual ~LinkWindow() = default;
  // Adds a line to `Memo1` (the window puts the date and time before it).
  virtual void ShowStatus(const std::string& text) = 0;
  // Advances `ServerActivityCounter` and redraws the server indicator.
  virtual void PulseIndicator() = 0;
};

class EventSpool;

// Values fixed when the link is made.
struct LinkSettings {
  std::int32_t FirstNumber = 4;
  std::string VersionText;  // "a.b.c.d"; empty means the build's version
  std::int32_t ConnectTimeout = 2500;
  std::int32_t ReadTimeout = 3000;
};

// What the link reaches outside itself. Every outlet may be left empty.
struct LinkOutlets {
  // `Address` and `Port` of the settings file, read at every attempt.
  std::function<ServerAddress()> ReadServerAddress;
  std::function<PortState()> CurrentPortState;
  // The spool's operations, called on the link thread.
  std::function<void()> SpoolAcknowledged;
  std::function<void()> SpoolLinkUp;
  // Writes a live record to the spool; thread-safe. Called for a live event
  // frame whose reply could not be read, and for live frames still queued
  // when the link stops.
  // `spool_file` names the replayed spool file the record came from (empty
  // for a live record); while that file exists it still holds the record.
  std::function<void(const SoobBytes&, const std::string& spool_file)> SpoolUndelivered;
};

// Points the link's spool outlets at the spool: event acknowledgements, new
// connections, and records whose delivery came to doubt.
void WireSpool(LinkOutlets& outlets, EventSpool& spool);

// The server link `cl`: its thread keeps one connection to the message
// server, sends the queued frames and keep-alives, reads one reply after
// each, and obeys the server's commands. The window reads `LinkUp` and
// `Accepted`, posts frames, and sees status lines and indicator pulses.
//
// Tests drive `Tick` directly on their own thread instead of starting the
// thread; all time-outs come from the injected clock. The clock, the
// dispatcher and the window must outlive the link.
class cl final : public SpoolLinkView {
public:
  // Link time limits, in milliseconds of the monotonic clock; each fires
  // when the time passed is greater than the limit.
  static constexpr std::int64_t kKeepAliveMs = 500;
  static constexpr std::int64_t kAcceptWaitMs = 3000;
  static constexpr std::int64_t kReconnectMs = 5000;
  static constexpr std::int32_t kMaxErrors = 20;

  cl(const Clock& clock, WindowDispatcher& dispatcher, LinkWindow& window, LinkSettings settings,
     LinkOutlets outlets);
  // Stops the thread (as Stop does).
  ~cl() override;
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Starts the thread; `Execute` is its body.
  void Start();
  // The orderly end: shuts the dispatcher down (so a thread waiting for the
  // window thread is released, also when Stop runs on that thread), ends the
  // thread (its network waits end early), closes the connection and hands
  // the live events still queued to SpoolUndelivered. Later posts are
  // refused. Called by the owner only, once or more.
  void Stop();

  // SpoolLinkView, safe from any thread.
  bool LinkUp() const override { return LinkUp_.load(); }
  bool Accepted() const override { return Accepted_.load(); }
  bool PostSpoolFrame(std::uint32_t command, std::span<const std::uint8_t> payload,
                      const std::string& spool_file) override;
  bool PostLiveEvent(const SoobBytes& record) override;
  // Any other frame (notices, the handshake); false when `OutQueue` is full.
  bool PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload);

  // One pass of the link thread.
  void Tick();

  std::int32_t ErrorCount() const { return ErrorCount_.load(); }
  bool AllowReconnect() const { return AllowReconnect_.load(); }
  const OutgoingQueue& OutQueue() const { return OutQueue_; }
  // The frame of the last reply read; link thread only.
  const std::vector<std::uint8_t>& RxBuffer() const { return RxBuffer_; }

private:
  void Execute();
  void TickLinkUp();
  void TickConnect();
  void TickRefused();
  void HandleReply(const ReplyFrame& reply);
  void OnLinkConnected();
  void OnLinkDisconnected();
  void DropConnection();
  bool SendFrameCounting(std::span<const std::uint8_t> frame);
  void ShowStatus(const std::string& text);
  void PulseIndicator();
  void HandBack(const SoobBytes& record, const std::string& spool_file);
  void SpoolQueuedEvents();
  bool Post(std::uint32_t command, std::span<const std::uint8_t> payload, std::optional<SoobBytes> record,
            std::string spool_file);
  std::int64_t ElapsedMs(std::int64_t stamp) const;
  // How long the thread may rest before the next pass has something to do.
  std::int64_t IdleBudgetMs() const;
  void Wake();

  const Clock& clock_;
  WindowDispatcher& dispatcher_;
  LinkWindow& window_;
  const LinkSettings settings_;
  const LinkOutlets outlets_;

  std::stop_source stop_;
  std::unique_ptr<TIdTCPClient> client_;
  std::atomic<bool> AllowReconnect_{true};
  bool DeniedShown = false;
  std::atomic<bool> LinkUp_{false};
  std::atomic<bool> Accepted_{false};
  OutgoingQueue OutQueue_;
  bool KeepAliveDue = false;
  bool JustConnected = false;
  bool FrameSent = false;
  std::int64_t KeepAliveStamp = 0;
  std::optional<std::int64_t> ConnectStamp;  // none before the first attempt
  std::string StatusText;
  bool SendOk = false;
  std::atomic<std::int32_t> ErrorCount_{0};
  bool ConnectFailed = false;
  std::vector<std::uint8_t> RxBuffer_;
  // The live record whose frame went out in this pass, until its reply is in.
  std::optional<SoobBytes> in_flight_event_;
  std::string in_flight_spool_file_;

  std::mutex wake_mutex_;
  std::condition_variable_any wake_cv_;
  bool wake_ = false;

  std::mutex stop_mutex_;  // orders Stop against late posts
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace orvent
