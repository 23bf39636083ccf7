#include "station/driver_core.h"

#include <string>
#include <string_view>
#include <utility>

#include "delivery/commands.h"
#include "delivery/frame_protocol.h"
#include "delivery/spool.h"
#include "platform/paths.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"
#include "receiver/message_decoder.h"

namespace orvent {
namespace {

constexpr int kActivityWrap = 16;

constexpr char kStationQuiet[] = "Станция не выходит на связь.";
constexpr char kStationBack[] = "Связь со станцией восстановлена.";
constexpr char kEnded[] = "Драйвер остановлен. Событий в очереди: ";

std::string PortText(const std::string& name) { return "Порт " + name; }

}  // namespace

std::string PortFailureText(const std::string& name, const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::no_such_device ||
      error == std::errc::no_such_device_or_address) {
    return PortText(name) + ": нет такого устройства.";
  }
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
    const std::string_view advice = SerialPermissionAdvice();
    return PortText(name) + ": нет прав на устройство" + (advice.empty() ? "" : " - " + std::string(advice)) + ".";
  }
  if (error == std::errc::device_or_resource_busy) return PortText(name) + ": занят другой программой.";
  return PortText(name) + " не открывается: ошибка " + std::to_string(error.value()) + ".";
}

DriverCore::DriverCore(CoreEnvironment env, DriverFace& face)
    : env_(std::move(env)),
      face_(face),
      error_log_(env_.WorkDir),
      dispatcher_([loop = env_.Loop](std::function<void()> call) { loop->Post(std::move(call)); }) {
  if (env_.clock == nullptr) own_clock_ = std::make_unique<SystemClock>();
  clock_ = env_.clock != nullptr ? env_.clock : own_clock_.get();
  if (env_.ports == nullptr) own_ports_ = std::make_unique<SystemSerialPorts>();
  ports_ = env_.ports != nullptr ? env_.ports : own_ports_.get();

  CommPortDriver1_ = std::make_unique<TCommPortDriver>(*ports_, *env_.Loop, *clock_);
  ApplyReceiverLineSettings(*CommPortDriver1_);
  CommPortDriver1_->OnReceiveLines = [this](TCommPortDriver*, std::span<const ReceivedLine> lines) {
    CommPortDriver1ReceiveLines(lines);
  };
  CommPortDriver1_->OnLineLost = [this](TCommPortDriver*) { LineLost(); };
}

DriverCore::~DriverCore() { End(); }

IniFile DriverCore::SettingsFile() const { return IniFile(JoinPath(env_.WorkDir, kSettingsFileName)); }

DriverCore::StartResult DriverCore::Start() {
  settings_ = ReadMainSettings(SettingsFile());
  CommPortDriver1_->SetQuickAck(settings_.QuickAck);
  // The handshake tells the configured name from the first attempt on.
  PublishPortState();

  // The spool comes first: every event record goes there before its ACK.
  spool_ = std::make_unique<EventSpool>(
      settings_.PathForSoob, *clock_,
      SpoolOutlets{[this](std::int32_t number) { error_log_.LogError(number); },
                   [this](const std::string& text) { face_.ShowStatus(text); },
                   // Told on the loop's thread soon, not at a tick that may be far off.
                   [this] { dispatcher_.Post([this] { EmitSpoolReports(); }); },
                   [this] { return link_ && link_->LinkUp() && link_->Accepted(); },
                   [this](std::uint64_t ticket, bool confirmed) {
                     dispatcher_.Post([this, ticket, confirmed] { ServerVerdict(ticket, confirmed); });
                   }});
  spool_->StartScanner();

  DecoderSettings decoding;
  decoding.Log = settings_.Log;
  decoding.Hex = settings_.Hex;
  decoding.VariantRazdel = settings_.VariantRazdel;
  decoding.FirstNumber = settings_.FirstNumber;
  decoding.Attention = settings_.Attention;
  DecoderOutlets outlets;
  outlets.AppendRawLog = RawLogFile(env_.WorkDir);
  outlets.SendData = [this](const std::uint8_t* bytes, std::uint32_t size) {
    return CommPortDriver1_->SendData(bytes, size);
  };
  outlets.RedrawStation = [this] { face_.StationChanged(); };
  outlets.Sink = spool_.get();
  outlets.LookupRazdel = [ini = SettingsFile()](const std::string& key) { return LookupRazdel(ini, key); };
  outlets.LogError = [this](std::int32_t number) { error_log_.LogError(number); };
  outlets.ReportFailure = [this](const std::string& message) { face_.ReportFailure(message); };
  decoder_ = std::make_unique<MessageDecoder>(decoding, *clock_, env_.WorkDir, std::move(outlets));

  // The server link starts before the port, which may fail and keep failing.
  LinkSettings link_settings;
  link_settings.FirstNumber = settings_.FirstNumber;
  LinkOutlets link_outlets;
  link_outlets.ReadServerAddress = [ini = SettingsFile()] {
    const ServerHostSettings host = ReadServerHost(ini);
    return ServerAddress{host.Address, host.Port};
  };
  link_outlets.CurrentPortState = [this] { return port_state_.Get(); };
  link_outlets.Outbox = spool_.get();
  LinkObserver& observer = *this;  // a private base: converted here, where it is accessible
  link_ = std::make_unique<ServerLink>(*clock_, dispatcher_, observer, link_settings, std::move(link_outlets));
  spool_->AttachWake([link = link_.get()] { link->Wake(); });
  link_->Start();
  ScheduleTick();

  if (settings_.ComPort == kNoPort) {
    SetMode(PortMode::Stopped);
    return StartResult::NoPort;
  }
  if (const auto why = OpenPort(settings_.ComPort)) {
    ShowStatus(PortFailureText(settings_.ComPort, *why));
    retry_failure_shown_ = true;
    EnterRetrying();
    AnnouncePortState();
    return StartResult::PortFailed;
  }
  SetMode(PortMode::Open);
  AnnouncePortState();
  return StartResult::PortOpen;
}

