#pragma once

#include <atomic>
#include <chrono>
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

#include "common/setting_defaults.h"
#include "delivery/event_outbox.h"
#include "delivery/frame_io.h"
#include "delivery/frame_protocol.h"
#include "delivery/out_queue.h"
#include "delivery/tcp_client.h"
#include "delivery/loop_dispatcher.h"
#include "platform/clock.h"
#include "platform/socket_wait.h"

namespace orvent {

// Status lines of the link, exactly as the operator sees them.
inline constexpr char kStatusConnecting[] = "Соединение...";
inline constexpr char kStatusConnected[] = "Соединение установлено.";
inline constexpr char kStatusNetworkErrors[] = "Ошибки по сети - переподсоединение.";
inline constexpr char kStatusServerDisconnect[] = "Сервер дал команду на рассоединение.";
inline constexpr char kStatusOutOfStep[] = "Ответ сервера не разобран - переподсоединение.";
// Why an attempt failed, after "Соединение...".
inline constexpr char kStatusNameNotFound[] = "Соединение не удалось: имя сервера не найдено.";
inline constexpr char kStatusRefused[] = "Соединение не удалось: сервер отказал в соединении.";
inline constexpr char kStatusNoAnswer[] = "Соединение не удалось: сервер не ответил вовремя.";
inline constexpr char kStatusUnreachable[] = "Соединение не удалось: сервер недоступен по сети.";

inline constexpr char kStatusDenied[] = "Доступ запрещен.";
// Said after kStatusDenied: what to do, and when the link tries again.
inline constexpr char kStatusDeniedRetry[] =
    "Сервер не пускает станцию: проверьте, что она зарегистрирована на сервере. Повторная попытка через 60 с.";
// The server took the station's registration: from now on events go out.
inline constexpr char kStatusAccepted[] = "Сервер принял станцию, события передаются.";
// The server did not take the registration within the acceptance wait.
inline constexpr char kStatusNotAccepted[] = "Сервер не принял станцию вовремя - переподсоединение.";
// A connection ended without any other line saying why (the server closed
// or reset it, a send failed, the server ordered it dropped).
inline constexpr char kStatusLost[] = "Связь с сервером потеряна - переподсоединение.";
// An event frame has had no acknowledgement for longer than the reply
// deadline (another answer, or none in time); said once until one comes.
inline constexpr char kStatusNotAcknowledging[] =
    "Сервер не подтверждает события - они остаются в очереди и будут отправлены снова.";
// The first acknowledgement after kStatusNotAcknowledging.
inline constexpr char kStatusAcknowledgingAgain[] = "Сервер снова подтверждает события.";

// Where the message server is: `Address` and `Port` of section `ServerHost`,
// read again before every connection attempt.
struct ServerAddress {
  std::string Address = kDefaultServerAddress;
  std::int32_t Port = kDefaultServerPort;
};

// The status line for an attempt that failed with this error of the client
// (tcp_client.h) or of the system: the reason, then the address tried.
std::string ConnectFailureStatus(const std::error_code& error, const ServerAddress& address);

// The serial port as the station currently holds it, for the port-state notice.
struct PortState {
  std::string Name;
  bool Open = false;
};

// The port name and open state, written on the main thread and copied as
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

// What the link tells of, each on a status line of its own. The kind lets a
// listener treat lines as news of one sort: a failure that repeats, its end.
enum class LinkNews {
  Connecting,          // an attempt begins
  Connected,           // and succeeded
  ConnectFailed,       // and failed, for the reason given with it
  Accepted,            // the server took the station's registration
  NotAccepted,         // it did not within the acceptance wait
  Lost,                // a connection ended (closed, reset, a failed send), and nothing else said why
  NetworkErrors,       // too many replies in a row did not come in time: the link starts afresh
  ServerDisconnect,    // the server ordered the link off
  OutOfStep,           // the server's replies can no longer be placed
  Denied,              // the server refused the station
  DeniedRetry,         // what to do about it; the link waits kDeniedRetryMs
  NotAcknowledging,    // events sent are not acknowledged; they stay and go again
  AcknowledgingAgain,  // the first acknowledgement after NotAcknowledging
  Unforeseen,          // a pass failed in a way no part of it handles
};

// One status line of the link: what it tells of, and its text, exactly as
// the operator reads it (the face puts the date and time before it).
struct LinkReport {
  LinkNews News = LinkNews::Unforeseen;
  std::string Text;
};

// Who hears what the link reports. Both run on the main thread, posted
// through the dispatcher; the link thread does not wait for them.
class LinkObserver {
public:
  virtual ~LinkObserver() = default;
  // A status line.
  virtual void Report(const LinkReport& report) = 0;
  // A sign of life of the link, or a change of its state.
  virtual void PulseIndicator() = 0;
};

// Values fixed when the link is made.
struct LinkSettings {
  std::int32_t FirstNumber = kDefaultFirstNumber;
  std::string VersionText;  // "a.b.c.d"; empty means the build's version
  std::int32_t ConnectTimeout = 2500;
  // A whole reply must be in within this (tests shorten it).
  std::chrono::milliseconds ReplyDeadline = kReplyDeadline;
};

// What the link reaches outside itself. Every outlet may be left empty.
struct LinkOutlets {
  // `Address` and `Port` of the settings file, read at every attempt.
  std::function<ServerAddress()> ReadServerAddress;
  std::function<PortState()> CurrentPortState;
  // Where the event records wait: the spool. Without it no event goes out.
  EventOutbox* Outbox = nullptr;
};

// The server link: its thread keeps one connection to the message server,
// sends the queued frames, the events of its outbox and keep-alives, reads
// one reply after each, and obeys the server's commands. The station reads
// `LinkUp` and `Accepted`, posts frames, and hears status lines and signs of
// life through its observer.
//
// A connection that the server closes or resets is given up the moment a
// send, a read or the rest between passes meets its end: the rest watches
// the socket too while the link keeps a connection.
//
// Replies carry no reference to the frame they answer; only their place on
// the stream ties them to it. So at most one frame is ever unanswered: when
// its reply does not come within the wait, nothing more is sent on that
// connection until it does (a late reply then answers the right frame), and
// a stream that has lost its place (half a reply, a bad prefix, bytes that
// were there before the frame went) is closed.
//
// Tests drive `Tick` directly on their own thread instead of starting the
// thread. Every time limit of the link and of its reply reads runs on the
// injected clock (only the connect time-out is the socket layer's, in real
// time); a test that moves a fake clock under a running thread calls Wake,
// as Execute explains. The clock, the dispatcher, the observer and the
// outbox must outlive the link.
class ServerLink final {
public:
  // Link time limits, in milliseconds of the monotonic clock; each fires
  // when the time passed is greater than the limit.
  static constexpr std::int64_t kKeepAliveMs = 500;
  static constexpr std::int64_t kAcceptWaitMs = 3000;
  static constexpr std::int64_t kReconnectMs = 5000;
  // After the server denied the station, the link tries again after this.
  static constexpr std::int64_t kDeniedRetryMs = 60000;
  static constexpr std::int32_t kMaxErrors = 20;

