// orvent-inspect: shows operators what the driver makes of its inputs.
#include <cstdio>
#include <string_view>

#include "common/program_version.h"
#include "tools/inspect_decode.h"
#include "tools/inspect_spool.h"

namespace {

constexpr char kUsage[] =
    "usage: orvent-inspect decode [--ini FILE] [--time \"YYYY-MM-DD HH:MM:SS.mmm\"] LINE\n"
    "       orvent-inspect spool [PREFIX]\n"
    "       orvent-inspect --help | --version\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc >= 2 ? argv[1] : "";
  if (command == "decode") return orvent::RunInspectDecode(argc - 2, argv + 2);
  if (command == "spool") return orvent::RunInspectSpool(argc - 2, argv + 2);
  if (command == "--version") {
    std::printf("orvent-inspect %s\n", orvent::ProgramVersion().c_str());
    return 0;
  }
  if (command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
