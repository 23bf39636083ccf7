#include "station/station_view.h"

#include <cstdio>

namespace orvent {
namespace {

void PrintTime(std::ostream& out, const std::optional<TDateTime>& t) {
  if (t) {
    out << *t;
  } else {
    out << "none";
  }
}

}  // namespace

std::string StampText(TDateTime t) {
  const CivilTime c = DecodeDateTime(t);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", c.day, c.month, c.year, c.hour, c.minute, c.second);
  return text;
}

std::string BacklogTimeText(const std::optional<TDateTime>& t) { return t ? StampText(*t) : kNoTime; }

std::string BacklogLine(const StationView& v) {
  std::string line = std::string(kLabelWaiting) + ": " + std::to_string(v.Waiting);
  if (v.OldestWaiting) line += ", самое раннее " + StampText(*v.OldestWaiting);
  line += "; последнее принятое " + BacklogTimeText(v.LastAcknowledged);
  line += "; последнее подтверждённое " + BacklogTimeText(v.LastConfirmed) + ".";
  return line;
}

Rgb ColourOf(HealthLevel level) {
  switch (level) {
    case HealthLevel::Working: return {0, 128, 0};
    case HealthLevel::Attention: return {230, 140, 0};
    case HealthLevel::Stopped: break;
  }
  return {255, 0, 0};
}

std::string UnacknowledgedText(const StationView& v) {
  std::string text = std::to_string(v.LinesUnacknowledged);
  if (!v.LastUnacknowledged.empty()) text += " (последняя: " + v.LastUnacknowledged + ")";
  return text;
}

std::string SupervisorStatus(const StationView& v) { return HealthLine(v.Verdict) + ". " + BacklogLine(v); }

std::ostream& operator<<(std::ostream& out, Priority priority) {
  switch (priority) {
    case Priority::Error: return out << "error";
    case Priority::Warning: return out << "warning";
    case Priority::Info: return out << "info";
  }
  return out << "?";
}

std::ostream& operator<<(std::ostream& out, PortMode mode) {
  switch (mode) {
    case PortMode::Stopped: return out << "stopped";
    case PortMode::Open: return out << "open";
    case PortMode::Retrying: return out << "retrying";
  }
  return out << "?";
}

std::ostream& operator<<(std::ostream& out, LinkMode mode) {
  switch (mode) {
    case LinkMode::Down: return out << "down";
    case LinkMode::Connecting: return out << "connecting";
    case LinkMode::Up: return out << "up";
    case LinkMode::Accepted: return out << "accepted";
  }
  return out << "?";
}

std::ostream& operator<<(std::ostream& out, const StationView& v) {
  out << "port " << v.PortName << " " << v.Port << " [";
  for (std::size_t i = 0; i < v.PortChoices.size(); ++i) out << (i ? " " : "") << v.PortChoices[i];
  out << "] command " << v.PortCommand << (v.PortChoiceOpen ? " choice open" : " choice closed") << "\n"
      << "receiver " << (v.ReceiverHeard ? "heard" : "not heard") << " pulse " << v.ReceiverPulse << " last "
      << v.ReceiverLastHeard << "\n"
      << "link " << v.Link << " pulse " << v.ServerPulse << "\n"
      << "started " << v.StartedAt << " close code " << v.CloseCode << "\n"
      << "waiting " << v.Waiting << " oldest ";
  PrintTime(out, v.OldestWaiting);
  out << " acknowledged ";
  PrintTime(out, v.LastAcknowledged);
  out << " confirmed ";
  PrintTime(out, v.LastConfirmed);
  out << "\nhealth " << v.Verdict << " pictures " << v.ReceiverPicture << "/" << v.ServerPicture
      << "\nunacknowledged " << UnacknowledgedText(v) << "\nlast warning " << v.LastWarning;
  return out << "\n";
}

}  // namespace orvent