std::optional<std::error_code> DriverCore::OpenPort(const std::string& name) {
  CommPortDriver1_->SetPortName(name);
  std::error_code why;
  const bool opened = CommPortDriver1_->Connect(why);
  PublishPortState();
  if (opened) return std::nullopt;
  return why;
}

bool DriverCore::StartPort(const std::string& name) {
  if (const auto why = OpenPort(name)) {
    ShowStatus(PortFailureText(name, *why));
    return false;
  }
  CommPortDriver1_->SetDTR(true);
  SetMode(PortMode::Open);
  return true;
}

void DriverCore::StopPort() {
  if (CommPortDriver1_->Connected()) CommPortDriver1_->Disconnect();
  SetMode(PortMode::Stopped);
}

void DriverCore::SelectPort(const std::string& name) {
  if (Running()) return;
  WriteComPort(SettingsFile(), name);
  settings_.ComPort = name;
  PostPortStateNotice();
}

PortScanResult DriverCore::ScanPorts() { return ScanSerialPorts(*CommPortDriver1_, *ports_); }

void DriverCore::PublishPortState() {
  port_state_.Set({ports_->NoticeName(settings_.ComPort), CommPortDriver1_->Connected()});
}

void DriverCore::PostPortStateNotice() {
  // Before the link exists (the start-up scan) there is nobody to tell.
  if (!link_) return;
  PublishPortState();
  const PortState state = port_state_.Get();
  link_->PostFrame(cmd_port_state, PortStatePayload(state.Name, state.Open));
}

void DriverCore::AnnouncePortState() {
  // A connection made from now on tells the server in its handshake; only
  // one made already needs a notice (queued before a connection, it would go
  // out ahead of the registration).
  if (link_ && link_->LinkUp()) PostPortStateNotice();
}

void DriverCore::SetMode(PortMode mode) {
  mode_ = mode;
  if (mode != PortMode::Retrying && retry_timer_) env_.Loop->StopTimer(*std::exchange(retry_timer_, std::nullopt));
  PublishPortState();
  face_.PortChanged();
  face_.StationChanged();
}

void DriverCore::EnterRetrying() {
  SetMode(PortMode::Retrying);
  if (!retry_timer_) retry_timer_ = env_.Loop->StartTimer(kPortRetry, [this] { RetryPort(); });
}

void DriverCore::RetryPort() {
  if (mode_ != PortMode::Retrying) return;
  if (const auto why = OpenPort(settings_.ComPort)) {
    // Told once, not every 5 s for as long as the adapter stays away.
    if (!std::exchange(retry_failure_shown_, true)) ShowStatus(PortFailureText(settings_.ComPort, *why));
    return;
  }
  retry_failure_shown_ = false;
  ShowStatus(PortText(settings_.ComPort) + " открыт.");
  SetMode(PortMode::Open);
  AnnouncePortState();
}

void DriverCore::LineLost() {
  ShowStatus(PortText(settings_.ComPort) + " потерян.");
  retry_failure_shown_ = false;
  EnterRetrying();
  AnnouncePortState();
}

