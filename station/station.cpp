#include "station/station.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "delivery/commands.h"
#include "delivery/frame_protocol.h"
#include "delivery/spool.h"
#include "delivery/spool_folder.h"
#include "platform/files.h"
#include "platform/folder_lock.h"
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

// The repeat rule's keys of the failures that may repeat.
constexpr char kPortFailing[] = "port";
constexpr char kServerFailing[] = "server";
constexpr char kServerNotAcknowledging[] = "server-ack";
constexpr char kLinkFailing[] = "link";
constexpr char kDiskFailing[] = "disk";
constexpr char kAckFailing[] = "ack";
constexpr char kSettingsFailing[] = "settings";

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
  if (error == std::errc::no_such_file_or_directory) return "файл не найден";
  if (error == std::errc::permission_denied) return "нет прав на чтение";
  if (error == std::errc::file_too_large) return "больше 1 МБ";
  if (error == std::errc::invalid_argument) return "это не обычный файл";
  if (error == std::errc::is_a_directory) return "это папка";
  return "ошибка " + std::to_string(error.value());
}

// Why a file or a device refused a write, in a few words.
std::string WriteErrorText(const std::error_code& error) {
  if (IsPermissionError(error)) return "нет прав на запись";
  if (error == std::errc::no_space_on_device) return "диск заполнен";
  if (error == std::errc::read_only_file_system) return "диск только для чтения";
  if (error == std::errc::io_error) return "ошибка ввода-вывода";
  if (error == std::errc::is_a_directory) return "это папка";
  if (error == std::errc::timed_out) return "порт не принимает данные";
  if (error == std::errc::no_such_device || error == std::errc::no_such_device_or_address) return "устройство пропало";
  return "ошибка " + std::to_string(error.value());
}

std::string FolderTakenText(const std::string& folder, const std::optional<std::int64_t>& holder) {
  const std::string who = holder ? "драйвер (процесс " + std::to_string(*holder) + ")" : "другой драйвер";
  return "В папке " + folder + " уже работает " + who + ": второй не запускается, чтобы не делить с ним порт и очередь.";
}

// The link's failure in a few words, for the verdict.
std::string ServerFailureWords(const LinkReport& report) {
  switch (report.News) {
    case LinkNews::ConnectFailed: {
      // "Соединение не удалось: <reason>. Сервер <address>." gives the reason.
      std::string_view text = report.Text;
      constexpr std::string_view kLead = "Соединение не удалось: ";
      if (!text.starts_with(kLead)) return "соединение не удалось";
      text.remove_prefix(kLead.size());
      text = text.substr(0, text.find(". "));
      if (text.ends_with('.')) text.remove_suffix(1);
      return std::string(text);
    }
    case LinkNews::NotAccepted: return "сервер не принял станцию вовремя";
    case LinkNews::Lost: return "связь потеряна";
    case LinkNews::NetworkErrors: return "ошибки по сети";
    case LinkNews::ServerDisconnect: return "сервер дал команду на рассоединение";
    case LinkNews::OutOfStep: return "ответ сервера не разобран";
    case LinkNews::Denied: return "доступ запрещён: станция не зарегистрирована на сервере";
    default: break;
  }
  return {};
}

}  // namespace

Station::Fingerprint Station::RazdelsFingerprint(const IniFile& ini) {
  std::string all;
  const auto entries = ini.Entries("Razdels");
  for (const auto& [key, value] : entries) all += key + "=" + value + "\n";
  return {entries.size(), std::hash<std::string>{}(all)};
}

namespace {

Priority PriorityOf(HealthLevel level) {
  switch (level) {
    case HealthLevel::Stopped: return Priority::Error;
    case HealthLevel::Attention: return Priority::Warning;
    case HealthLevel::Working: break;
  }
  return Priority::Info;
}

}  // namespace

