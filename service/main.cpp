// orvent-service: the receiver driver without a window.
#include <cstdio>
#include <cstring>

#include "delivery/program_version.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("orvent-service %s\n", orvent::ProgramVersion().c_str());
      return 0;
    }
  }
  std::fputs("orvent-service: not built yet\n", stderr);
  return 1;
}
