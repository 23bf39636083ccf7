#include <cstdio>
#include <string_view>

#include "tools/inspect_spool.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "spool") return orvent::RunInspectSpool(argc - 2, argv + 2);
  std::fputs("usage: orvent-inspect spool [PREFIX]\n", stderr);
  return 2;
}
