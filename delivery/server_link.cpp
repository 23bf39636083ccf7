#include "delivery/server_link.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>
#include <utility>

#include "delivery/commands.h"
#include "common/program_version.h"

namespace orvent {
namespace {

// Shown with the failure's own text when a pass fails in a way no part of
// it handles; the next pass starts afresh.
constexpr char kStatusLinkFailure[] = "Сбой связи с сервером: ";
constexpr std::string_view kStatusConnectFailure = "Соединение не удалось: ";
// A failure the system gave no reason for needs no second "не удалось".
constexpr char kStatusConnectFailed[] = "Соединение не удалось.";

}  // namespace

namespace {

std::string ConnectFailureReason(const std::error_code& error) {
  if (error == TcpClientError::ConnectFailed) return kStatusConnectFailed;
  // The client's own reasons (no host, no port) are told in its words.
  if (error.category() == TcpClientCategory()) return std::string(kStatusConnectFailure) + error.message();
  if (error.category() == ResolveCategory()) return kStatusNameNotFound;
  if (error == std::errc::connection_refused) return kStatusRefused;
  if (error == std::errc::timed_out) return kStatusNoAnswer;
  if (error == std::errc::network_unreachable || error == std::errc::host_unreachable) return kStatusUnreachable;
  return std::string(kStatusConnectFailure) + "ошибка сети " + std::to_string(error.value()) + ".";
}

}  // namespace

std::string ConnectFailureStatus(const std::error_code& error, const ServerAddress& address) {
  std::string line = ConnectFailureReason(error);
  if (!line.empty() && line.back() != '.') line += '.';
  // An IPv6 address in brackets, so that the port stands apart from it.
  const bool bare_v6 = address.Address.find(':') != std::string::npos && !address.Address.starts_with('[');
  const std::string host = bare_v6 ? "[" + address.Address + "]" : address.Address;
  return line + " Сервер " + host + ":" + std::to_string(address.Port) + ".";
}

ServerLink::ServerLink(const Clock& clock, LoopDispatcher& dispatcher, LinkObserver& observer, LinkSettings settings,
       LinkOutlets outlets)
    : clock_(clock),
      dispatcher_(dispatcher),
      observer_(observer),
      settings_(std::move(settings)),
      outlets_(std::move(outlets)),
      keep_alive_stamp_(clock.MonotonicMs()) {}

ServerLink::~ServerLink() { Stop(); }

void ServerLink::Start() {
  if (thread_.joinable() || stop_.stop_requested()) return;
  thread_ = std::thread([this] { Execute(); });
}

void ServerLink::Stop() {
  stop_.request_stop();
  // The thread may be waiting for the main thread, which may be this one.
  dispatcher_.BeginShutdown();
  Wake();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(stop_mutex_);
    stopped_ = true;
  }
  // Left to do only when no thread ran the passes (tests drive Tick).
  ForgetAwaitedReply();
  client_.reset();
}

bool ServerLink::PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  bool pushed = false;
  {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return false;
    pushed = out_queue_.PostFrame(command, payload);
  }
  Wake();
  return pushed;
}

void ServerLink::Wake() { rest_.Wake(); }

void ServerLink::Execute() {
  keep_alive_stamp_ = clock_.MonotonicMs();
  const std::stop_token stop = stop_.get_token();
  while (!stop.stop_requested()) {
    alive_answered_ = alive_asked_.load();
    try {
      Tick();
    } catch (const std::exception& e) {
      // Network failures come back as results and are handled where they
      // happen; this is what none of them foresaw (an outlet or the
      // observer that raised, memory).
      ReportFailure(e.what());
    }
    Rest();
  }
  ForgetAwaitedReply();
  CloseConnection();
  client_.reset();
}

