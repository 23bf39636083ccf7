#pragma once

#include <optional>
#include <string_view>

namespace orvent {

// The command line of a driver program: `--help` prints the usage and
// `--version` the version the server is told (both exit 0); anything else is
// refused, named on standard error with a pointer to `--help` (exit 2).
// nullopt: run.
std::optional<int> HandleCommandLine(int argc, char** argv, std::string_view program, std::string_view what);

}  // namespace orvent
