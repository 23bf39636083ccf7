#include "common/program_version.h"

#ifndef ORVENT_PROGRAM_VERSION
#error "the build passes the project version as ORVENT_PROGRAM_VERSION"
#endif

namespace orvent {

std::string ProgramVersion() { return ORVENT_PROGRAM_VERSION; }

}  // namespace orvent
