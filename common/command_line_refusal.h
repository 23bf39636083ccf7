#pragma once

#include <string>
#include <string_view>

namespace orvent {

// The exit status of a program whose command line is refused.
inline constexpr int kRefusedCommandLineStatus = 2;

// Tells the person at the terminal, on standard error, what a program
// refuses and where its usage is, in two lines:
//   PROGRAM: WHY
//   Try "PROGRAM --help".
// `why` names the refused argument. Returns kRefusedCommandLineStatus.
int RefuseCommandLine(std::string_view program, std::string_view why);

// `unknown argument "ARG"`, the usual `why`.
std::string UnknownArgument(std::string_view arg);
// `unexpected argument "ARG" after "OPTION"`: one more than an option takes.
std::string UnexpectedArgument(std::string_view arg, std::string_view option);

}  // namespace orvent
