#include "platform/console.h"

namespace orvent {

void PrepareConsoleOutput() {}

}  // namespace orvent
