#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "delivery/loop_dispatcher.h"
#include "delivery/server_link.h"
#include "delivery/spool_observer.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/folder_lock.h"
#include "platform/serial_device.h"
#include "receiver/receiver_link.h"
#include "station/error_log.h"
#include "station/health.h"
#include "station/repeat_rule.h"
#include "station/settings.h"
#include "station/station_view.h"

namespace orvent {

class EventSpool;

// What the station is started with; tests replace the machine's parts.
struct StationEnvironment {
  std::string WorkDir;           // the working directory at start-up
  EventLoop* Loop = nullptr;     // the main thread's loop; required
  const Clock* clock = nullptr;  // the system's clocks when null
  SerialPorts* ports = nullptr;  // the machine's serial ports when null
  // Draws the close code, a number from 10000 to 99998; the system's random
  // source when empty.
  std::function<std::uint32_t()> DrawCloseCode;
  // Whether the face lets the operator pick a port. Only then are the ports
  // listed at start-up: listing opens every port for a moment, which a
  // station without a port choice (orvent-service) has no reason to do.
  bool OffersPortChoice = true;
};

// What the station shows and asks through its face (a window, or standard
// error). Every call comes on the loop's thread. A face draws and asks; it
// decides nothing.
class StationFace {
public:
  virtual ~StationFace() = default;
  // What the face shows changed. Coalesced: at most every kViewPeriod for
  // what the station sees happen, at once after an operator's command.
  virtual void ShowView(const StationView& view) = 0;
  // A status line, stamped with the local time it was said at.
  virtual void ShowStatus(TDateTime at, Priority priority, const std::string& text) = 0;
  // A warning that the operator should see and close. Its words were a
  // status line already: a face without a window has nothing more to do.
  virtual void ShowWarning(TDateTime at, const std::string& text) = 0;
  // A failure of the station's handling that the operator must see (the raw
  // log cannot be written, a zone that is no number); worded already.
  virtual void ShowFailure(const std::string& text) = 0;
  // Asks the operator for the close code: what was typed, or nullopt when
  // the question was cancelled or nobody can be asked.
  virtual std::optional<std::string> AskCloseCode() = 0;

  using CloseCodeAnswer = std::function<void(std::optional<std::string>)>;
  // A face whose question must leave the station's loop running (a window
  // whose messages come through that very loop, so that alarms go on being
  // acknowledged while the operator types) asks here and hands the answer
  // on later, on the loop's thread, at most once; true then. False: the
  // station asks through AskCloseCode, which holds it until answered.
  virtual bool AskCloseCodeLater(const CloseCodeAnswer& answer) {
    static_cast<void>(answer);
    return false;
  }
};

// The station: the receiver driver without its face. It takes the
// operator's and the system's commands, owns the close code, the port state
// and its notices, the reopening of a port that failed or was lost, the
// start-up order and the orderly end; it words every status line and
// warning; and it shows one view through its face. The window program and
// orvent-service are two faces over it.
//
// Runs on the loop's thread, apart from the server link's own thread.
class Station final : private LinkObserver, private ReceiverObserver, private SpoolObserver {
public:
  // A port that failed to open, or whose line was lost, is tried again this often.
  static constexpr std::chrono::milliseconds kPortRetry{5000};
  // A spool folder that cannot take files is looked at again this often.
  static constexpr std::chrono::milliseconds kSpoolFolderRetry{5000};
  // The settings file is looked at this often for changes and failures.
  static constexpr std::chrono::milliseconds kSettingsCheck{5000};
  // How often the due work looks while the receiver's verdict may turn.
  static constexpr std::chrono::milliseconds kDuePeriod{200};
  // The longest rest of the due work, so that a wall clock set forward is
  // noticed by the watchdog.
  static constexpr std::chrono::milliseconds kMaxDueGap{10000};
  // What the station sees happen reaches the face at most this often.
  static constexpr std::chrono::milliseconds kViewPeriod{100};

  Station(StationEnvironment env, StationFace& face);
  // Ends in order if End has not run.
  ~Station() override;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Commands of the operator and of the system.