std::string PortFailureReason(const std::error_code& error, const std::string& advice) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::no_such_device ||
      error == std::errc::no_such_device_or_address) {
    return "нет такого устройства";
  }
  if (IsPermissionError(error)) return "нет прав на устройство" + (advice.empty() ? "" : " - " + advice);
  if (error == std::errc::device_or_resource_busy) return "занят другой программой";
  if (error == std::errc::inappropriate_io_control_operation) return "это не последовательный порт";
  return "ошибка " + std::to_string(error.value());
}

std::string PortFailureText(const std::string& name, const std::error_code& error, const std::string& advice) {
  const std::string reason = PortFailureReason(error, advice);
  if (reason.starts_with("ошибка ")) return PortText(name) + " не открывается: " + reason + ".";
  return PortText(name) + ": " + reason + ".";
}

std::string PermissionAdvice(const DeviceAccess& a) {
  if (!a.Known) return {};
  if (!a.CharacterDevice) return "это не устройство, а обычный файл";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", a.Mode & 07777u);
  constexpr unsigned kGroupReadWrite = 060;
  const bool group_may = (a.Mode & kGroupReadWrite) == kGroupReadWrite;
  // Joining the group helps only where the group may use the device, and
  // root's group is no group to join.
  if (group_may && a.Group != "root" && !a.UserInGroup) {
    return "добавьте пользователя " + a.User + " в группу " + a.Group + " и войдите заново";
  }
  const std::string owned = "владелец " + a.Owner + ", группа " + a.Group + ", права " + mode;
  if (group_may && a.UserInGroup) {
    return owned + "; пользователь " + a.User + " в группе, но доступ запрещён иначе (ACL, SELinux, AppArmor)";
  }
  return owned + ": дайте группе права на чтение и запись правилом udev (например, GROUP=\"dialout\", "
                 "MODE=\"0660\") и добавьте в неё пользователя " +
         a.User;
}