  ServerLink(const Clock& clock, LoopDispatcher& dispatcher, LinkObserver& observer, LinkSettings settings,
     LinkOutlets outlets);
  // Stops the thread (as Stop does).
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Starts the thread; `Execute` is its body.
  void Start();
  // The orderly end: shuts the dispatcher down (so a thread waiting for the
  // main thread is released, also when Stop runs on that thread), ends the
  // thread (its network waits end early) and closes the connection; an event
  // whose answer was still awaited goes back to the outbox. Later posts are
  // refused. Called by the owner only, once or more.
  void Stop();

  // Safe from any thread.
  bool LinkUp() const { return link_up_.load(); }
  bool Accepted() const { return accepted_.load(); }
  // Whether the server has left an event frame unacknowledged for longer
  // than the reply deadline, with no acknowledgement since (told as
  // NotAcknowledging). Cleared by the next acknowledgement, or silently
  // once no record waits any more; a connection that ends leaves it.
  bool EventsUnacknowledged() const { return events_unacknowledged_.load(); }
  // Whether a connection attempt is under way.
  bool Connecting() const { return connecting_.load(); }
  // Queues a frame that is not an event (notices, the handshake); false when
  // `OutQueue` is full or the link has stopped.
  bool PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload);
  // Something new waits, or the clock has moved: the thread looks at once.
  void Wake();

  // A watchdog's question whether the thread still comes round: returns the
  // question's number and wakes the thread, which answers at the start of
  // its next pass. A pass may block for a connect time-out or a reply
  // deadline; a thread stuck for good answers nothing more. Any thread.
  std::uint64_t AskAlive() {
    const std::uint64_t question = ++alive_asked_;
    Wake();
    return question;
  }
  // The number of the last question the thread answered.
  std::uint64_t AliveAnswered() const { return alive_answered_.load(); }

