#pragma once

#include <QImage>

namespace orvent {

// The two link pictures: colour for up or down, and a bar that moves one
// column at every sign of life.
inline constexpr int kIndicatorSize = 16;
inline constexpr int kIndicatorCounterMax = 16;

// Advances an activity counter through 0..16.
inline int AdvanceActivityCounter(int counter) {
  return counter + 1 > kIndicatorCounterMax ? 0 : counter + 1;
}

// The bar's columns for a counter: c .. c+4, a column above 16 taken minus
// 16. Column 16 lies outside the picture and leaves no mark.
int IndicatorBarColumn(int counter, int k);

// Redraws the whole 16 x 16 picture: white, a 2-pixel outline of the
// rectangle (0,3)-(16,15), and the bar over rows 5..11, green when up and
// red when down.
void DrawLinkIndicator(QImage& picture, bool up, int counter);

}  // namespace orvent
