#include "app/status_text.h"

namespace orvent {

QString FormatStatusStamp(const QDateTime& when, const QLocale& locale) {
  QString stamp = locale.toString(when.date(), QLocale::ShortFormat);
  if (when.time() != QTime(0, 0)) {
    // The long time format without the time zone, which a station's status
    // lines never carried.
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    stamp += QLatin1Char(' ') + locale.toString(when.time(), format.trimmed());
  }
  return stamp;
}

QString FormatStatusLine(const QDateTime& when, const QString& text, const QLocale& locale) {
  return FormatStatusStamp(when, locale) + QLatin1Char(' ') + text;
}

}  // namespace orvent
