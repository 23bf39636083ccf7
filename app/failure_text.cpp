#include "app/failure_text.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>

#include "station/station.h"

namespace orvent {

QString FailureText(const QString& message) {
  return QString::fromStdString(orvent::FailureText(message.toStdString()));
}

void ShowFailure(QWidget* parent, const QString& message) {
  const QString text = FailureText(message);
  const QByteArray line = (text + QLatin1Char('\n')).toUtf8();
  std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
  std::fflush(stderr);
  // One box, shown without a nested event loop: failures that repeat while
  // nobody watches (a receiver sending the same bad line for hours) update
  // it instead of stacking modal loops inside one another.
  static QPointer<QMessageBox> box;
  if (box == nullptr) {
    box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
  }
  box->setText(text);
  box->show();
}

}  // namespace orvent
