#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace orvent {

// A date and time as the window shows it: the locale's short date, then a
// blank and its long time, the time left out when it is exactly midnight.
QString FormatStatusStamp(const QDateTime& when, const QLocale& locale = QLocale::system());

// One line of `Memo1`: the stamp, a blank and the text.
QString FormatStatusLine(const QDateTime& when, const QString& text, const QLocale& locale = QLocale::system());

}  // namespace orvent
