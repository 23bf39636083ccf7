#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "station/health.h"

namespace orvent {

// How the serial port stands: stopped by the operator (or none configured),
// open, or waiting to be opened again after a failure or a lost line.
enum class PortMode { Stopped, Open, Retrying };

// How much a status line matters: what the system's journal files it under
// (error, warning, information).
enum class Priority { Error, Warning, Info };

// How the server link stands.
enum class LinkMode {
  Down,        // no connection, and none being made
  Connecting,  // an attempt is under way
  Up,          // connected, registration not yet accepted
  Accepted,    // the server takes events
};

// Everything a face shows of the station, as one plain value. The station
// builds it and hands it to its face whenever any of it changes; a face
// draws it and decides nothing. Times are local date-times (days since
// 1899-12-30).
struct StationView {
  // The port: its name as the settings hold it (or as the operator picked
  // it), how it stands, and the choices the last scan found.
  std::string PortName;
  PortMode Port = PortMode::Stopped;
  std::vector<std::string> PortChoices;
  // The start/stop button's caption, and whether the operator may pick a
  // port and scan (only while the port is stopped).
  std::string PortCommand;
  bool PortChoiceOpen = true;

  // The receiver: heard within its attention time on an open port, a
  // counter that moves at every message it sends (0..16), and when it was
  // heard last (0: never).
  bool ReceiverHeard = false;
  int ReceiverPulse = 0;
  TDateTime ReceiverLastHeard = 0.0;

  // The server link, and a counter that moves at every sign of life (0..16).
  LinkMode Link = LinkMode::Down;
  int ServerPulse = 0;

  TDateTime StartedAt = 0.0;
  std::string CloseCode;

  // The backlog: records waiting for the server (on disk, or held while the
  // server is asked to confirm them), the receive time of the oldest, and the
  // receive times of the last alarm acknowledged to the receiver and of the
  // last record the server confirmed.
  std::size_t Waiting = 0;
  std::optional<TDateTime> OldestWaiting;
  std::optional<TDateTime> LastAcknowledged;
  std::optional<TDateTime> LastConfirmed;

  // The station's health, and the colours of the two link pictures.
  Health Verdict;
  HealthLevel ReceiverPicture = HealthLevel::Stopped;
  HealthLevel ServerPicture = HealthLevel::Stopped;
  // Lines from the receiver left without an ACK since the start, and the
  // last of them: when, and why ("10:14:03 строка не той длины").
  std::uint64_t LinesUnacknowledged = 0;
  std::string LastUnacknowledged;
  // The last warning or error line, with its time, kept in sight until the
  // station works again (empty then).
  std::string LastWarning;

  bool operator==(const StationView&) const = default;
};

// A local date-time as both faces write it: "11.12.2026 03:40:12", the
// interface's own (Russian) order, with no month names.
std::string StampText(TDateTime t);

// The labels of the state page's other fields, as a window shows them.
inline constexpr char kLabelReceiverLink[] = "Контроль связи со станцией";
inline constexpr char kLabelServerLink[] = "Связь с сервером сообщений";
inline constexpr char kLabelStartedAt[] = "Дата и время запуска";
inline constexpr char kLabelCloseCode[] = "Пароль для закрытия";

// The backlog's labels, as both faces show them beside its fields.
inline constexpr char kLabelWaiting[] = "В очереди";
inline constexpr char kLabelOldestWaiting[] = "Самое раннее";
inline constexpr char kLabelLastAcknowledged[] = "Последнее принятое";
inline constexpr char kLabelLastConfirmed[] = "Последнее подтверждённое";
// The colour both faces give a health level (the verdict's band, the link
// pictures): green, amber, red.
struct Rgb {
  int Red = 0;
  int Green = 0;
  int Blue = 0;
  bool operator==(const Rgb&) const = default;
};
Rgb ColourOf(HealthLevel level);

// The health field's label and the count of unacknowledged lines.
inline constexpr char kLabelHealth[] = "Состояние";
inline constexpr char kLabelUnacknowledged[] = "Без подтверждения";
// The window's own texts, one source for both faces.
inline constexpr char kWindowTitle[] = "Драйвер ORVENT";
inline constexpr char kHeaderTitle[] = "КПО Тарвин 2008 - Драйвер ORVENT";
inline constexpr char kPageState[] = "Состояние";
inline constexpr char kPageSetup[] = "Настройки";
inline constexpr char kLabelPortGroup[] = "Com порт";
inline constexpr char kCommandRescan[] = "Сканировать заново";
inline constexpr char kMenuRestore[] = "Восстановить";
inline constexpr char kMenuClose[] = "Закрыть";
// The close-code question.
inline constexpr char kAccessTitle[] = "Закрытый доступ";
inline constexpr char kAccessPrompt[] = "Введите пароль для доступа";
inline constexpr char kButtonOk[] = "ОК";
inline constexpr char kButtonCancel[] = "Отмена";

// What a face shows for a time that is not there (nothing waits, nothing yet).
inline constexpr char kNoTime[] = "-";

// A backlog field's time as the faces show it: StampText, or kNoTime.
std::string BacklogTimeText(const std::optional<TDateTime>& t);
// The backlog in one line: "В очереди: 3, самое раннее 11.12.2026 03:40:12;
// последнее принятое ...; последнее подтверждённое ...".
std::string BacklogLine(const StationView& view);

// The count of unacknowledged lines with the last one: "2 (последняя: ...)", or "0".
std::string UnacknowledgedText(const StationView& view);
// The verdict and the backlog in one line, as a supervisor shows it.
std::string SupervisorStatus(const StationView& view);

std::ostream& operator<<(std::ostream& out, Priority priority);
std::ostream& operator<<(std::ostream& out, PortMode mode);
std::ostream& operator<<(std::ostream& out, LinkMode mode);
// One line per field, for tests and for anyone reading a log.
std::ostream& operator<<(std::ostream& out, const StationView& view);

}  // namespace orvent
