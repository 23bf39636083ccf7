#include "station/station.h"

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "delivery/commands.h"
#include "delivery/frame_protocol.h"
#include "delivery/spool.h"
#include "delivery/spool_folder.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"

namespace orvent {
namespace {

constexpr int kPulseWrap = 16;

constexpr char kStationQuiet[] = "Станция не выходит на связь.";
constexpr char kStationBack[] = "Связь со станцией восстановлена.";
constexpr char kEnded[] = "Драйвер остановлен. Событий в очереди: ";

// Warnings for the operator.
constexpr char kPortBusyAtStart[] = "Порт уже занят. Смените его.";
constexpr char kPortBusy[] = "Порт уже занят!";
constexpr char kStopDenied[] = "Неправильный пароль. В доступе отказано";
constexpr char kCloseDenied[] = "Не правильный пароль.";

// The start/stop button's captions.
constexpr char kCommandStart[] = "Запустить";
constexpr char kCommandStop[] = "Остановить";

constexpr std::uint32_t kFirstCloseCode = 10000;
constexpr std::uint32_t kLastCloseCode = 99998;

// Lines of the operator's own actions.
constexpr char kStopCancelled[] = "Остановка порта отменена.";
constexpr char kCloseCancelled[] = "Закрытие программы отменено.";
constexpr char kClosedByOperator[] = "Программа закрывается по команде оператора.";

std::string PortText(const std::string& name) { return "Порт " + name; }

bool IsPermissionError(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
}

// Bytes as a person reads them: "12,3 ГБ", "850 МБ".
std::string SizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  if (bytes < kGiB) return std::to_string(bytes / kMiB) + " МБ";
  const std::uint64_t tenths = bytes * 10 / kGiB;
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " ГБ";
}

std::string SettingsErrorText(const std::error_code& error) {
  if (error == std::errc::permission_denied) return "нет прав на чтение";
  if (error == std::errc::file_too_large) return "больше 1 МБ";
  if (error == std::errc::invalid_argument) return "это не обычный файл";
  if (error == std::errc::is_a_directory) return "это папка";
  return "ошибка " + std::to_string(error.value());
}

}  // namespace

std::string PortFailureText(const std::string& name, const std::error_code& error, const std::string& advice) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::no_such_device ||
      error == std::errc::no_such_device_or_address) {
    return PortText(name) + ": нет такого устройства.";
  }
  if (IsPermissionError(error)) {
    return PortText(name) + ": нет прав на устройство" + (advice.empty() ? "" : " - " + advice) + ".";
  }
  if (error == std::errc::device_or_resource_busy) return PortText(name) + ": занят другой программой.";
  return PortText(name) + " не открывается: ошибка " + std::to_string(error.value()) + ".";
}

std::string StartupLine(const StartupFacts& f) {
  std::string line = "Настройки: ";
  if (!f.SettingsError) {
    line += f.SettingsPath;
  } else if (f.SettingsError == std::errc::no_such_file_or_directory) {
    line += "файл " + f.SettingsPath + " не найден, действуют значения по умолчанию";
  } else {
    line += "файл " + f.SettingsPath + " не читается (" + SettingsErrorText(f.SettingsError) +
            "), действуют значения по умолчанию";
  }
  if (!f.Problems.empty()) {
    line += "; неверные значения: ";
    for (std::size_t i = 0; i < f.Problems.size(); ++i) line += (i ? ", " : "") + f.Problems[i];
  }
  line += ". Порт: " + (f.Port.empty() ? std::string("не задан") : f.Port);
  line += ". Сервер: " + f.Server.Address + ":" + std::to_string(f.Server.Port);
  line += ". Очередь: " + f.SpoolFiles;
  if (f.FreeBytes) line += ", свободно " + SizeText(*f.FreeBytes);
  return line + ".";
}

std::string SpoolFolderFailureText(const std::string& folder, const std::error_code& error) {
  std::string why;
  if (error == std::errc::no_such_file_or_directory) {
    why = "нет такой папки";
  } else if (error == std::errc::not_a_directory) {
    why = "это не папка";
  } else if (IsPermissionError(error)) {
    why = "нет прав на запись";
  } else if (error == std::errc::read_only_file_system) {
    why = "диск только для чтения";
  } else {
    why = "ошибка " + std::to_string(error.value());
  }
  return "Папка очереди " + folder + " недоступна (" + why +
         ") - события остаются в приёмнике, пока их не подтвердит сервер.";
}

std::string FailureText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
  return message;
}

