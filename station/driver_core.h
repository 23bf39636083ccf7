#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "delivery/server_link.h"
#include "delivery/loop_dispatcher.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"
#include "receiver/port_scan.h"
#include "station/error_log.h"
#include "station/settings.h"

namespace orvent {

class EventSpool;
class MessageDecoder;
class TCommPortDriver;
struct ReceivedLine;

// What the core is started with; tests replace the machine's parts.
struct CoreEnvironment {
  std::string WorkDir;           // the working directory at start-up
  EventLoop* Loop = nullptr;     // the main thread's loop; required
  const Clock* clock = nullptr;  // the system's clocks when null
  SerialPorts* ports = nullptr;  // the machine's serial ports when null
};

// What the core shows through its face (the window, or standard error).
// Every call comes on the loop's thread.
class DriverFace {
public:
  virtual ~DriverFace() = default;
  // A status line; the face puts the date and time before it.
  virtual void ShowStatus(const std::string& text) = 0;
  // The station picture's inputs changed: the receiver spoke, went quiet or
  // came back, or the port opened or closed.
  virtual void StationChanged() = 0;
  // The server picture's inputs changed: a sign of life or a change of the link.
  virtual void ServerChanged() = 0;
  // The port was opened, closed or lost, or the operator's choice changed.
  virtual void PortChanged() = 0;
  // A failure of a receiver packet's handling that the operator must see
  // (the raw log cannot be written, a zone that is no number).
  virtual void ReportFailure(const std::string& message) = 0;
};

// The receiver driver without its face: the settings, the serial packet
// driver and the decoder, the spool and the server link, the 200 ms work,
// the port state and its notices, the reopening of a port that failed or
// was lost, and the orderly end. The window program and orvent-service are
// two faces over it; neither holds any of this logic.
//
// Runs on the loop's thread, apart from the link's own thread.
class DriverCore final : private LinkObserver {
public:
  // How the port stands: stopped by the operator (or none configured), open,
  // or waiting to be opened again.
  enum class PortMode { Stopped, Open, Retrying };

  // A port that failed to open, or whose line was lost, is tried again this often.
  static constexpr std::chrono::milliseconds kPortRetry{5000};
  static constexpr std::chrono::milliseconds kTickPeriod{200};
  // The longest sleep of the 200 ms work, so that a wall clock set forward
  // is noticed by the watchdog.
  static constexpr std::chrono::milliseconds kMaxTickGap{10000};

  DriverCore(CoreEnvironment env, DriverFace& face);
  // Ends in order if End has not run.
  ~DriverCore() override;
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // Start-up: reads section `main`, starts the spool and the server link,
  // then opens the configured port. Nothing here waits for a person: when
  // the port fails, the reason is a status line, the port is tried again
  // every 5 s, and the result says so for the face to warn.
  enum class StartResult { PortOpen, NoPort, PortFailed };
  StartResult Start();

  // The operator's start button: opens the port under `name`; false when it
  // fails (the face warns and rescans). No retries follow a failed start.
  bool StartPort(const std::string& name);
  // The operator's stop (after the close code): closes the port, no retries.
  void StopPort();
  // The operator picked a port while stopped: stored as `ComPort` and
  // announced. Raises what storing it raised; the caller logs error 19.
  void SelectPort(const std::string& name);
  // Probes the ports (the port must be closed).
  PortScanResult ScanPorts();
  // Tells the server the port's name and whether it is open.
  void PostPortStateNotice();

  // The timed work: the spool's checks and the receiver watchdog. It runs
  // only when it has something to do: at the watchdog's next deadline and
  // when the spool has a check due. Public for the window's Timer2Timer.
  void Timer2Timer();
  // One line whose start was seen, as if the packet driver handed it over.
  void CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t size);
  // The lines the packet driver found due.
  void CommPortDriver1ReceiveLines(std::span<const ReceivedLine> lines);

  // The orderly end: the port closes, the link stops, the spool writes what
  // it holds. Touches nothing of the face but status lines; returns the
  // records still waiting in the spool. Runs once.
  std::size_t End();

  // State for the face.
  bool Started() const { return link_ != nullptr; }
  PortMode Mode() const { return mode_; }
  bool Running() const { return mode_ != PortMode::Stopped; }
  bool PortOpen() const;
  bool LinkUp() const;
  bool StationOnline() const;
  std::int32_t StationTick() const;
  int ServerActivityCounter() const { return server_activity_; }
  const MainSettings& Settings() const { return settings_; }
  const std::string& WorkDir() const { return env_.WorkDir; }
  const Clock& clock() const { return *clock_; }
  ErrorLog& errorLog() { return error_log_; }

  // The parts, for tests and the benchmarks.
  TCommPortDriver& CommPortDriver1() { return *CommPortDriver1_; }
  ServerLink* Link() const { return link_.get(); }
  EventSpool* Spool() const { return spool_.get(); }
  MessageDecoder* Decoder() const { return decoder_.get(); }

private:
  // LinkObserver: the link's calls, run on the loop's thread.
  void ShowStatus(const std::string& text) override;
  void PulseIndicator() override;
  // The spool's verdict on a record that awaited the server, on the loop's thread.
  void ServerVerdict(std::uint64_t ticket, bool confirmed);

  IniFile SettingsFile() const;
  // Opens `name`; the reason when it fails.
  std::optional<std::error_code> OpenPort(const std::string& name);
  void EnterRetrying();
  void RetryPort();
  void LineLost();
  // Sets the one-shot timer of the next Timer2Timer.
  void ScheduleTick();
  void EmitSpoolReports();
  void SetMode(PortMode mode);
  void PublishPortState();
  // Tells the server of a change the operator did not make (start-up, a
  // lost line, a retry that worked).
  void AnnouncePortState();

  CoreEnvironment env_;
  DriverFace& face_;
  std::unique_ptr<Clock> own_clock_;
  std::unique_ptr<SerialPorts> own_ports_;
  const Clock* clock_ = nullptr;
  SerialPorts* ports_ = nullptr;
  ErrorLog error_log_;
  MainSettings settings_;
  std::unique_ptr<TCommPortDriver> CommPortDriver1_;
  std::unique_ptr<MessageDecoder> decoder_;
  std::unique_ptr<EventSpool> spool_;
  LoopDispatcher dispatcher_;
  SharedPortState port_state_;
  std::unique_ptr<ServerLink> link_;
  std::optional<EventLoop::TimerId> tick_timer_;
  std::optional<EventLoop::TimerId> retry_timer_;
  PortMode mode_ = PortMode::Stopped;
  bool retry_failure_shown_ = false;
  bool station_went_quiet_ = false;
  int server_activity_ = 0;
  bool ended_ = false;
};

// The status line for a port that would not open, with the system's reason.
std::string PortFailureText(const std::string& name, const std::error_code& error);

}  // namespace orvent
