#include "station/command_line.h"

#include <cstdio>
#include <string>

#include "common/command_line_refusal.h"
#include "common/program_version.h"

namespace orvent {

std::optional<int> HandleCommandLine(int argc, char** argv, std::string_view program, std::string_view what) {
  const std::string usage = "usage: " + std::string(program) + " [--help | --version]\n" + std::string(what) +
                            "\nIt works in the folder it is started in: kelmora.ini, the spool files, "
                            "kelmora.log and error.txt are there.\n";
  if (argc <= 1) return std::nullopt;
  const std::string_view arg = argv[1];
  if (argc == 2 && (arg == "--help" || arg == "-h")) {
    std::fputs(usage.c_str(), stdout);
    return 0;
  }
  if (argc == 2 && arg == "--version") {
    std::printf("%.*s %s\n", static_cast<int>(program.size()), program.data(), ProgramVersion().c_str());
    return 0;
  }
  // The first argument that is not an option of ours; else the one too many.
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a != "--help" && a != "-h" && a != "--version") return RefuseCommandLine(program, UnknownArgument(a));
  }
  return RefuseCommandLine(program, UnexpectedArgument(argv[2], argv[1]));
}

}  // namespace orvent
