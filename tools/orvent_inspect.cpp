// orvent-inspect: shows operators what the driver makes of its inputs.
#include <cstdio>
#include <cstring>

#include "tools/inspect_decode.h"

namespace {

constexpr char kUsage[] =
    "usage: orvent-inspect decode [--ini FILE] [--time \"YYYY-MM-DD HH:MM:SS.mmm\"] LINE\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "decode") == 0) return orvent::RunInspectDecode(argc - 2, argv + 2);
  std::fputs(kUsage, stderr);
  return 2;
}
