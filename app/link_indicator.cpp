#include "app/link_indicator.h"

#include <QColor>
#include <QPainter>

#include "station/station_view.h"

namespace orvent {
namespace {

const QColor kBackground(255, 255, 255);

// In cells: the outline's width, and the bar's rows, the end excluded.
constexpr int kOutline = 2;
constexpr int kBarTop = 2;
constexpr int kBarBottom = 9;
constexpr int kBarColumns = 5;

// Fills cells [column, column + columns) x [row, row + rows).
void FillCells(QPainter& p, int column, int row, int columns, int rows, const QColor& colour) {
  p.fillRect(column * kIndicatorScale, row * kIndicatorScale, columns * kIndicatorScale, rows * kIndicatorScale,
             colour);
}

}  // namespace

QColor HealthColour(HealthLevel level) {
  const Rgb c = ColourOf(level);
  return {c.Red, c.Green, c.Blue};
}

int IndicatorBarColumn(int counter, int k) {
  const int column = counter + k;
  return column > kIndicatorCounterMax ? column - kIndicatorCounterMax : column;
}

void DrawLinkIndicator(QImage& picture, HealthLevel level, int counter) {
  if (picture.size() != QSize(kIndicatorWidth, kIndicatorHeight)) {
    picture = QImage(kIndicatorWidth, kIndicatorHeight, QImage::Format_RGB32);
  }
  const QColor colour = HealthColour(level);
  QPainter p(&picture);
  FillCells(p, 0, 0, kIndicatorColumns, kIndicatorRows, kBackground);
  FillCells(p, 0, 0, kIndicatorColumns, kOutline, colour);
  FillCells(p, 0, kIndicatorRows - kOutline, kIndicatorColumns, kOutline, colour);
  FillCells(p, 0, 0, kOutline, kIndicatorRows, colour);
  FillCells(p, kIndicatorColumns - kOutline, 0, kOutline, kIndicatorRows, colour);
  for (int k = 0; k < kBarColumns; ++k) {
    const int column = IndicatorBarColumn(counter, k);
    if (column < kIndicatorColumns) FillCells(p, column, kBarTop, 1, kBarBottom - kBarTop, colour);
  }
}

}  // namespace orvent