void ServerLink::Rest() {
  // Asleep until the next deadline, until something new wakes it, or, while
  // the link keeps a connection, until the connection has something to
  // say: bytes that answer nothing, or its end. The next pass handles
  // either at once, so a server that goes away between two keep-alives is
  // noticed when it goes. The rest is measured on the injected clock but
  // slept in real time, which costs no wake-up while nothing is due. A
  // clock that moves by itself needs no more; a test that moves a fake
  // clock calls Wake after it, as a poster of a new frame would, and the
  // next pass reads the clock again. Waits on the socket inside a pass
  // cannot be reached by Wake: the client reads the clock again in slices
  // there instead.
  const std::optional<std::int64_t> budget = IdleBudgetMs();
  const auto timeout = budget ? std::optional(std::chrono::milliseconds(*budget)) : std::nullopt;
  const WaitResult rested = link_up_ && client_ ? client_->Rest(rest_, timeout) : rest_.Wait(nullptr, timeout);
  if (rested.End != WaitEnd::Failed) {
    rest_failure_told_ = false;
    return;
  }
  // The system's wait failed, which nothing here foresees. Told once; until
  // it works again the thread rests by the clock alone rather than spin.
  if (!std::exchange(rest_failure_told_, true)) ReportFailure(rested.Error.message());
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min(budget.value_or(kKeepAliveMs), kKeepAliveMs)));
}

std::optional<std::int64_t> ServerLink::IdleBudgetMs() const {
  const std::int64_t now = clock_.MonotonicMs();
  std::optional<std::int64_t> budget;
  if (link_up_) {
    if (awaited_ || just_connected_ || !out_queue_.Empty()) return 0;
    if (accepted_) {
      budget = keep_alive_stamp_ + kKeepAliveMs + 1 - now;
      if (const auto next = outlets_.Outbox ? outlets_.Outbox->MsUntilNextEvent() : std::nullopt) {
        budget = std::min(*budget, *next);
      }
      // The moment an unacknowledged event is to be told of.
      if (unacknowledged_since_ && !events_unacknowledged_) {
        budget = std::min(*budget, *unacknowledged_since_ + settings_.ReplyDeadline.count() + 1 - now);
      }
    } else {
      budget = connect_stamp_.value_or(0) + kAcceptWaitMs + 1 - now;
    }
  } else if (end_untold_) {
    return 0;  // the end of the connection is told at once
  } else if (allow_reconnect_) {
    if (!connect_stamp_) return 0;
    budget = *connect_stamp_ + kReconnectMs + 1 - now;
  } else {
    if (!denied_shown_) return 0;
    budget = denied_stamp_ + kDeniedRetryMs + 1 - now;
  }
  return std::max<std::int64_t>(*budget, 0);
}

std::int64_t ServerLink::ElapsedMs(std::int64_t stamp) const { return clock_.MonotonicMs() - stamp; }

void ServerLink::CountError() { ++error_count_; }

void ServerLink::Tick() {
  if (link_up_) {
    TickLinkUp();
  } else {
    // A connection went down, and no line has said why.
    if (std::exchange(end_untold_, false)) Tell(LinkNews::Lost);
    // Whatever went down with the connection, no answer comes any more.
    ForgetAwaitedReply();
    if (allow_reconnect_) {
      TickConnect();
    } else {
      TickRefused();
    }
  }
  WatchAcknowledgements();
}

void ServerLink::TickLinkUp() {
  if (error_count_ > kMaxErrors) {
    error_count_ = 0;
    link_up_ = false;
    ForgetAwaitedReply();
    TellEnd(LinkNews::NetworkErrors);
    return;  // the next attempt closes the connection
  }
  if (awaited_) {
    // Only the registration's answer can bring the acceptance; while it is
    // owed, the acceptance wait runs on as when nothing is left to send.
    if (!accepted_ && ElapsedMs(connect_stamp_.value_or(0)) > kAcceptWaitMs) {
      link_up_ = false;
      ForgetAwaitedReply();
      TellEnd(LinkNews::NotAccepted);
      return;
    }
  } else if (!SendNext()) {
    // A new connection owes one reply even when nothing could be sent.
    if (!just_connected_ || !link_up_) return;
    awaited_ = AwaitedReply{};
  }
  just_connected_ = false;
  ReadAwaitedReply();
}

