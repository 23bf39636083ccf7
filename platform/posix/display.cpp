#include <cstdlib>

#include "platform/display.h"

namespace orvent {
namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool DisplayAvailable() { return Set("DISPLAY") || Set("WAYLAND_DISPLAY"); }

}  // namespace orvent
