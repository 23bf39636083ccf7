#include <QSocketNotifier>

#include "app/qt_ready_notifier.h"

namespace orvent {

QObject* NewReadyNotifier(NativeWaitHandle handle, QObject* parent, std::function<void()> on_ready) {
  auto* notifier = new QSocketNotifier(static_cast<qintptr>(handle), QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [on_ready = std::move(on_ready)] { on_ready(); });
  return notifier;
}

void RetireReadyNotifier(QObject* notifier) {
  static_cast<QSocketNotifier*>(notifier)->setEnabled(false);
  notifier->deleteLater();
}

}  // namespace orvent