bool ServerLink::SendNext() {
  if (!client_) {
    ConnectionLost();
    return false;
  }
  // No reply is owed now, so a byte already here answers no frame of ours (a
  // server that answers without reading, or twice): the reply to the next
  // frame could not be told from it. The stream starts afresh. A close or a
  // reset found here, also behind such bytes, ends the connection.
  std::size_t discarded = 0;
  const std::error_code unread = client_->DiscardWaiting(discarded);
  if (client_->Ended()) {
    ConnectionLost();
    return false;
  }
  if (unread || discarded > 0) {
    DropOutOfStep();
    return false;
  }
  stru_arb frame;
  const bool queued = out_queue_.QueuePeek(frame);
  bool event = false;
  if (!queued) {
    if (!accepted_) {
      if (ElapsedMs(connect_stamp_.value_or(0)) > kAcceptWaitMs) {
        link_up_ = false;  // the next attempt closes it
        TellEnd(LinkNews::NotAccepted);
      }
      return false;
    }
    if (auto next = outlets_.Outbox ? outlets_.Outbox->TakeNextEvent() : std::nullopt) {
      // From here on the record is in flight: every way out gives it back.
      awaited_ = AwaitedReply{next->Id};
      frame = out_queue_.NextFrame(cmd_event, next->Record);
      event = true;
    } else if (ElapsedMs(keep_alive_stamp_) > kKeepAliveMs) {
      keep_alive_stamp_ = clock_.MonotonicMs();
      frame = KeepAliveFrame();
    } else {
      return false;
    }
  }
  if (!awaited_) awaited_ = AwaitedReply{};
  if (SendFrame(*client_, frame)) {
    // Part of the frame may have gone out, so the stream cannot be trusted
    // whatever the reason; as a rule the server has gone. A frame of the
    // queue stays first in it; an event goes back to the outbox.
    ConnectionLost();
    return false;
  }
  if (queued) out_queue_.QueuePop();
  if (event && !unacknowledged_since_) unacknowledged_since_ = clock_.MonotonicMs();
  return true;
}

void ServerLink::ReadAwaitedReply() {
  const ReplyRead read = client_ ? ReadReply(*client_, rx_buffer_, settings_.ReplyDeadline) : ReplyRead::Closed;
  // Stopping ends a read too; the end of the thread closes the connection.
  if (read != ReplyRead::Complete && stop_.stop_requested()) return;
  switch (read) {
    case ReplyRead::Complete:
      break;
    case ReplyRead::NothingYet:
      // The reply is still owed, and the next message will be it.
      CountError();
      return;
    case ReplyRead::Broken:
      CountError();
      DropOutOfStep();
      return;
    case ReplyRead::Closed:
      ConnectionLost();
      return;
  }
  const AwaitedReply answered = *std::exchange(awaited_, std::nullopt);
  const std::optional<ReplyFrame> reply = InterpretReply(rx_buffer_);
  if (!reply) {
    if (answered.Event && outlets_.Outbox) outlets_.Outbox->EventUndelivered(*answered.Event);
    // A prefix that announced no frame counts; markers that do not match
    // neither count nor reset.
    if (rx_buffer_.empty()) CountError();
    return;
  }
  HandleReply(*reply, answered);
}

