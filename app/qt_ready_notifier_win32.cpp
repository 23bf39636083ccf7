#include <QWinEventNotifier>

#include "app/qt_ready_notifier.h"

namespace orvent {

QObject* NewReadyNotifier(NativeWaitHandle handle, QObject* parent, std::function<void()> on_ready) {
  // The handle is an event object (or any waitable handle) that is signalled
  // while the watched thing is ready.
  auto* notifier = new QWinEventNotifier(reinterpret_cast<Qt::HANDLE>(handle), parent);
  QObject::connect(notifier, &QWinEventNotifier::activated, notifier,
                   [on_ready = std::move(on_ready)] { on_ready(); });
  return notifier;
}

void RetireReadyNotifier(QObject* notifier) {
  static_cast<QWinEventNotifier*>(notifier)->setEnabled(false);
  notifier->deleteLater();
}

}  // namespace orvent
