#include "common/command_line_refusal.h"

#include <cstdio>

namespace orvent {

int RefuseCommandLine(std::string_view program, std::string_view why) {
  const std::string text = std::string(program) + ": " + std::string(why) + "\nTry \"" + std::string(program) +
                           " --help\".\n";
  std::fputs(text.c_str(), stderr);
  return kRefusedCommandLineStatus;
}

std::string UnknownArgument(std::string_view arg) { return "unknown argument \"" + std::string(arg) + "\""; }

std::string UnexpectedArgument(std::string_view arg, std::string_view option) {
  return "unexpected argument \"" + std::string(arg) + "\" after \"" + std::string(option) + "\"";
}

}  // namespace orvent
