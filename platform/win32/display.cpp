#include <windows.h>

#include "platform/display.h"

namespace orvent {

bool DisplayAvailable() {
  // A service runs in a window station nobody sees.
  USEROBJECTFLAGS flags{};
  HWINSTA station = ::GetProcessWindowStation();
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace orvent