  // Start-up: takes the working folder's lock (false, with a status line,
  // when another program holds it: nothing else is touched then, and the
  // face shows Refusal() where someone may see it and ends the program
  // with a failure), lists the ports for a face that
  // offers the choice (before anything may store one), reads section
  // `main`, starts the spool and the server link, then opens the configured
  // port. Nothing waits for a person: a port that fails is a status line
  // and a warning, and is tried again every kPortRetry.
  bool Start();
  // Opens the port under `name`. When it fails: the reason, a warning and a
  // new scan; no retries follow.
  void StartPort(const std::string& name);
  // Asks for the close code and, when it is right, closes the port; no
  // retries follow. A wrong code is a warning; a cancelled question is none.
  void StopPort();
  // The one start/stop button: stops a running port, starts a stopped one
  // under `name`.
  void StartOrStopPort(const std::string& name);
  // The operator picked a port while it is stopped: stored as `ComPort` and
  // announced. A choice that cannot be stored is logged as error 19.
  void SelectPort(const std::string& name);
  // Lists the ports again and selects the first found (only while stopped).
  void Rescan();
  // The operator asks to close the program: asks for the close code and,
  // when it is right, ends in order; true when it has ended. A wrong code is
  // a warning. A face that answers later sees Ended() once it has answered.
  bool Close();
  // The orderly end, with no question asked (a request of the system):
  // the port closes, the link stops, the spool writes what it holds.
  // Returns the records still waiting in the spool. Runs once.
  std::size_t End();

  // What the face shows, as last handed to it.
  const StationView& View() const { return view_; }
  bool Started() const { return link_ != nullptr; }
  bool Ended() const { return ended_; }
  // Why Start refused to run; empty when it did not.
  const std::string& Refusal() const { return refusal_; }
  const MainSettings& Settings() const { return settings_; }
  const std::string& WorkDir() const { return env_.WorkDir; }

  // The parts, for tests and the benchmarks.
  SerialPacketDriver& PacketDriver() { return receiver_->PacketDriver(); }
  ServerLink* Link() const { return link_.get(); }
  EventSpool* Spool() const { return spool_.get(); }
  MessageDecoder* Decoder() const { return receiver_->Decoder(); }

private:
  // LinkObserver: a status line of the link, on the loop's thread.
  void Report(const LinkReport& report) override;
  void PulseIndicator() override;
  // SpoolObserver: a status line of the spool.
  void ShowStatus(const std::string& text) override;

  // ReceiverObserver: the receiver link's calls.
  void ReceiverSpoke() override;
  void LineLost() override;
  void ReceiverFailure(const std::string& message) override;
  // ReceiverObserver and SpoolObserver: a number for the error log.
  void LogError(std::int32_t number) override;

  // SpoolObserver; the first and the last come from any thread and only post.
  void ReportsWaiting() override;
  bool ServerTakesEvents() override;
  void ServerVerdict(std::uint64_t ticket, bool confirmed) override;
  // The spool's verdict on a record that awaited the server, on the loop's thread.
  void GiveVerdict(std::uint64_t ticket, bool confirmed);
  // The timed work: the spool's checks and the receiver watchdog, at the
  // times it has something to do.
  void DueWork();
  void ScheduleDueWork();
  void EmitSpoolReports();

  IniFile SettingsFile() const;
  // A folder or prefix as the operator reads it: empty is the working directory.
  std::string InWorkDir(const std::string& path) const;
  // Whether the spool's folder takes files: a status line and an error-log
  // entry when it stops doing so, a line when it does again; looked at
  // again every kSpoolFolderRetry while it does not.
  void CheckSpoolFolder();
  // The settings file changed or fails: what applies now is told.
  void CheckSettings();
  // What the receiver's last lines left behind: the raw log's and the ACK
  // writes' failures, told once per change.
  void CheckReceiver();
  // A port's failure as the status line and the warning tell it.
  std::string PortFailure(const std::string& name, const std::error_code& error) const;
  // Its reason alone, without advice, for the verdict: "нет такого устройства".
  std::string PortReason(const std::string& name, const std::error_code& error) const;
  std::vector<std::string> ScanPorts();
  // Opens `name`; the reason when it fails.
  std::optional<std::error_code> OpenPort(const std::string& name, bool raise_dtr = false);
  // Asks the close code through the face, then goes on with the answer.
  void AskCloseCode(const StationFace::CloseCodeAnswer& then);
  void StopPortWithCode(const std::optional<std::string>& code);
  void CloseWithCode(const std::optional<std::string>& code);
  void EnterRetrying();
  void RetryPort();
  void SetMode(PortMode mode);
  void PublishPortState();
  // Tells the server the port's name and whether it is open.
  void PostPortStateNotice();
  // Tells the server of a change that no command made (start-up, a lost
  // line, a retry that worked).
  void AnnouncePortState();

  // A status line, stamped now.
  void Say(Priority priority, const std::string& text);
  // A failure that may repeat, told by the repeat rule; and its end, told
  // once when the failure had been told.
  void SayFailure(const std::string& key, Priority priority, const std::string& text);
  void SayEnd(const std::string& key, Priority priority, const std::string& text);
  void Warn(const std::string& text);
  void Failure(const std::string& message);
  Moment NowMoment() const;
  HealthFacts Facts() const;
  // Something the face shows may have changed: the view goes out within
  // kViewPeriod.
  void ViewChanged();
  // The view goes out now, if it changed.
  void PublishView();
  StationView BuildView() const;

