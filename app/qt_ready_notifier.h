#pragma once

#include <QObject>
#include <functional>

#include "platform/event_loop.h"

namespace orvent {

// A Qt object, owned by `parent`, that calls `on_ready` on the window thread
// whenever `handle` (a descriptor) is ready.
QObject* NewReadyNotifier(NativeWaitHandle handle, QObject* parent, std::function<void()> on_ready);

// Stops the calls at once; the object itself is deleted later, since this
// may run inside its own call.
void RetireReadyNotifier(QObject* notifier);

}  // namespace orvent