std::uint32_t DrawSystemCloseCode() {
  std::random_device source;
  return std::uniform_int_distribution<std::uint32_t>(kFirstCloseCode, kLastCloseCode)(source);
}

Station::Station(StationEnvironment env, StationFace& face)
    : env_(std::move(env)),
      face_(face),
      error_log_(env_.WorkDir),
      dispatcher_([loop = env_.Loop](std::function<void()> call) { loop->Post(std::move(call)); }) {
  if (env_.clock == nullptr) own_clock_ = std::make_unique<SystemClock>();
  clock_ = env_.clock != nullptr ? env_.clock : own_clock_.get();
  if (env_.ports == nullptr) own_ports_ = std::make_unique<SystemSerialPorts>();
  ports_ = env_.ports != nullptr ? env_.ports : own_ports_.get();
  if (!env_.DrawCloseCode) env_.DrawCloseCode = &DrawSystemCloseCode;

  ReceiverObserver& observer = *this;  // a private base: converted here, where it is accessible
  receiver_ = std::make_unique<ReceiverLink>(*ports_, *env_.Loop, *clock_, observer);
  // The program's start, not the end of a start-up that a warning may hold.
  started_at_ = clock_->Now();
}

Station::~Station() { End(); }

IniFile Station::SettingsFile() const { return IniFile(JoinPath(env_.WorkDir, kSettingsFileName)); }

std::string Station::InWorkDir(const std::string& path) const {
  return path.empty() ? JoinPath(env_.WorkDir, "") : path;
}

void Station::Start() {
  if (Started() || ended_) return;
  close_code_ = std::to_string(env_.DrawCloseCode());
  // Listed before anything is started, so that the listing stores no choice.
  if (env_.OffersPortChoice) port_choices_ = ScanPorts();

  const IniFile ini = SettingsFile();
  StartupFacts facts;
  settings_ = ReadMainSettings(ini, &facts.Problems);
  facts.Server = ReadServerHost(ini, &facts.Problems);
  facts.SettingsPath = ini.Path();
  facts.SettingsError = ini.Check();
  port_name_ = settings_.ComPort;
  facts.Port = settings_.ComPort == kNoPort ? std::string() : settings_.ComPort;
  spool_prefix_ = SpoolPrefixOf(settings_.PathForSoob);
  facts.SpoolFiles = InWorkDir(spool_prefix_) + "*" + kSpoolFileSuffix;
  facts.FreeBytes = FreeSpaceOf(std::string(FolderPart(spool_prefix_)));
  ShowStatus(StartupLine(facts));
  CheckSpoolFolder();
  // The handshake tells the configured name from the first attempt on.
  PublishPortState();

  // The spool comes first: every event record goes there before its ACK.
  SpoolObserver& spool_observer = *this;  // a private base: converted here, where it is accessible
  spool_ = std::make_unique<EventSpool>(spool_prefix_, *clock_, &spool_observer);
  spool_->StartScanner();

  ReceiverSettings receiving;
  receiving.Decoding.Log = settings_.Log;
  receiving.Decoding.Hex = settings_.Hex;
  receiving.Decoding.VariantRazdel = settings_.VariantRazdel;
  receiving.Decoding.FirstNumber = settings_.FirstNumber;
  receiving.Decoding.Attention = settings_.Attention;
  receiving.QuickAck = settings_.QuickAck;
  receiving.AppendRawLog = RawLogFile(env_.WorkDir);
  // Copies of one IniFile share what it read: the file is read once at
  // start-up, and again by whoever first finds it changed.
  receiving.LookupRazdel = [ini](const std::string& key) { return LookupRazdel(ini, key); };
  receiver_->Begin(std::move(receiving), *spool_);

  // The server link starts before the port, which may fail and keep failing.
  LinkSettings link_settings;
  link_settings.FirstNumber = settings_.FirstNumber;
  LinkOutlets link_outlets;
  link_outlets.ReadServerAddress = [ini] {
    const ServerHostSettings host = ReadServerHost(ini);
    return ServerAddress{host.Address, host.Port};
  };
  link_outlets.CurrentPortState = [this] { return port_state_.Get(); };
  link_outlets.Outbox = spool_.get();
  LinkObserver& observer = *this;  // a private base: converted here, where it is accessible
  link_ = std::make_unique<ServerLink>(*clock_, dispatcher_, observer, link_settings, std::move(link_outlets));
  spool_->AttachWake([link = link_.get()] { link->Wake(); });
  link_->Start();
  ScheduleDueWork();

  if (settings_.ComPort == kNoPort) {
    SetMode(PortMode::Stopped);
  } else if (const auto why = OpenPort(settings_.ComPort)) {
    const std::string failure = PortFailure(settings_.ComPort, *why);
    ShowStatus(failure);
    retry_failure_shown_ = true;
    EnterRetrying();
    AnnouncePortState();
    PublishView();
    Warn(std::string(kPortBusyAtStart) + " " + failure);
    return;
  } else {
    ShowStatus(PortText(settings_.ComPort) + " открыт.");
    SetMode(PortMode::Open);
    AnnouncePortState();
  }
  PublishView();
}

