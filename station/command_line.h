#pragma once

#include <optional>
#include <string_view>

namespace orvent {

// The command line of a driver program: `--help` prints the usage and
// `--version` the version the server is told (both exit 0); anything else is
// refused with the usage on standard error (exit 2). nullopt: run.
std::optional<int> HandleCommandLine(int argc, char** argv, std::string_view program, std::string_view what);

}  // namespace orvent