std::string NoAckText(const NoAck& why) {
  switch (why.Cause) {
    case NoAckCause::NotKept:
      return "событие не сохранено: диск не принимает, сервер не подтвердил";
    case NoAckCause::AckNotWritten:
      return "подтверждение не записано в порт: " + WriteErrorText(why.Error);
    case NoAckCause::Damaged:
      break;
  }
  switch (why.Fault) {
    case LineFault::Incomplete: return "строка без завершающего DC4";
    case LineFault::StartNotSeen: return "начало строки не видно";
    case LineFault::Empty: return "пустая строка";
    case LineFault::ControlByte: return "управляющий байт в строке";
    case LineFault::HighByte: return "байт больше 127 в строке";
    case LineFault::WrongLength: return "строка не той длины";
    case LineFault::FieldShape: return "поля события повреждены";
    case LineFault::DamagedLead: return "повреждён первый символ события";
  }
  return "повреждённая строка";
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
  if (!f.Unknown.empty()) {
    line += "; неизвестные ключи: ";
    for (std::size_t i = 0; i < f.Unknown.size(); ++i) line += (i ? ", " : "") + f.Unknown[i];
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
  server_away_since_ = NowMoment();
}

Station::~Station() { End(); }

IniFile Station::SettingsFile() const { return IniFile(JoinPath(env_.WorkDir, kSettingsFileName)); }

std::string Station::InWorkDir(const std::string& path) const {
  return path.empty() ? JoinPath(env_.WorkDir, "") : path;
}

Moment Station::NowMoment() const { return {clock_->MonotonicMs(), clock_->Now()}; }

bool Station::Start() {
  if (Started() || ended_) return Started();
  // Before anything is touched: a second program on this folder would share
  // the port and the spool with the first.
  FolderLockAttempt lock = LockFolder(env_.WorkDir);
  if (lock.Error == std::errc::device_or_resource_busy) {
    refusal_ = FolderTakenText(InWorkDir(""), lock.Holder);
    Say(Priority::Error, refusal_);
    ended_ = true;
    return false;
  }
  folder_lock_ = std::move(lock.Lock);
  if (lock.Error) {
    // A folder that refuses the lock's file still takes alarms.
    Say(Priority::Warning, "Папку " + InWorkDir("") + " не удалось закрепить за драйвером (" +
                               WriteErrorText(lock.Error) + "): второй драйвер в ней не будет замечен.");
  }

  // The view and its verdict wait for the end of start-up: a port not opened
  // yet is no news.
  starting_ = true;
  close_code_ = std::to_string(env_.DrawCloseCode());
  // Listed before anything is started, so that the listing stores no choice.
  if (env_.OffersPortChoice) port_choices_ = ScanPorts();

  ini_.emplace(SettingsFile());
  const IniFile& ini = *ini_;
  StartupFacts facts;
  settings_ = ReadMainSettings(ini, &facts.Problems);
  server_host_ = ReadServerHost(ini, &facts.Problems);
  facts.Server = *server_host_;
  facts.Unknown = UnknownSettings(ini);
  facts.SettingsPath = ini.Path();
  facts.SettingsError = ini.Check();
  settings_version_ = ini.Version();
  razdels_ = RazdelsFingerprint(ini);
  port_name_ = settings_.ComPort;
  facts.Port = settings_.ComPort == kNoPort ? std::string() : settings_.ComPort;
  spool_prefix_ = SpoolPrefixOf(settings_.PathForSoob);
  facts.SpoolFiles = InWorkDir(spool_prefix_) + "*" + kSpoolFileSuffix;
  facts.FreeBytes = FreeSpaceOf(std::string(FolderPart(spool_prefix_)));
  const bool settings_doubtful = facts.SettingsError || !facts.Problems.empty() || !facts.Unknown.empty();
  Say(settings_doubtful ? Priority::Warning : Priority::Info, StartupLine(facts));
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
  server_away_since_ = NowMoment();
  link_->Start();
  ScheduleDueWork();
  settings_timer_ = env_.Loop->StartTimer(kSettingsCheck, [this] { CheckSettings(); });

  if (settings_.ComPort == kNoPort) {
    SetMode(PortMode::Stopped);
  } else if (const auto why = OpenPort(settings_.ComPort)) {
    const std::string failure = PortFailure(settings_.ComPort, *why);
    port_failure_ = PortReason(settings_.ComPort, *why);
    SayFailure(kPortFailing, Priority::Error, failure);
    EnterRetrying();
    AnnouncePortState();
    // The view and the verdict are up before the warning, which may wait
    // for a person.
    starting_ = false;
    PublishView();
    Warn(*why == std::errc::device_or_resource_busy ? std::string(kPortBusyAtStart) + " " + failure : failure);
    return true;
  } else {
    SetMode(PortMode::Open);
    Say(Priority::Info, PortText(settings_.ComPort) + " открыт.");
    AnnouncePortState();
  }
  starting_ = false;
  PublishView();
  return true;
}

std::string Station::PortReason(const std::string&, const std::error_code& error) const {
  // Short: the advice is in the status line, which the window keeps in sight.
  return PortFailureReason(error);
}

std::string Station::PortFailure(const std::string& name, const std::error_code& error) const {
  return PortFailureText(name, error, IsPermissionError(error) ? PermissionAdvice(ports_->Access(name)) : std::string());
}

void Station::CheckSpoolFolder() {
  if (ended_) return;
  const std::string folder(FolderPart(spool_prefix_));
  const std::string shown = InWorkDir(folder);
  if (const std::error_code error = CheckFolderWritable(folder)) {
    if (!std::exchange(spool_folder_failed_, true)) {
      Say(Priority::Error, SpoolFolderFailureText(shown, error));
      LogError(kSpoolFolderErrorNumber);
    }
    // A disk that comes later (a mount, an adapter) is noticed by itself.
    if (!folder_timer_) folder_timer_ = env_.Loop->StartTimer(kSpoolFolderRetry, [this] { CheckSpoolFolder(); });
    return;
  }
  if (folder_timer_) env_.Loop->StopTimer(*std::exchange(folder_timer_, std::nullopt));
  if (std::exchange(spool_folder_failed_, false)) Say(Priority::Info, "Папка очереди " + shown + " снова доступна.");
}

void Station::CheckSettings() {
  if (ended_ || !ini_) return;
  const IniFile& ini = *ini_;
  if (const std::error_code failure = ini.Failure()) {
    SayFailure(kSettingsFailing, Priority::Warning,
               "Настройки " + ini.Path() + " не читаются (" + SettingsErrorText(failure) +
                   ") - действуют прежние, до перезапуска и после него, пока файл не станет снова читаемым.");
  } else {
    SayEnd(kSettingsFailing, Priority::Info, "Настройки " + ini.Path() + " снова читаются.");
  }
  const std::uint64_t version = ini.Version();
  if (version != settings_version_) {
    settings_version_ = version;
    // What a change applies to: the partition table at the next alarm, the
    // server at the next connection, the rest at the next start.
    const Fingerprint razdels = RazdelsFingerprint(ini);
    const ServerHostSettings host = ReadServerHost(ini);
    std::vector<std::string> applied;
    if (razdels != razdels_) {
      applied.push_back("таблица разделов (" + CountText(razdels.Entries, "запись", "записи", "записей") +
                        ") - со следующего события");
    }
    if (!server_host_ || host.Address != server_host_->Address || host.Port != server_host_->Port) {
      applied.push_back("сервер " + host.Address + ":" + std::to_string(host.Port) + " - со следующего соединения");
    }
    const MainSettings main = ReadMainSettings(ini);
    if (main.FirstNumber != settings_.FirstNumber || main.PathForSoob != settings_.PathForSoob ||
        main.Attention != settings_.Attention || main.Log != settings_.Log ||
        main.VariantRazdel != settings_.VariantRazdel || main.Hex != settings_.Hex || main.QuickAck != settings_.QuickAck) {
      applied.push_back("раздел [main] - после перезапуска");
    }
    razdels_ = razdels;
    server_host_ = host;
    std::string line = "Настройки " + ini.Path() + " изменены";
    for (std::size_t i = 0; i < applied.size(); ++i) line += (i ? "; " : ": ") + applied[i];
    Say(Priority::Info, line + ".");
  }
  ViewChanged();
}

void Station::CheckReceiver() {
  const std::error_code raw = receiver_->RawLogError();
  if (raw != raw_log_error_) {
    if (raw) {
      Say(Priority::Warning, std::string("Журнал ") + kRawLogFileName + " не записывается (" + WriteErrorText(raw) +
                                 ") - тревоги принимаются и подтверждаются без него.");
      if (!raw_log_error_) LogError(kErrorRawLog);
    } else {
      Say(Priority::Info, std::string("Журнал ") + kRawLogFileName + " снова записывается.");
    }
    raw_log_error_ = raw;
  }
  const std::error_code ack = receiver_->AckWriteError();
  if (ack) {
    if (!ack_write_error_) LogError(kErrorAckWrite);
    SayFailure(kAckFailing, Priority::Error,
               PortText(port_name_) + ": подтверждение не записано (" + WriteErrorText(ack) +
                   ") - приёмник пришлёт строку снова.");
  } else {
    SayEnd(kAckFailing, Priority::Info, PortText(port_name_) + ": подтверждения снова записываются.");
  }
  ack_write_error_ = ack;
  const std::uint64_t unacknowledged = receiver_->LinesLeftUnacknowledged();
  if (unacknowledged != lines_unacknowledged_) {
    lines_unacknowledged_ = unacknowledged;
    if (const std::optional<NoAck> why = receiver_->LastNoAck()) {
      last_unacknowledged_ = ClockText(clock_->Now()) + " " + NoAckText(*why);
    }
  }
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
  port_stopped_by_operator_ = false;
  port_lost_ = false;
  if (const auto why = OpenPort(name, true)) {
    const std::string failure = PortFailure(name, *why);
    port_failure_ = PortReason(name, *why);
    Say(Priority::Error, failure);
    PublishView();
    Warn(*why == std::errc::device_or_resource_busy ? std::string(kPortBusy) + " " + failure : failure);
    Rescan();
  } else {
    port_failure_.clear();
    repeats_.Ended(kPortFailing);
    SetMode(PortMode::Open);
    Say(Priority::Info, PortText(name) + " открыт оператором.");
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
    port_stopped_by_operator_ = true;
    port_lost_ = false;
    port_failure_.clear();
    repeats_.Ended(kPortFailing);
    SetMode(PortMode::Stopped);
    Say(Priority::Warning, PortText(port_name_) + " остановлен оператором.");
  } else if (code) {
    Say(Priority::Warning, FailureText(kStopDenied));
    Warn(kStopDenied);
  } else {
    Say(Priority::Info, kStopCancelled);
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
  Say(Priority::Info, "Выбран порт " + name + ".");
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
    Say(Priority::Info, kClosedByOperator);
    End();
  } else if (code) {
    Say(Priority::Warning, kCloseDenied);
    Warn(kCloseDenied);
  } else {
    Say(Priority::Info, kCloseCancelled);
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
    // Told when it begins and now and then while it lasts, not every 5 s.
    port_failure_ = PortReason(settings_.ComPort, *why);
    SayFailure(kPortFailing, Priority::Error, PortFailure(settings_.ComPort, *why));
    ViewChanged();
    return;
  }
  port_failure_.clear();
  port_lost_ = false;
  repeats_.Ended(kPortFailing);
  SetMode(PortMode::Open);
  Say(Priority::Info, PortText(settings_.ComPort) + " открыт.");
  AnnouncePortState();
}

void Station::LineLost() {
  if (ended_) return;
  port_lost_ = true;
  port_failure_.clear();
  repeats_.Ended(kPortFailing);
  Say(Priority::Error, PortText(settings_.ComPort) + " потерян.");
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
  // The verdict may turn by time alone (lines unanswered too long, a server
  // away too long, a record waiting too long).
  if (health_recheck_ms_) due = std::min(due, *health_recheck_ms_ - clock_->MonotonicMs());
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
        Say(Priority::Warning, kStationQuiet);
      } else if (station_went_quiet_) {
        Say(Priority::Info, kStationBack);
      }
    }
  } catch (const std::exception& e) {
    Failure(e.what());
  }
  // The backlog also moves without a word to the main thread (the scanner
  // finds files), and the verdict with time: the view follows at least at
  // every due time.
  PublishView();
}