std::string Station::PortFailure(const std::string& name, const std::error_code& error) const {
  return PortFailureText(name, error, IsPermissionError(error) ? ports_->PermissionAdvice(name) : std::string());
}

void Station::CheckSpoolFolder() {
  if (ended_) return;
  const std::string folder(FolderPart(spool_prefix_));
  const std::string shown = InWorkDir(folder);
  if (const std::error_code error = CheckFolderWritable(folder)) {
    if (!std::exchange(spool_folder_failed_, true)) {
      ShowStatus(SpoolFolderFailureText(shown, error));
      LogError(kSpoolFolderErrorNumber);
    }
    // A disk that comes later (a mount, an adapter) is noticed by itself.
    if (!folder_timer_) folder_timer_ = env_.Loop->StartTimer(kSpoolFolderRetry, [this] { CheckSpoolFolder(); });
    return;
  }
  if (folder_timer_) env_.Loop->StopTimer(*std::exchange(folder_timer_, std::nullopt));
  if (std::exchange(spool_folder_failed_, false)) ShowStatus("Папка очереди " + shown + " снова доступна.");
}

std::vector<std::string> Station::ScanPorts() { return receiver_->Scan(*ports_); }

std::optional<std::error_code> Station::OpenPort(const std::string& name, bool raise_dtr) {
  const std::optional<std::error_code> why = receiver_->Open(name, raise_dtr);
  PublishPortState();
  return why;
}

void Station::StartPort(const std::string& name) {
  if (!Started() || ended_ || mode_ != PortMode::Stopped) return;
  port_name_ = name;
  if (const auto why = OpenPort(name, true)) {
    const std::string failure = PortFailure(name, *why);
    ShowStatus(failure);
    PublishView();
    Warn(std::string(kPortBusy) + " " + failure);
    Rescan();
  } else {
    ShowStatus(PortText(name) + " открыт оператором.");
    SetMode(PortMode::Open);
  }
  // Every press of the button tells the server where the port stands.
  PostPortStateNotice();
  PublishView();
}

void Station::StopPort() {
  if (!Started() || ended_ || mode_ == PortMode::Stopped) return;
  AskCloseCode([this](const std::optional<std::string>& code) { StopPortWithCode(code); });
}

void Station::StopPortWithCode(const std::optional<std::string>& code) {
  if (ended_ || mode_ == PortMode::Stopped) return;  // ended while the question was up
  if (code && *code == close_code_) {
    receiver_->Close();
    ShowStatus(PortText(port_name_) + " остановлен оператором.");
    SetMode(PortMode::Stopped);
  } else if (code) {
    ShowStatus(FailureText(kStopDenied));
    Warn(kStopDenied);
  } else {
    ShowStatus(kStopCancelled);
  }
  PostPortStateNotice();
  PublishView();
}

void Station::StartOrStopPort(const std::string& name) {
  if (mode_ == PortMode::Stopped) {
    StartPort(name);
  } else {
    StopPort();
  }
}

void Station::SelectPort(const std::string& name) {
  if (!Started() || ended_ || mode_ != PortMode::Stopped) return;
  port_name_ = name;
  try {
    WriteComPort(SettingsFile(), name);
  } catch (const std::exception&) {
    // The choice stays the window's only; the file keeps the old one.
    LogError(kErrorPortSelection);
    PublishView();
    return;
  }
  settings_.ComPort = name;
  ShowStatus("Выбран порт " + name + ".");
  PostPortStateNotice();
  PublishView();
}

void Station::Rescan() {
  if (ended_ || mode_ != PortMode::Stopped) return;
  port_choices_ = ScanPorts();
  SelectPort(port_choices_.empty() ? std::string() : port_choices_.front());
  PublishView();
}

bool Station::Close() {
  if (ended_) return true;
  AskCloseCode([this](const std::optional<std::string>& code) { CloseWithCode(code); });
  return ended_;
}