void ServerLink::HandleReply(const ReplyFrame& reply, const AwaitedReply& answered) {
  // The record is settled first: nothing after this may leave it in flight.
  if (answered.Event && outlets_.Outbox) {
    if (reply.Header.Command == cmd_event_ack) {
      outlets_.Outbox->EventAcknowledged(*answered.Event);
    } else {
      outlets_.Outbox->EventUndelivered(*answered.Event);
    }
  }
  if (answered.Event && reply.Header.Command == cmd_event_ack) EventAcknowledgedByServer();
  error_count_ = 0;
  PulseIndicator();
  switch (reply.Header.Command) {
    case cmd_accepted:
      if (!accepted_.exchange(true)) Tell(LinkNews::Accepted);
      break;
    case cmd_query:
      PostFrame(cmd_query_answer, {});
      break;
    case cmd_denied:
      link_up_ = false;
      allow_reconnect_ = false;
      denied_shown_ = false;
      denied_stamp_ = clock_.MonotonicMs();
      end_untold_ = false;  // the denial is the line
      DropConnection();
      break;
    case cmd_drop:
      link_up_ = false;
      DropConnection();
      break;
    case cmd_disconnect:
      error_count_ = 0;
      connect_stamp_ = clock_.MonotonicMs();
      link_up_ = false;
      PulseIndicator();
      TellEnd(LinkNews::ServerDisconnect);
      // The connection stays open until the next attempt replaces it.
      break;
    default:
      break;  // an event acknowledgement, a keep-alive (with or without its list), an unknown command
  }
}

void ServerLink::EventAcknowledgedByServer() {
  unacknowledged_since_.reset();
  if (events_unacknowledged_.exchange(false)) Tell(LinkNews::AcknowledgingAgain);
}

void ServerLink::WatchAcknowledgements() {
  const bool in_flight = awaited_ && awaited_->Event;
  if (!in_flight && !(outlets_.Outbox && outlets_.Outbox->MsUntilNextEvent())) {
    // No record waits any more: none is left unacknowledged, and there is
    // no news in that for the operator.
    unacknowledged_since_.reset();
    events_unacknowledged_ = false;
    return;
  }
  if (events_unacknowledged_ || !unacknowledged_since_) return;
  if (!link_up_) {
    // An event whose connection went down before its answer was not refused
    // by the server: the lost connection is the news.
    unacknowledged_since_.reset();
    return;
  }
  if (ElapsedMs(*unacknowledged_since_) > settings_.ReplyDeadline.count()) {
    events_unacknowledged_ = true;
    Tell(LinkNews::NotAcknowledging);
  }
}

void ServerLink::TickConnect() {
  if (connect_stamp_ && ElapsedMs(*connect_stamp_) <= kReconnectMs) return;
  // Stamped first: a report that fails must not make every pass an attempt.
  connect_stamp_ = clock_.MonotonicMs();
  // Cleared before anything tells the attempt's end, so that whoever hears
  // that sees the link as it then stands.
  connecting_ = true;
  struct AttemptEnds {
    std::atomic<bool>& connecting;
    ~AttemptEnds() { connecting = false; }
  } attempt_ends{connecting_};
  PulseIndicator();
  Tell(LinkNews::Connecting);

  // The link is down already: the old connection closes untold.
  client_ = std::make_unique<BlockingTcpClient>(clock_, stop_.get_token());
  accepted_ = false;

  const ServerAddress address = outlets_.ReadServerAddress ? outlets_.ReadServerAddress() : ServerAddress{};
  const std::error_code error =
      client_->Connect(address.Address, address.Port, std::chrono::milliseconds(settings_.ConnectTimeout));
  if (error) {
    connecting_ = false;
    // Stopping ends an attempt too; that is no failure to tell.
    if (!stop_.stop_requested()) {
      Tell(LinkNews::ConnectFailed, ConnectFailureStatus(error, address));
    }
    return;
  }
  try {
    OnLinkConnected();
  } catch (...) {
    // An outlet that fails here fails the attempt: the connection must not
    // stay open without its handshake. Execute reports the failure.
    client_->Disconnect();
    throw;
  }
  link_up_ = true;
  connecting_ = false;
  end_untold_ = true;
  // The errors that count towards giving a connection up are its own.
  error_count_ = 0;
  if (outlets_.Outbox) outlets_.Outbox->SpoolLinkUp();
  Tell(LinkNews::Connected);
  PulseIndicator();
}

void ServerLink::TickRefused() {
  if (!denied_shown_) {
    denied_shown_ = true;
    Tell(LinkNews::Denied);
    Tell(LinkNews::DeniedRetry);
    return;
  }
  // A station registered meanwhile gets in without a restart.
  if (ElapsedMs(denied_stamp_) <= kDeniedRetryMs) return;
  allow_reconnect_ = true;
  connect_stamp_.reset();
  TickConnect();
}

