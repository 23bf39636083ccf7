#pragma once

#include <QFont>
#include <QString>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace orvent {

// The whole pixels the widest line of `text` takes in `font`, laid out the
// way a label draws it: on one line, or wrapped at blanks to `wrap_width`
// (a word longer than that reaches past it). Rounded up: a width rounded
// down makes a wrapped label put a last word on a line of its own.
inline int TextWidth(const QFont& font, const QString& text, int wrap_width = 0) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(wrap_width > 0 ? QTextOption::WordWrap : QTextOption::NoWrap);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal widest = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(wrap_width);
    widest = std::max(widest, line.naturalTextWidth());
  }
  layout.endLayout();
  return static_cast<int>(std::ceil(widest));
}

}  // namespace orvent