void Station::CloseWithCode(const std::optional<std::string>& code) {
  if (ended_) return;  // ended while the question was up
  if (code && *code == close_code_) {
    ShowStatus(kClosedByOperator);
    End();
  } else if (code) {
    ShowStatus(kCloseDenied);
    Warn(kCloseDenied);
  } else {
    ShowStatus(kCloseCancelled);
  }
}

void Station::AskCloseCode(const StationFace::CloseCodeAnswer& then) {
  if (face_.AskCloseCodeLater(then)) return;
  then(face_.AskCloseCode());
}

void Station::PublishPortState() {
  port_state_.Set({ports_->NoticeName(settings_.ComPort), receiver_->IsOpen()});
}

void Station::PostPortStateNotice() {
  // Before the link exists there is nobody to tell.
  if (!link_) return;
  PublishPortState();
  const PortState state = port_state_.Get();
  link_->PostFrame(cmd_port_state, PortStatePayload(state.Name, state.Open));
}

void Station::AnnouncePortState() {
  // A connection made from now on tells the server in its handshake; only
  // one made already needs a notice (queued before a connection, it would go
  // out ahead of the registration).
  if (link_ && link_->LinkUp()) PostPortStateNotice();
}

void Station::SetMode(PortMode mode) {
  mode_ = mode;
  if (mode != PortMode::Retrying && retry_timer_) env_.Loop->StopTimer(*std::exchange(retry_timer_, std::nullopt));
  PublishPortState();
  ViewChanged();
}

void Station::EnterRetrying() {
  SetMode(PortMode::Retrying);
  if (!retry_timer_) retry_timer_ = env_.Loop->StartTimer(kPortRetry, [this] { RetryPort(); });
}

void Station::RetryPort() {
  if (mode_ != PortMode::Retrying) return;
  if (const auto why = OpenPort(settings_.ComPort)) {
    // Told once, not every 5 s for as long as the adapter stays away.
    if (!std::exchange(retry_failure_shown_, true)) ShowStatus(PortFailure(settings_.ComPort, *why));
    return;
  }
  retry_failure_shown_ = false;
  ShowStatus(PortText(settings_.ComPort) + " открыт.");
  SetMode(PortMode::Open);
  AnnouncePortState();
}

void Station::LineLost() {
  if (ended_) return;
  ShowStatus(PortText(settings_.ComPort) + " потерян.");
  retry_failure_shown_ = false;
  EnterRetrying();
  AnnouncePortState();
}

void Station::ScheduleDueWork() {
  if (ended_ || !spool_) return;
  // The work is due when the watchdog's verdict can change, and when the
  // spool has a check due (a record awaiting the server's confirmation, a
  // disk that refuses files); else the program sleeps. A wall clock that
  // jumps is caught within kMaxDueGap.
  std::int64_t due = kMaxDueGap.count();
  const std::int64_t quiet_after =
      MsFromDateTime(receiver_->LastHeard()) + settings_.Attention.count() - MsFromDateTime(clock_->Now());
  if (receiver_->Heard()) {
    due = std::min(due, quiet_after + 1);
  } else if (quiet_after >= 0) {
    due = std::min<std::int64_t>(due, kDuePeriod.count());  // it turns online at the next look
  }
  if (const auto check = spool_->MsUntilCheck()) due = std::min(due, *check);
  due = std::max<std::int64_t>(due, 1);
  if (due_timer_) env_.Loop->StopTimer(*due_timer_);
  due_timer_ = env_.Loop->StartTimer(std::chrono::milliseconds(due), [this] {
    if (due_timer_) env_.Loop->StopTimer(*std::exchange(due_timer_, std::nullopt));
    DueWork();
  });
}

void Station::EmitSpoolReports() {
  try {
    if (spool_) spool_->EmitReports();
  } catch (const std::exception& e) {
    Failure(e.what());
  }
  ViewChanged();
}

void Station::DueWork() {
  if (!spool_) return;
  struct Next {
    Station& station;
    ~Next() { station.ScheduleDueWork(); }
  } next{*this};
  try {
    spool_->CheckStep();
    if (receiver_->Watch()) {
      // The first turn online at start-up is no news; later changes are.
      if (!receiver_->Heard()) {
        station_went_quiet_ = true;
        ShowStatus(kStationQuiet);
      } else if (station_went_quiet_) {
        ShowStatus(kStationBack);
      }
    }
  } catch (const std::exception& e) {
    Failure(e.what());
  }
  // The backlog also moves without a word to the main thread (the scanner
  // finds files); the view follows at least at every due time.
  ViewChanged();
}

