#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "station/station_view.h"

namespace orvent::winface {

// What the Windows window draws, worked out without a window: the texts of
// the state page's fields, which parts a new view changes, the link
// pictures' cells, the status list's length and the tray menu. The window
// (main_window.cpp) only hands these to the system's controls.

// The state page's values, as the labels beside them read.
struct FieldTexts {
  std::string StartedAt;
  std::string CloseCode;
  std::string Waiting;
  std::string OldestWaiting;
  std::string LastAcknowledged;
  std::string LastConfirmed;
  std::string Unacknowledged;  // "Без подтверждения: 2 (последняя: ...)"
  bool operator==(const FieldTexts&) const = default;
};
FieldTexts FieldTextsOf(const StationView& view);

// The parts of the window that differ between the view drawn last (none
// before the first) and a new one: only those are drawn again, as the
// server's sign of life alone changes the view twice a second, for months.
struct ViewChanges {
  bool ReceiverPicture = false;
  bool ServerPicture = false;
  bool Health = false;       // the verdict's band (and the icon's tip)
  bool LastWarning = false;
  bool Fields = false;
  bool PortCommand = false;
  bool PortChoiceOpen = false;
  bool PortChoices = false;  // the list's items
  bool PortName = false;     // the list's selection or shown name
  bool Any() const {
    return ReceiverPicture || ServerPicture || Health || LastWarning || Fields || PortCommand || PortChoiceOpen ||
           PortChoices || PortName;
  }
};
ViewChanges ChangesBetween(const std::optional<StationView>& drawn, const StationView& view);

// A link picture: a white box with an outline two cells wide and a bar five
// columns wide over cell rows 2..8 that moves one column at each sign of
// life, in the colour of the link's level (green, amber, red); 16 x 12
// cells of 4 pixels.
inline constexpr int kPictureColumns = 16;
inline constexpr int kPictureRows = 12;
inline constexpr int kPictureScale = 4;
inline constexpr int kPictureWidth = kPictureColumns * kPictureScale;
inline constexpr int kPictureHeight = kPictureRows * kPictureScale;
struct Cells {
  int Column = 0;
  int Row = 0;
  int Columns = 0;
  int Rows = 0;
  bool operator==(const Cells&) const = default;
};
struct LinkPicture {
  HealthLevel Level = HealthLevel::Stopped;
  std::vector<Cells> Coloured;  // on white, in the level's colour
};
LinkPicture LinkPictureOf(HealthLevel level, int pulse);

// The status list: a status line is its stamp, a blank and its text; the
// list keeps the newest kStatusLines, the oldest going first.
inline constexpr std::size_t kStatusLines = 1000;
std::string StatusLineText(TDateTime at, const std::string& text);
class StatusLines {
public:
  // Adds a line; true when the oldest went to make room for it.
  bool Add(std::string line);
  const std::deque<std::string>& Lines() const { return lines_; }

private:
  std::deque<std::string> lines_;
};

// The notification-area icon's menu, in order; a separator between the two.
enum class TrayCommand { Restore, Close };
struct TrayMenuItem {
  TrayCommand Command;
  std::string Text;
  bool Enabled = true;
  bool Default = false;  // what a double click on the icon does
};
// `closing`: an orderly end has begun, nothing more is offered.
std::vector<TrayMenuItem> TrayMenu(bool closing);

}  // namespace orvent::winface