void Station::ReceiverSpoke() {
  CheckReceiver();
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
  CheckReceiver();
  ViewChanged();
}

std::size_t Station::End() {
  if (ended_) return spool_ ? spool_->WaitingCount() : 0;
  ended_ = true;
  for (auto* timer : {&due_timer_, &retry_timer_, &view_timer_, &folder_timer_, &settings_timer_}) {
    if (*timer) env_.Loop->StopTimer(*std::exchange(*timer, std::nullopt));
  }
  receiver_->Close();
  // An event whose answer the link still awaited stays in the spool.
  if (link_) link_->Stop();
  if (!spool_) {
    folder_lock_.reset();
    return 0;
  }
  // Records the disk refused and the server did not confirm were never
  // acknowledged: the receiver still has them.
  spool_->Close();
  try {
    spool_->EmitReports();
  } catch (const std::exception& e) {
    Say(Priority::Error, e.what());
  }
  const std::size_t waiting = spool_->WaitingCount();
  Say(Priority::Info, kEnded + std::to_string(waiting) + ".");
  // The folder is free for the next program only once this one has let go
  // of the spool.
  folder_lock_.reset();
  return waiting;
}

void Station::Say(Priority priority, const std::string& text) {
  const TDateTime now = clock_->Now();
  if (priority != Priority::Info) last_warning_ = StampText(now) + " " + text;
  face_.ShowStatus(now, priority, text);
  // What a status line tells (the link's attempts and their ends among it)
  // may show in the view too.
  ViewChanged();
}