void DriverCore::ScheduleTick() {
  if (ended_ || !decoder_) return;
  // The work is due when the watchdog's verdict can change, and when the
  // spool has a check due (a record awaiting the server's confirmation, a
  // disk that refuses files); else the program sleeps. A wall clock that
  // jumps is caught within kMaxTickGap.
  std::int64_t due = kMaxTickGap.count();
  const std::int64_t quiet_after =
      MsFromDateTime(decoder_->LastStationTime) + settings_.Attention.count() - MsFromDateTime(clock_->Now());
  if (decoder_->StationOnline) {
    due = std::min(due, quiet_after + 1);
  } else if (quiet_after >= 0) {
    due = std::min<std::int64_t>(due, kTickPeriod.count());  // it turns online at the next tick
  }
  if (const auto check = spool_->MsUntilCheck()) due = std::min(due, *check);
  due = std::max<std::int64_t>(due, 1);
  if (tick_timer_) env_.Loop->StopTimer(*tick_timer_);
  tick_timer_ = env_.Loop->StartTimer(std::chrono::milliseconds(due), [this] {
    if (tick_timer_) env_.Loop->StopTimer(*std::exchange(tick_timer_, std::nullopt));
    Timer2Timer();
  });
}

void DriverCore::EmitSpoolReports() {
  try {
    if (spool_) spool_->EmitReports();
  } catch (const std::exception& e) {
    face_.ReportFailure(e.what());
  }
}

void DriverCore::Timer2Timer() {
  if (!spool_ || !decoder_) return;
  struct Next {
    DriverCore& core;
    ~Next() { core.ScheduleTick(); }
  } next{*this};
  try {
    spool_->CheckStep();
    const bool was_online = decoder_->StationOnline;
    decoder_->Watchdog();
    if (decoder_->StationOnline != was_online) {
      // The first turn online at start-up is no news; later changes are.
      if (!decoder_->StationOnline) {
        station_went_quiet_ = true;
        ShowStatus(kStationQuiet);
      } else if (station_went_quiet_) {
        ShowStatus(kStationBack);
      }
    }
  } catch (const std::exception& e) {
    face_.ReportFailure(e.what());
  }
}

void DriverCore::CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t size) {
  if (packet == nullptr || size == 0) return;
  const ReceivedLine line = WholeLine(packet, size);
  CommPortDriver1ReceiveLines({&line, 1});
}

void DriverCore::CommPortDriver1ReceiveLines(std::span<const ReceivedLine> lines) {
  if (!decoder_) return;
  try {
    decoder_->HandleLines(lines);
  } catch (const std::exception& e) {
    face_.ReportFailure(e.what());
  }
  // The receiver spoke (or a record awaits the server): the next check moves.
  ScheduleTick();
}

void DriverCore::ServerVerdict(std::uint64_t ticket, bool confirmed) {
  if (!decoder_ || ended_) return;
  try {
    decoder_->ServerVerdict(ticket, confirmed);
  } catch (const std::exception& e) {
    face_.ReportFailure(e.what());
  }
}

std::size_t DriverCore::End() {
  if (ended_) return spool_ ? spool_->WaitingCount() : 0;
  ended_ = true;
  if (tick_timer_) env_.Loop->StopTimer(*std::exchange(tick_timer_, std::nullopt));
  if (retry_timer_) env_.Loop->StopTimer(*std::exchange(retry_timer_, std::nullopt));
  if (CommPortDriver1_->Connected()) CommPortDriver1_->Disconnect();
  // An event whose answer the link still awaited stays in the spool.
  if (link_) link_->Stop();
  if (!spool_) return 0;
  // Records the disk refused and the server did not confirm were never
  // acknowledged: the receiver still has them.
  spool_->Close();
  try {
    spool_->EmitReports();
  } catch (const std::exception& e) {
    ShowStatus(e.what());
  }
  const std::size_t waiting = spool_->WaitingCount();
  ShowStatus(kEnded + std::to_string(waiting) + ".");
  return waiting;
}

bool DriverCore::PortOpen() const { return CommPortDriver1_->Connected(); }
bool DriverCore::LinkUp() const { return link_ && link_->LinkUp(); }
bool DriverCore::StationOnline() const { return decoder_ && decoder_->StationOnline; }
std::int32_t DriverCore::StationTick() const { return decoder_ ? decoder_->StationTick : 0; }

void DriverCore::ShowStatus(const std::string& text) { face_.ShowStatus(text); }

void DriverCore::PulseIndicator() {
  if (++server_activity_ > kActivityWrap) server_activity_ = 0;
  face_.ServerChanged();
}

}  // namespace orvent
