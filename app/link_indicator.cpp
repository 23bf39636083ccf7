#include "app/link_indicator.h"

#include <QColor>
#include <QPainter>

namespace orvent {
namespace {

const QColor kBackground(255, 255, 255);
const QColor kUp(0, 128, 0);
const QColor kDown(255, 0, 0);

// The outline rectangle, right and bottom edges excluded, and its pen.
constexpr int kBoxLeft = 0;
constexpr int kBoxTop = 3;
constexpr int kBoxRight = 16;
constexpr int kBoxBottom = 15;
constexpr int kPenWidth = 2;
// The bar's rows, the end excluded.
constexpr int kBarTop = 5;
constexpr int kBarBottom = 12;
constexpr int kBarColumns = 5;

}  // namespace

int IndicatorBarColumn(int counter, int k) {
  const int column = counter + k;
  return column > kIndicatorCounterMax ? column - kIndicatorCounterMax : column;
}

void DrawLinkIndicator(QImage& picture, bool up, int counter) {
  if (picture.size() != QSize(kIndicatorSize, kIndicatorSize)) {
    picture = QImage(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  }
  const QColor colour = up ? kUp : kDown;
  QPainter p(&picture);
  p.fillRect(0, 0, kIndicatorSize, kIndicatorSize, kBackground);
  // The outline lies inside the rectangle, so that all of it stays visible.
  const int width = kBoxRight - kBoxLeft;
  const int height = kBoxBottom - kBoxTop;
  p.fillRect(kBoxLeft, kBoxTop, width, kPenWidth, colour);
  p.fillRect(kBoxLeft, kBoxBottom - kPenWidth, width, kPenWidth, colour);
  p.fillRect(kBoxLeft, kBoxTop, kPenWidth, height, colour);
  p.fillRect(kBoxRight - kPenWidth, kBoxTop, kPenWidth, height, colour);
  for (int k = 0; k < kBarColumns; ++k) {
    const int x = IndicatorBarColumn(counter, k);
    if (x >= 0 && x < kIndicatorSize) p.fillRect(x, kBarTop, 1, kBarBottom - kBarTop, colour);
  }
}

}  // namespace orvent