void Station::SayFailure(const std::string& key, Priority priority, const std::string& text) {
  if (const auto line = repeats_.Failed(key, text, NowMoment())) Say(priority, *line);
}

void Station::SayEnd(const std::string& key, Priority priority, const std::string& text) {
  if (repeats_.Ended(key)) Say(priority, text);
}

void Station::ShowStatus(const std::string& text) {
  // The spool's lines: its disk refusing records (said again every minute
  // while it lasts, which the repeat rule thins out), its end, and others.
  if (text == kSpoolWriteFailedStatus) {
    SayFailure(kDiskFailing, Priority::Error, text);
  } else if (text == kSpoolWriteBackStatus) {
    repeats_.Ended(kDiskFailing);
    Say(Priority::Info, text);
  } else {
    Say(Priority::Warning, text);
  }
}

void Station::Report(const LinkReport& report) {
  if (ended_) return;
  switch (report.News) {
    case LinkNews::Connecting:
    case LinkNews::Connected:
      // While the link fails, its attempts are part of the failure.
      if (!repeats_.Failing(kServerFailing)) Say(Priority::Info, report.Text);
      break;
    case LinkNews::Accepted:
      repeats_.Ended(kServerFailing);
      server_failed_ = false;
      server_failure_.clear();
      Say(Priority::Info, report.Text);
      break;
    case LinkNews::ConnectFailed:
    case LinkNews::NotAccepted:
    case LinkNews::Lost:
    case LinkNews::NetworkErrors:
    case LinkNews::ServerDisconnect:
    case LinkNews::OutOfStep:
      server_failed_ = true;
      server_failure_ = ServerFailureWords(report);
      SayFailure(kServerFailing, Priority::Warning, report.Text);
      break;
    case LinkNews::Denied:
      server_failed_ = true;
      server_failure_ = ServerFailureWords(report);
      server_denied_told_ = repeats_.Failed(kServerFailing, report.Text, NowMoment()).has_value();
      if (server_denied_told_) Say(Priority::Error, report.Text);
      break;
    case LinkNews::DeniedRetry:
      // What to do goes with the denial, when that was told.
      if (server_denied_told_) Say(Priority::Error, report.Text);
      break;
    case LinkNews::NotAcknowledging:
      SayFailure(kServerNotAcknowledging, Priority::Warning, report.Text);
      break;
    case LinkNews::AcknowledgingAgain:
      SayEnd(kServerNotAcknowledging, Priority::Info, report.Text);
      break;
    case LinkNews::Unforeseen:
      SayFailure(kLinkFailing, Priority::Error, report.Text);
      break;
  }
  ViewChanged();
}

