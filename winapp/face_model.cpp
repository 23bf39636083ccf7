#include "winapp/face_model.h"

#include <utility>

namespace orvent::winface {
namespace {

// In cells: the outline's width, the bar's rows (the end excluded) and width.
constexpr int kOutline = 2;
constexpr int kBarTop = 2;
constexpr int kBarBottom = 9;
constexpr int kBarColumns = 5;
// The pulse runs through 0..16; the bar's column 16 lies outside the picture.
constexpr int kPulseMax = 16;

}  // namespace

FieldTexts FieldTextsOf(const StationView& view) {
  return FieldTexts{StampText(view.StartedAt),
                    view.CloseCode,
                    std::to_string(view.Waiting),
                    BacklogTimeText(view.OldestWaiting),
                    BacklogTimeText(view.LastAcknowledged),
                    BacklogTimeText(view.LastConfirmed),
                    std::string(kLabelUnacknowledged) + ": " + UnacknowledgedText(view)};
}

ViewChanges ChangesBetween(const std::optional<StationView>& drawn, const StationView& view) {
  if (!drawn) return ViewChanges{true, true, true, true, true, true, true, true, true};
  const StationView& d = *drawn;
  ViewChanges c;
  c.ReceiverPicture = d.ReceiverPicture != view.ReceiverPicture || d.ReceiverPulse != view.ReceiverPulse;
  c.ServerPicture = d.ServerPicture != view.ServerPicture || d.ServerPulse != view.ServerPulse;
  c.Health = d.Verdict != view.Verdict;
  c.LastWarning = d.LastWarning != view.LastWarning;
  c.Fields = FieldTextsOf(d) != FieldTextsOf(view);
  c.PortCommand = d.PortCommand != view.PortCommand;
  c.PortChoiceOpen = d.PortChoiceOpen != view.PortChoiceOpen;
  c.PortChoices = d.PortChoices != view.PortChoices;
  c.PortName = c.PortChoices || d.PortName != view.PortName;
  return c;
}

LinkPicture LinkPictureOf(HealthLevel level, int pulse) {
  LinkPicture p{level, {}};
  p.Coloured = {{0, 0, kPictureColumns, kOutline},
                {0, kPictureRows - kOutline, kPictureColumns, kOutline},
                {0, 0, kOutline, kPictureRows},
                {kPictureColumns - kOutline, 0, kOutline, kPictureRows}};
  for (int k = 0; k < kBarColumns; ++k) {
    int column = pulse + k;
    if (column > kPulseMax) column -= kPulseMax;
    if (column < kPictureColumns) p.Coloured.push_back({column, kBarTop, 1, kBarBottom - kBarTop});
  }
  return p;
}

std::string StatusLineText(TDateTime at, const std::string& text) { return StampText(at) + " " + text; }

bool StatusLines::Add(std::string line) {
  lines_.push_back(std::move(line));
  if (lines_.size() <= kStatusLines) return false;
  lines_.pop_front();
  return true;
}

std::vector<TrayMenuItem> TrayMenu(bool closing) {
  return {{TrayCommand::Restore, kMenuRestore, !closing, true}, {TrayCommand::Close, kMenuClose, !closing, false}};
}

}  // namespace orvent::winface