  StationEnvironment env_;
  StationFace& face_;
  std::unique_ptr<Clock> own_clock_;
  std::unique_ptr<SerialPorts> own_ports_;
  const Clock* clock_ = nullptr;
  SerialPorts* ports_ = nullptr;
  ErrorLog error_log_;
  MainSettings settings_;
  std::string close_code_;
  TDateTime started_at_ = 0.0;
  std::string port_name_;  // what the face shows as the port
  std::vector<std::string> port_choices_;
  std::unique_ptr<ReceiverLink> receiver_;
  std::unique_ptr<EventSpool> spool_;
  LoopDispatcher dispatcher_;
  SharedPortState port_state_;
  std::unique_ptr<ServerLink> link_;
  std::optional<EventLoop::TimerId> due_timer_;
  std::optional<EventLoop::TimerId> retry_timer_;
  std::optional<EventLoop::TimerId> view_timer_;
  std::optional<EventLoop::TimerId> folder_timer_;
  std::optional<EventLoop::TimerId> settings_timer_;
  std::string spool_prefix_;
  bool spool_folder_failed_ = false;
  PortMode mode_ = PortMode::Stopped;
  // Why the port does not open (or was lost), for the verdict.
  std::string port_failure_;
  bool port_lost_ = false;
  bool port_stopped_by_operator_ = false;
  bool station_went_quiet_ = false;
  std::unique_ptr<FolderLock> folder_lock_;
  std::string refusal_;
  bool starting_ = false;
  std::optional<IniFile> ini_;
  std::uint64_t settings_version_ = 0;
  std::optional<ServerHostSettings> server_host_;
  // The partition table as taken last: a change of it is told.
  struct Fingerprint {
    std::size_t Entries = 0;
    std::size_t Hash = 0;
    bool operator==(const Fingerprint&) const = default;
  };
  static Fingerprint RazdelsFingerprint(const IniFile& ini);
  Fingerprint razdels_;
  RepeatRule repeats_;
  // The server link as the verdict sees it: since when it has not taken
  // events, and whether it failed since then (with the words of it).
  Moment server_away_since_;
  bool server_took_events_ = false;
  bool server_failed_ = false;
  std::string server_failure_;
  bool server_denied_told_ = false;
  std::uint64_t lines_unacknowledged_ = 0;
  std::string last_unacknowledged_;
  std::error_code raw_log_error_;
  std::error_code ack_write_error_;
  std::optional<Health> told_verdict_;
  std::string last_warning_;
  std::optional<std::int64_t> health_recheck_ms_;
  int server_pulse_ = 0;
  std::int64_t last_view_ms_ = 0;
  StationView view_;
  bool ended_ = false;
};

// The status line for a port that would not open, with the system's reason
// and, for a refusal of rights, what can be done about it (`advice`).
std::string PortFailureText(const std::string& name, const std::error_code& error, const std::string& advice = {});
// The reason alone, as the status line gives it: "нет такого устройства".
std::string PortFailureReason(const std::error_code& error, const std::string& advice = {});
// What to do about a device that the system will not open for lack of
// rights: join its group where the group may use it and is not root's,
// else who owns it and how, and how to give the right.
std::string PermissionAdvice(const DeviceAccess& access);
// Why a line from the receiver got no ACK, as the operator reads it.
std::string NoAckText(const NoAck& why);

// What the settings, the port, the server and the spool are at start-up, in
// one status line.
struct StartupFacts {
  std::string SettingsPath;
  std::error_code SettingsError;  // why the file gave no values, if it did not
  SettingsProblems Problems;      // values that did not follow their rule
  SettingsProblems Unknown;       // keys and sections the program does not know
  std::string Port;
  ServerHostSettings Server;
  std::string SpoolFiles;                 // where the spool's files go: "<prefix>*.dd8"
  std::optional<std::uint64_t> FreeBytes;  // room left there
};
std::string StartupLine(const StartupFacts& facts);

// Why a spool folder cannot take files, for a status line.
std::string SpoolFolderFailureText(const std::string& folder, const std::error_code& error);

// A failure's message as the operator reads it: a full stop is added when
// its last character sorts after ".".
std::string FailureText(const std::string& message);

// A close code: five decimal digits, 10000..99998, from the system's random source.
std::uint32_t DrawSystemCloseCode();

}  // namespace orvent