void Station::Warn(const std::string& text) { face_.ShowWarning(clock_->Now(), text); }

void Station::Failure(const std::string& message) { face_.ShowFailure(FailureText(message)); }

void Station::LogError(std::int32_t number) {
  if (const std::error_code error = error_log_.LogError(number)) {
    Say(Priority::Warning, "Ошибка №" + std::to_string(number) + " не записана в " + error_log_.Path() + " (" +
                               WriteErrorText(error) + ").");
  }
}

void Station::PulseIndicator() {
  if (++server_pulse_ > kPulseWrap) server_pulse_ = 0;
  ViewChanged();
}

void Station::ViewChanged() {
  if (ended_ || starting_ || view_timer_) return;
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
  if (ended_ || starting_) return;
  last_view_ms_ = clock_->MonotonicMs();
  // The server stopped taking events: its time away counts from now.
  const bool takes = ServerTakesEvents();
  if (server_took_events_ && !takes) server_away_since_ = NowMoment();
  server_took_events_ = takes;

  const HealthVerdict health = DecideHealth(Facts());
  const bool recheck_sooner =
      health.RecheckAtMs && (!health_recheck_ms_ || *health.RecheckAtMs < *health_recheck_ms_);
  health_recheck_ms_ = health.RecheckAtMs;
  if (recheck_sooner) ScheduleDueWork();
  // A verdict line when the level or the causes change; a working station's
  // words may change (the server accepts it) without news.
  const Health& verdict = health.Verdict;
  const auto told = [](const Health& h) { return h.Level == HealthLevel::Working ? Health{h.Level, {}} : h; };
  if (!told_verdict_ || told(*told_verdict_) != told(verdict)) {
    face_.ShowStatus(clock_->Now(), PriorityOf(verdict.Level), HealthLine(verdict) + ".");
  }
  told_verdict_ = verdict;
  if (verdict.Level == HealthLevel::Working) last_warning_.clear();

  StationView view = BuildView();
  view.Verdict = verdict;
  if (view == view_) return;
  view_ = std::move(view);
  face_.ShowView(view_);
}

