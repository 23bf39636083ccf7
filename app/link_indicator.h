#pragma once

#include <QColor>
#include <QImage>

#include "station/health.h"

namespace orvent {

// The two link pictures: a colour for how the link stands (green, amber,
// red, as the station decides it), and a bar that moves one
// column at every sign of life. They are drawn on a grid of 16 x 12 cells,
// each kIndicatorScale pixels square, so that an operator can read them
// across the room.
inline constexpr int kIndicatorColumns = 16;
inline constexpr int kIndicatorRows = 12;
inline constexpr int kIndicatorScale = 4;
inline constexpr int kIndicatorWidth = kIndicatorColumns * kIndicatorScale;
inline constexpr int kIndicatorHeight = kIndicatorRows * kIndicatorScale;
inline constexpr int kIndicatorCounterMax = 16;

// Advances an activity counter through 0..16.
inline int AdvanceActivityCounter(int counter) {
  return counter + 1 > kIndicatorCounterMax ? 0 : counter + 1;
}

// The bar's columns for a counter: c .. c+4, a column above 16 taken minus
// 16. Column 16 lies outside the picture and leaves no mark.
int IndicatorBarColumn(int counter, int k);

// The colour of a health level, in the pictures and the verdict's band.
QColor HealthColour(HealthLevel level);

// Redraws the whole picture (kIndicatorWidth x kIndicatorHeight): a white
// box with an outline two cells wide, and the bar over cell rows 2..8, in
// the level's colour.
void DrawLinkIndicator(QImage& picture, HealthLevel level, int counter);

}  // namespace orvent
