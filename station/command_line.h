#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvent {

// What orvent-service is asked to do besides what every program answers.
struct ServiceCommand {
  enum class Action { Run, Install, Uninstall };
  Action Do = Action::Run;
  // --workdir: the folder to work in; empty when not given.
  std::string WorkDir;
  bool operator==(const ServiceCommand&) const = default;
};

// A command line read, before anything is printed or done.
struct CommandLineReading {
  enum class Outcome { Run, Help, Version, Refused };
  Outcome Result = Outcome::Run;
  std::string Refusal;     // why, when refused
  ServiceCommand Service;  // what to run, for orvent-service
  bool operator==(const CommandLineReading&) const = default;
};

// Reads `args` (without the program's name). `service_options`: the program
// takes orvent-service's --workdir, --install and --uninstall.
// `slash_help`: "/?" asks for the usage as --help does (the habit of the
// system's own commands on Windows).
CommandLineReading ReadCommandLine(const std::vector<std::string_view>& args, bool service_options, bool slash_help);

// The command line of a driver program: `--help` prints the usage and
// `--version` the version the server is told (both exit 0); anything else is
// refused, named on standard error with a pointer to `--help` (exit 2).
// On Windows `/?` is `--help`. nullopt: run.
std::optional<int> HandleCommandLine(int argc, char** argv, std::string_view program, std::string_view what);

// The same for orvent-service, which takes its own options too; `command`
// says what to do when the answer is nullopt.
std::optional<int> HandleServiceCommandLine(int argc, char** argv, std::string_view program, std::string_view what,
                                            ServiceCommand& command);

}  // namespace orvent