  // One pass of the link thread.
  void Tick();

  std::int32_t ErrorCount() const { return error_count_.load(); }
  bool AllowReconnect() const { return allow_reconnect_.load(); }
  const OutgoingQueue& OutQueue() const { return out_queue_; }
  // The frame of the last reply read; link thread only.
  const std::vector<std::uint8_t>& RxBuffer() const { return rx_buffer_; }

private:
  // A frame that went out and whose reply has not been read yet.
  struct AwaitedReply {
    std::optional<EventId> Event;  // the record it carried, for an event frame
  };

  void Execute();
  // The thread's rest between passes (see Execute).
  void Rest();
  void TickLinkUp();
  void TickConnect();
  void TickRefused();
  // Sends the next frame; false when there was nothing to send or the send failed.
  bool SendNext();
  void ReadAwaitedReply();
  void HandleReply(const ReplyFrame& reply, const AwaitedReply& answered);
  void OnLinkConnected();
  void OnLinkDisconnected();
  // Closes the connection; tells of it when it was open.
  void CloseConnection();
  void DropConnection();
  // The stream no longer tells which frame a reply answers: closed at once.
  void DropOutOfStep();
  // The connection ended under the link (closed or reset by the server, a
  // send that failed): told at once; the next attempt follows as usual.
  void ConnectionLost();
  // Tells when the server leaves events unacknowledged, and when it
  // acknowledges again; once per pass.
  void WatchAcknowledgements();
  void EventAcknowledgedByServer();
  // The connection is given up: an awaited event goes back to the outbox.
  void ForgetAwaitedReply();
  void CountError();
  // The one place where what happened becomes the operator's line:
  // `what` is the text of a failed attempt (ConnectFailureStatus) or of an
  // unforeseen failure.
  static std::string StatusLine(LinkNews news, const std::string& what = {});
  void Tell(LinkNews news, const std::string& what = {});
  // Tells why a connection ended; the end needs no other line then.
  void TellEnd(LinkNews news);
  // Tells of a pass that failed unforeseen, if the observer can take it.
  void ReportFailure(const std::string& what);
  void PulseIndicator();
  std::int64_t ElapsedMs(std::int64_t stamp) const;
  // How long the thread may rest before the next pass has something to do;
  // nullopt: until it is woken.
  std::optional<std::int64_t> IdleBudgetMs() const;

  const Clock& clock_;
  LoopDispatcher& dispatcher_;
  LinkObserver& observer_;
  const LinkSettings settings_;
  const LinkOutlets outlets_;

  std::stop_source stop_;
  std::unique_ptr<BlockingTcpClient> client_;
  std::atomic<bool> allow_reconnect_{true};
  bool denied_shown_ = false;
  std::int64_t denied_stamp_ = 0;
  // Whether a connection is up that no line has yet said the end of.
  bool end_untold_ = false;
  std::atomic<bool> link_up_{false};
  std::atomic<bool> connecting_{false};
  std::atomic<bool> accepted_{false};
  OutgoingQueue out_queue_;
  bool just_connected_ = false;
  std::int64_t keep_alive_stamp_ = 0;
  std::optional<std::int64_t> connect_stamp_;  // none before the first attempt
  std::atomic<std::int32_t> error_count_{0};
  std::vector<std::uint8_t> rx_buffer_;
  std::optional<AwaitedReply> awaited_;
  // When the oldest event frame sent since the last acknowledgement went
  // out; none while every event sent was acknowledged.
  std::optional<std::int64_t> unacknowledged_since_;
  std::atomic<bool> events_unacknowledged_{false};
  bool rest_failure_told_ = false;

  // Ends the thread's rest: Wake, PostFrame and Stop raise it. Stop does
  // not rely on its stop token to end the rest, which a wait on a
  // condition variable can miss for good in the Windows build's library.
  SocketWait rest_;

  // Lock order: stop_mutex_ before the queue's own.
  std::mutex stop_mutex_;  // orders Stop against late posts
  bool stopped_ = false;
  std::thread thread_;

  // AskAlive's questions, and the last one the link thread answered.
  std::atomic<std::uint64_t> alive_asked_{0};
  std::atomic<std::uint64_t> alive_answered_{0};
};

}  // namespace orvent
