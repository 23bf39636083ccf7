#include <windows.h>

#include "platform/console.h"

namespace orvent {

void PrepareConsoleOutput() {
  // Fails harmlessly without a console (a service, output to a file).
  ::SetConsoleOutputCP(CP_UTF8);
}

const bool kSlashAsksHelp = true;

bool StandardErrorIsJournal() { return false; }

}  // namespace orvent
