#include "delivery/server_link.h"

#include <algorithm>
#include <chrono>

#include "delivery/commands.h"
#include "delivery/frame_io.h"
#include "delivery/frame_protocol.h"
#include "delivery/program_version.h"
#include "delivery/spool.h"

namespace orvent {

void WireSpool(LinkOutlets& outlets, EventSpool& spool) {
  outlets.SpoolAcknowledged = [&spool] { spool.SpoolAcknowledged(); };
  outlets.SpoolLinkUp = [&spool] { spool.SpoolLinkUp(); };
  outlets.SpoolUndelivered = [&spool](const SoobBytes& record, const std::string& spool_file) {
    spool.SpoolUndelivered(record, spool_file);
  };
}
namespace {

// The longest rest between passes. Passes with nothing to do are cheap, but
// an idle link must not wake every millisecond; a post wakes it at once.
constexpr std::int64_t kMaxIdleMs = 50;

}  // namespace

cl::cl(const Clock& clock, WindowDispatcher& dispatcher, LinkWindow& window, LinkSettings settings,
       LinkOutlets outlets)
    : clock_(clock),
      dispatcher_(dispatcher),
      window_(window),
      settings_(std::move(settings)),
      outlets_(std::move(outlets)),
      KeepAliveStamp(clock.MonotonicMs()) {}

cl::~cl() { Stop(); }

void cl::Start() {
  if (thread_.joinable() || stop_.stop_requested()) return;
  thread_ = std::thread([this] { Execute(); });
}

void cl::Stop() {
  stop_.request_stop();
  // The thread may be waiting for the window thread, which may be this one.
  dispatcher_.BeginShutdown();
  Wake();
  if (thread_.joinable()) thread_.join();
  if (client_) {
    // Only when the thread never ran; its own end closes the connection.
    client_.reset();
  }
  // Event records still queued were acknowledged to the receiver: they go to
  // the spool rather than die with the process. No lock is held while the
  // spool writes them.
  std::vector<std::pair<SoobBytes, std::string>> undelivered;
  {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return;
    stopped_ = true;
    OutQueue_.DrainAll([&](const QueuedFrame& frame) {
      if (frame.EventRecord) undelivered.push_back({*frame.EventRecord, frame.SpoolFile});
    });
  }
  for (const auto& [record, spool_file] : undelivered) HandBack(record, spool_file);
}

bool cl::PostFrame(std::uint32_t command, std::span<const std::uint8_t> payload) {
  return Post(command, payload, std::nullopt, {});
}

bool cl::PostSpoolFrame(std::uint32_t command, std::span<const std::uint8_t> payload, const std::string& spool_file) {
  // A replayed event keeps its record like a live one: the acknowledgement
  // of any other frame deletes the pending file, so the file may be gone
  // before this frame is answered.
  std::optional<SoobBytes> record;
  if (command == cmd_event && payload.size() == stru_soob::kSize) {
    record.emplace();
    std::copy(payload.begin(), payload.end(), record->begin());
  }
  return Post(command, payload, record, spool_file);
}

bool cl::Post(std::uint32_t command, std::span<const std::uint8_t> payload, std::optional<SoobBytes> record,
              std::string spool_file) {
  bool pushed = false;
  {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return false;
    pushed = OutQueue_.PostFrame(command, payload, record, std::move(spool_file));
  }
  Wake();
  return pushed;
}

bool cl::PostLiveEvent(const SoobBytes& record) { return Post(cmd_event, record, record, {}); }

void cl::Wake() {
  {
    std::lock_guard lock(wake_mutex_);
    wake_ = true;
  }
  wake_cv_.notify_one();
}

void cl::Execute() {
  KeepAliveStamp = clock_.MonotonicMs();
  const std::stop_token stop = stop_.get_token();
  while (!stop.stop_requested()) {
    try {
      Tick();
    } catch (...) {
      // A failure outside the network (an outlet that raised) must not end
      // the link; the next pass starts afresh.
    }
    const auto rest = std::chrono::milliseconds(IdleBudgetMs());
    std::unique_lock lock(wake_mutex_);
    wake_cv_.wait_for(lock, stop, rest, [this] { return wake_; });
    wake_ = false;
  }
  try {
    if (client_ && client_->Connected()) client_->Disconnect();
  } catch (...) {
  }
  client_.reset();
}

std::int64_t cl::IdleBudgetMs() const {
  std::int64_t budget = kMaxIdleMs;
  if (LinkUp_) {
    if (!OutQueue_.Empty()) return 0;
    const std::int64_t limit =
        Accepted_ ? KeepAliveStamp + kKeepAliveMs : ConnectStamp.value_or(0) + kAcceptWaitMs;
    budget = limit + 1 - clock_.MonotonicMs();
  } else if (AllowReconnect_) {
    if (!ConnectStamp) return 0;
    budget = *ConnectStamp + kReconnectMs + 1 - clock_.MonotonicMs();
  } else if (!DeniedShown) {
    return 0;
  }
  return std::clamp<std::int64_t>(budget, 0, kMaxIdleMs);
}

std::int64_t cl::ElapsedMs(std::int64_t stamp) const { return clock_.MonotonicMs() - stamp; }

void cl::Tick() {
  if (LinkUp_) {
    TickLinkUp();
    return;
  }
  // Events still queued when the link went down were acknowledged to the
  // receiver: they wait on disk, not in memory only, until a connection is
  // back (the spool then replays them).
  SpoolQueuedEvents();
  if (AllowReconnect_) {
    TickConnect();
  } else {
    TickRefused();
  }
}

void cl::TickLinkUp() {
  if (ErrorCount_ > kMaxErrors) {
    ErrorCount_ = 0;
    ShowStatus(kStatusNetworkErrors);
    LinkUp_ = false;
    // The pass goes on over the connection still open.
  }

  FrameSent = false;
  in_flight_event_.reset();
  try {
    QueuedFrame queued;
    if (OutQueue_.QueuePeek(queued)) {
      FrameSent = true;
      SendOk = true;
      try {
        if (!SendFrameCounting(queued.Frame)) SendOk = false;
      } catch (...) {
        SendOk = false;
        ++ErrorCount_;
      }
      // A frame that could not be written stays first in the queue.
      if (SendOk) {
        OutQueue_.QueuePop();
        in_flight_event_ = queued.EventRecord;
        in_flight_spool_file_ = queued.SpoolFile;
      }
    } else if (Accepted_) {
      if (ElapsedMs(KeepAliveStamp) > kKeepAliveMs) {
        KeepAliveDue = true;
        KeepAliveStamp = clock_.MonotonicMs();
      }
    } else if (ElapsedMs(ConnectStamp.value_or(0)) > kAcceptWaitMs) {
      LinkUp_ = false;  // the next attempt closes the connection
    }
  } catch (...) {
  }

  if (!KeepAliveDue && !JustConnected && !FrameSent) return;
  if (KeepAliveDue) {
    KeepAliveDue = false;
    try {
      SendFrameCounting(KeepAliveFrame());
    } catch (...) {
      ++ErrorCount_;
    }
  }
  bool ReplyOk = true;
  JustConnected = false;
  try {
    if (client_) {
      ReadReply(*client_, RxBuffer_);
    } else {
      RxBuffer_.clear();
    }
  } catch (...) {
    ReplyOk = false;
    ++ErrorCount_;
  }
  if (RxBuffer_.empty()) {
    ReplyOk = false;
    ++ErrorCount_;
  }
  const std::optional<ReplyFrame> reply = ReplyOk ? InterpretReply(RxBuffer_) : std::nullopt;
  // A live event whose frame went out but drew no readable answer may not
  // have reached the server: the spool delivers it again (the server takes
  // repeats). Any valid reply is the server's one answer to it.
  if (in_flight_event_ && !reply) HandBack(*in_flight_event_, in_flight_spool_file_);
  in_flight_event_.reset();
  // A reply whose markers do not match neither counts nor resets.
  if (reply) HandleReply(*reply);
}

void cl::HandleReply(const ReplyFrame& reply) {
  ErrorCount_ = 0;
  PulseIndicator();
  switch (reply.Header.Command) {
    case cmd_accepted:
      Accepted_ = true;
      break;
    case cmd_event_ack:
      if (outlets_.SpoolAcknowledged) outlets_.SpoolAcknowledged();
      break;
    case cmd_query:
      PostFrame(cmd_query_answer, {});
      break;
    case cmd_denied:
      LinkUp_ = false;
      AllowReconnect_ = false;
      DropConnection();
      break;
    case cmd_drop:
      LinkUp_ = false;
      DropConnection();
      break;
    case cmd_disconnect:
      ErrorCount_ = 0;
      ConnectStamp = clock_.MonotonicMs();
      LinkUp_ = false;
      PulseIndicator();
      ShowStatus(kStatusServerDisconnect);
      // The connection stays open until the next attempt replaces it.
      break;
    default:
      break;  // a keep-alive (with or without its list) or an unknown command
  }
}

void cl::TickConnect() {
  if (ConnectStamp && ElapsedMs(*ConnectStamp) <= kReconnectMs) return;
  PulseIndicator();
  ShowStatus(kStatusConnecting);
  ConnectStamp = clock_.MonotonicMs();
  ConnectFailed = false;

  client_.reset();  // closes the old connection without OnDisconnected
  client_ = std::make_unique<TIdTCPClient>();
  client_->ConnectTimeout = settings_.ConnectTimeout;
  client_->ReadTimeout = settings_.ReadTimeout;
  client_->OnConnected = [this](TIdTCPClient&) { OnLinkConnected(); };
  client_->OnDisconnected = [this](TIdTCPClient&) { OnLinkDisconnected(); };
  client_->Interrupt = stop_.get_token();
  Accepted_ = false;

  try {
    const ServerAddress address = outlets_.ReadServerAddress ? outlets_.ReadServerAddress() : ServerAddress{};
    client_->Host = address.Address;
    client_->Port = address.Port;
    client_->Connect();
  } catch (...) {
    ConnectFailed = true;
  }
  LinkUp_ = !ConnectFailed;
  if (LinkUp_) {
    if (outlets_.SpoolLinkUp) outlets_.SpoolLinkUp();
    ShowStatus(kStatusConnected);
    PulseIndicator();
  }
}

void cl::TickRefused() {
  if (DeniedShown) return;
  DeniedShown = true;
  ShowStatus(kStatusDenied);
}

void cl::OnLinkConnected() {
  // Behind any frames still waiting from before, which go out first.
  PostFrame(cmd_register, kRegisterPayload);
  JustConnected = true;
  const PortState port = outlets_.CurrentPortState ? outlets_.CurrentPortState() : PortState{};
  PostFrame(cmd_port_state, PortStatePayload(port.Name, port.Open));
  PostFrame(cmd_first_number, FirstNumberPayload(settings_.FirstNumber));
  PostFrame(cmd_version,
            VersionPayload(settings_.VersionText.empty() ? ProgramVersion() : settings_.VersionText));
}

void cl::OnLinkDisconnected() {
  LinkUp_ = false;
  PulseIndicator();
}

void cl::DropConnection() {
  LinkUp_ = false;
  PulseIndicator();
  try {
    if (client_) client_->Disconnect();
  } catch (...) {
  }
}

bool cl::SendFrameCounting(std::span<const std::uint8_t> frame) {
  if (!client_ || !SendFrame(*client_, frame)) {
    ++ErrorCount_;
    return false;
  }
  return true;
}

void cl::ShowStatus(const std::string& text) {
  StatusText = text;
  LinkWindow& window = window_;
  dispatcher_.RunAndWait([&window, text] { window.ShowStatus(text); });
}

void cl::PulseIndicator() {
  LinkWindow& window = window_;
  dispatcher_.RunAndWait([&window] { window.PulseIndicator(); });
}

void cl::SpoolQueuedEvents() {
  std::vector<std::pair<SoobBytes, std::string>> events;
  OutQueue_.TakeEventFrames([&](const QueuedFrame& frame) { events.push_back({*frame.EventRecord, frame.SpoolFile}); });
  for (const auto& [record, spool_file] : events) HandBack(record, spool_file);
}

void cl::HandBack(const SoobBytes& record, const std::string& spool_file) {
  if (!outlets_.SpoolUndelivered) return;
  try {
    outlets_.SpoolUndelivered(record, spool_file);
  } catch (...) {
  }
}

}  // namespace orvent
