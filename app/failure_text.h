#pragma once

#include <QString>

class QWidget;

namespace orvent {

// The text of a failure that escaped a window handler: its message, with a
// full stop appended when the last character sorts after ".".
QString FailureText(const QString& message);

// Shows such a failure in a message box with an error icon and the
// application's title (and on standard error); the program goes on at once.
void ShowFailure(QWidget* parent, const QString& message);

// Runs a handler's body; a failure that escapes it is shown, not raised.
template <typename Body>
void Guarded(QWidget* parent, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    ShowFailure(parent, QString::fromLocal8Bit(e.what()));
  }
}

}  // namespace orvent
