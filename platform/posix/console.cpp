#include "platform/console.h"

namespace orvent {

void PrepareConsoleOutput() {}

const bool kSlashAsksHelp = false;

}  // namespace orvent
