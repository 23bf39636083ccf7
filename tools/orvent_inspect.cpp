// orvent-inspect: shows operators what the driver makes of its inputs.
#include <cstdio>
#include <string_view>

#include "common/command_line_refusal.h"
#include "common/program_version.h"
#include "tools/inspect_decode.h"
#include "tools/inspect_spool.h"

namespace {

constexpr char kProgram[] = "orvent-inspect";

constexpr char kUsage[] =
    "usage: orvent-inspect decode [--ini FILE] [--time \"YYYY-MM-DD HH:MM:SS.mmm\"] LINE\n"
    "       orvent-inspect spool [PREFIX]\n"
    "       orvent-inspect --help | --version\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return orvent::kRefusedCommandLineStatus;
  }
  const std::string_view command = argv[1];
  if (command == "decode") return orvent::RunInspectDecode(argc - 2, argv + 2);
  if (command == "spool") return orvent::RunInspectSpool(argc - 2, argv + 2);
  if (command != "--version" && command != "--help" && command != "-h") {
    return orvent::RefuseCommandLine(kProgram, orvent::UnknownArgument(command));
  }
  if (argc > 2) {
    return orvent::RefuseCommandLine(kProgram, orvent::UnexpectedArgument(argv[2], command));
  }
  if (command == "--version") {
    std::printf("%s %s\n", kProgram, orvent::ProgramVersion().c_str());
  } else {
    std::fputs(kUsage, stdout);
  }
  return 0;
}