void ServerLink::OnLinkConnected() {
  // Behind any frames still waiting from before, which go out first.
  PostFrame(cmd_register, kRegisterPayload);
  just_connected_ = true;
  const PortState port = outlets_.CurrentPortState ? outlets_.CurrentPortState() : PortState{};
  PostFrame(cmd_port_state, PortStatePayload(port.Name, port.Open));
  PostFrame(cmd_first_number, FirstNumberPayload(settings_.FirstNumber));
  PostFrame(cmd_version,
            VersionPayload(settings_.VersionText.empty() ? ProgramVersion() : settings_.VersionText));
}

void ServerLink::OnLinkDisconnected() {
  link_up_ = false;
  PulseIndicator();
}

void ServerLink::CloseConnection() {
  if (client_ && client_->Disconnect()) OnLinkDisconnected();
}

void ServerLink::DropConnection() {
  link_up_ = false;
  PulseIndicator();
  CloseConnection();
}

void ServerLink::DropOutOfStep() {
  // Bytes that make no reply are a puzzle; a connection that has ended
  // meanwhile is simply lost.
  if (!client_ || !client_->Connected() || client_->Ended()) {
    ConnectionLost();
    return;
  }
  TellEnd(LinkNews::OutOfStep);
  ForgetAwaitedReply();
  DropConnection();
}

void ServerLink::ConnectionLost() {
  link_up_ = false;
  ForgetAwaitedReply();
  PulseIndicator();
  if (stop_.stop_requested()) {
    end_untold_ = false;  // the end of the thread, not a loss
  } else {
    TellEnd(LinkNews::Lost);
  }
  CloseConnection();
}

void ServerLink::ForgetAwaitedReply() {
  const std::optional<AwaitedReply> awaited = std::exchange(awaited_, std::nullopt);
  if (awaited && awaited->Event && outlets_.Outbox) outlets_.Outbox->EventUndelivered(*awaited->Event);
}

void ServerLink::ReportFailure(const std::string& what) {
  try {
    Tell(LinkNews::Unforeseen, what);
  } catch (const std::exception&) {
    // The observer cannot take a line either; the next pass starts afresh.
  }
}

std::string ServerLink::StatusLine(LinkNews news, const std::string& what) {
  switch (news) {
    case LinkNews::Connecting:
      return kStatusConnecting;
    case LinkNews::Connected:
      return kStatusConnected;
    case LinkNews::ConnectFailed:
      return what;
    case LinkNews::Accepted:
      return kStatusAccepted;
    case LinkNews::NotAccepted:
      return kStatusNotAccepted;
    case LinkNews::Lost:
      return kStatusLost;
    case LinkNews::NetworkErrors:
      return kStatusNetworkErrors;
    case LinkNews::ServerDisconnect:
      return kStatusServerDisconnect;
    case LinkNews::OutOfStep:
      return kStatusOutOfStep;
    case LinkNews::Denied:
      return kStatusDenied;
    case LinkNews::DeniedRetry:
      return kStatusDeniedRetry;
    case LinkNews::NotAcknowledging:
      return kStatusNotAcknowledging;
    case LinkNews::AcknowledgingAgain:
      return kStatusAcknowledgingAgain;
    case LinkNews::Unforeseen:
      break;
  }
  return kStatusLinkFailure + what;
}

// What the link only reports is posted: the link never waits for the main thread.
void ServerLink::Tell(LinkNews news, const std::string& what) {
  LinkReport report{news, StatusLine(news, what)};
  LinkObserver& observer = observer_;
  dispatcher_.Post([&observer, report = std::move(report)] { observer.Report(report); });
}

void ServerLink::TellEnd(LinkNews news) {
  end_untold_ = false;
  Tell(news);
}

void ServerLink::PulseIndicator() {
  LinkObserver& observer = observer_;
  dispatcher_.Post([&observer] { observer.PulseIndicator(); });
}

}  // namespace orvent
