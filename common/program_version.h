#pragma once

#include <string>

namespace orvent {

// The program's four-part version "a.b.c.d", the project version of the build.
std::string ProgramVersion();

}  // namespace orvent
