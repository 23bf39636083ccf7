#include "app/failure_text.h"

#include <QApplication>
#include <QMessageBox>

namespace orvent {

QString FailureText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

void ShowFailure(QWidget* parent, const QString& message) {
  QMessageBox::critical(parent, QApplication::applicationDisplayName(), FailureText(message));
}

}  // namespace orvent