void Station::ReceiverSpoke() {
  // The receiver spoke (or a record awaits the server): the next check moves.
  ScheduleDueWork();
  ViewChanged();
}

void Station::ReceiverFailure(const std::string& message) { Failure(message); }

void Station::ReportsWaiting() {
  // Told on the loop's thread soon, not at a due time that may be far off.
  dispatcher_.Post([this] { EmitSpoolReports(); });
}

bool Station::ServerTakesEvents() { return link_ && link_->LinkUp() && link_->Accepted(); }

void Station::ServerVerdict(std::uint64_t ticket, bool confirmed) {
  dispatcher_.Post([this, ticket, confirmed] { GiveVerdict(ticket, confirmed); });
}

void Station::GiveVerdict(std::uint64_t ticket, bool confirmed) {
  if (ended_) return;
  receiver_->ServerVerdict(ticket, confirmed);
  ViewChanged();
}

std::size_t Station::End() {
  if (ended_) return spool_ ? spool_->WaitingCount() : 0;
  ended_ = true;
  for (auto* timer : {&due_timer_, &retry_timer_, &view_timer_, &folder_timer_}) {
    if (*timer) env_.Loop->StopTimer(*std::exchange(*timer, std::nullopt));
  }
  receiver_->Close();
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

void Station::Report(const LinkReport& report) { ShowStatus(report.Text); }

void Station::ShowStatus(const std::string& text) {
  face_.ShowStatus(clock_->Now(), text);
  // What a status line tells (the link's attempts and their ends among it)
  // may show in the view too.
  ViewChanged();
}

void Station::Warn(const std::string& text) { face_.ShowWarning(clock_->Now(), text); }

void Station::Failure(const std::string& message) { face_.ShowFailure(FailureText(message)); }

void Station::LogError(std::int32_t number) {
  try {
    error_log_.LogError(number);
  } catch (const std::exception& e) {
    Failure(e.what());
  }
}

void Station::PulseIndicator() {
  if (++server_pulse_ > kPulseWrap) server_pulse_ = 0;
  ViewChanged();
}

void Station::ViewChanged() {
  if (ended_ || view_timer_) return;
  const std::int64_t since = clock_->MonotonicMs() - last_view_ms_;
  // A change after a quiet spell goes out at once (the server's sign of
  // life, twice a second, needs no timer); one soon after the last waits.
  if (since >= kViewPeriod.count()) {
    PublishView();
    return;
  }
  view_timer_ = env_.Loop->StartTimer(std::chrono::milliseconds(kViewPeriod.count() - since), [this] {
    if (view_timer_) env_.Loop->StopTimer(*std::exchange(view_timer_, std::nullopt));
    PublishView();
  });
}

void Station::PublishView() {
  if (view_timer_) env_.Loop->StopTimer(*std::exchange(view_timer_, std::nullopt));
  last_view_ms_ = clock_->MonotonicMs();
  StationView view = BuildView();
  if (view == view_) return;
  view_ = std::move(view);
  face_.ShowView(view_);
}

StationView Station::BuildView() const {
  StationView v;
  v.PortName = port_name_;
  v.Port = mode_;
  v.PortChoices = port_choices_;
  const bool stopped = mode_ == PortMode::Stopped;
  v.PortCommand = stopped ? kCommandStart : kCommandStop;
  v.PortChoiceOpen = stopped;
  // A port that is not open cannot hear the receiver, whatever the watchdog says.
  v.ReceiverHeard = receiver_->Heard() && receiver_->IsOpen();
  v.ReceiverPulse = receiver_->Pulse();
  v.ReceiverLastHeard = receiver_->LastHeard();
  v.LastAcknowledged = receiver_->LastAcknowledged();
  if (link_) {
    v.Link = link_->Accepted()     ? LinkMode::Accepted
             : link_->LinkUp()     ? LinkMode::Up
             : link_->Connecting() ? LinkMode::Connecting
                                   : LinkMode::Down;
  }
  v.ServerPulse = server_pulse_;
  v.StartedAt = started_at_;
  v.CloseCode = close_code_;
  if (spool_) {
    const EventSpool::Backlog backlog = spool_->BacklogNow();
    v.Waiting = backlog.Waiting;
    v.OldestWaiting = backlog.Oldest;
    v.LastConfirmed = backlog.LastConfirmed;
  }
  return v;
}

}  // namespace orvent