HealthFacts Station::Facts() const {
  HealthFacts f;
  f.Now = NowMoment();
  f.PortName = port_name_;
  f.PortFailure = port_failure_;
  switch (mode_) {
    case PortMode::Open:
      f.Port = PortHealth::Open;
      break;
    case PortMode::Retrying:
      f.Port = port_lost_ ? PortHealth::Lost : PortHealth::WontOpen;
      break;
    case PortMode::Stopped:
      if (port_stopped_by_operator_) {
        f.Port = PortHealth::StoppedByOperator;
      } else if (!port_failure_.empty()) {
        f.Port = PortHealth::WontOpen;
      } else if (port_name_.empty() || port_name_ == kNoPort) {
        f.Port = PortHealth::NotConfigured;
      } else {
        f.Port = PortHealth::NotStarted;
      }
      break;
  }
  // Quiet for longer than its attention time, as the watchdog judges it.
  f.ReceiverLastHeard = receiver_->LastHeard();
  f.ReceiverQuiet = MsFromDateTime(f.Now.At) > MsFromDateTime(f.ReceiverLastHeard) + settings_.Attention.count();
  if (const auto since = receiver_->UnansweredSinceMs()) {
    f.UnansweredSince = Moment{*since, DateTimeFromMs(MsFromDateTime(f.Now.At) - (f.Now.Ms - *since))};
    if (const auto why = receiver_->LastNoAck()) f.UnansweredWhy = NoAckText(*why);
  }
  if (raw_log_error_) f.RawLogFailure = WriteErrorText(raw_log_error_);
  f.DiskRefuses = spool_folder_failed_ || (spool_ && spool_->WriteFailing());
  f.ServerTakesEvents = link_ && link_->LinkUp() && link_->Accepted();
  f.ServerAwaySince = server_away_since_;
  f.ServerFailed = server_failed_;
  f.ServerFailure = server_failure_;
  if (server_host_) f.ServerAddress = server_host_->Address + ":" + std::to_string(server_host_->Port);
  f.ServerNotAcknowledging = link_ && link_->EventsUnacknowledged();
  if (spool_) f.OldestWaiting = spool_->BacklogNow().Oldest;
  if (repeats_.Failing(kSettingsFailing) && ini_) f.SettingsFailure = SettingsErrorText(ini_->Failure());
  return f;
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
  // The pictures: the receiver's red without an open port, amber while a
  // line waits for its answer or the receiver is quiet; the server's red
  // while the link is down, amber while it connects or is not yet accepted
  // or sent records go unacknowledged.
  if (!receiver_->IsOpen()) {
    v.ReceiverPicture = HealthLevel::Stopped;
  } else if (receiver_->UnansweredSinceMs() || !v.ReceiverHeard) {
    v.ReceiverPicture = HealthLevel::Attention;
  } else {
    v.ReceiverPicture = HealthLevel::Working;
  }
  switch (v.Link) {
    case LinkMode::Down: v.ServerPicture = HealthLevel::Stopped; break;
    case LinkMode::Connecting:
    case LinkMode::Up: v.ServerPicture = HealthLevel::Attention; break;
    case LinkMode::Accepted:
      v.ServerPicture = link_ && link_->EventsUnacknowledged() ? HealthLevel::Attention : HealthLevel::Working;
      break;
  }
  v.LinesUnacknowledged = lines_unacknowledged_;
  v.LastUnacknowledged = last_unacknowledged_;
  v.LastWarning = last_warning_;
  return v;
}

}  // namespace orvent
