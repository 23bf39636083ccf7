#include "station/command_line.h"

#include <cstdio>
#include <string>
#include <utility>

#include "common/command_line_refusal.h"
#include "common/program_version.h"
#include "platform/console.h"

namespace orvent {
namespace {

constexpr std::string_view kWorkDir = "--workdir";
constexpr std::string_view kInstall = "--install";
constexpr std::string_view kUninstall = "--uninstall";

bool IsHelp(std::string_view arg, bool slash_help) {
  return arg == "--help" || arg == "-h" || (slash_help && arg == "/?");
}

std::string Quoted(std::string_view arg) { return "\"" + std::string(arg) + "\""; }

CommandLineReading Refused(std::string why) {
  CommandLineReading reading;
  reading.Result = CommandLineReading::Outcome::Refused;
  reading.Refusal = std::move(why);
  return reading;
}

// orvent-service's own options, none of them twice.
CommandLineReading ReadServiceOptions(const std::vector<std::string_view>& args) {
  CommandLineReading reading;
  ServiceCommand& command = reading.Service;
  std::string_view action;  // the --install or --uninstall given
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == kWorkDir) {
      if (!command.WorkDir.empty()) return Refused(Quoted(kWorkDir) + " is given twice");
      // An option after it means the folder was left out.
      if (i + 1 == args.size() || args[i + 1].empty() || args[i + 1].starts_with("--")) {
        return Refused(Quoted(kWorkDir) + " wants a value");
      }
      command.WorkDir = std::string(args[++i]);
    } else if (arg == kInstall || arg == kUninstall) {
      if (arg == action) return Refused(Quoted(arg) + " is given twice");
      if (!action.empty()) return Refused(Quoted(arg) + " and " + Quoted(action) + " exclude each other");
      action = arg;
      command.Do = arg == kInstall ? ServiceCommand::Action::Install : ServiceCommand::Action::Uninstall;
    } else {
      return Refused(UnknownArgument(arg));
    }
  }
  // The service to remove has its folder in its registration already.
  if (command.Do == ServiceCommand::Action::Uninstall && !command.WorkDir.empty()) {
    return Refused(Quoted(kWorkDir) + " and " + Quoted(kUninstall) + " exclude each other");
  }
  return reading;
}

std::optional<int> Handle(int argc, char** argv, std::string_view program, const std::string& usage,
                          ServiceCommand* service) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  const CommandLineReading reading = ReadCommandLine(args, service != nullptr, kSlashAsksHelp);
  switch (reading.Result) {
    case CommandLineReading::Outcome::Help:
      std::fputs(usage.c_str(), stdout);
      return 0;
    case CommandLineReading::Outcome::Version:
      std::printf("%.*s %s\n", static_cast<int>(program.size()), program.data(), ProgramVersion().c_str());
      return 0;
    case CommandLineReading::Outcome::Refused:
      return RefuseCommandLine(program, reading.Refusal);
    case CommandLineReading::Outcome::Run:
      break;
  }
  if (service != nullptr) *service = reading.Service;
  return std::nullopt;
}

}  // namespace

CommandLineReading ReadCommandLine(const std::vector<std::string_view>& args, bool service_options, bool slash_help) {
  CommandLineReading reading;
  if (args.empty()) return reading;
  const auto answered = [&](std::string_view arg) { return IsHelp(arg, slash_help) || arg == "--version"; };
  if (args.size() == 1 && IsHelp(args[0], slash_help)) {
    reading.Result = CommandLineReading::Outcome::Help;
    return reading;
  }
  if (args.size() == 1 && args[0] == "--version") {
    reading.Result = CommandLineReading::Outcome::Version;
    return reading;
  }
  // --help and --version stand alone: with anything else, the second
  // argument is the one too many.
  bool any_answered = false;
  for (const std::string_view arg : args) any_answered = any_answered || answered(arg);
  if (service_options && !any_answered) return ReadServiceOptions(args);
  // The first argument that is not an option of ours; else the one too many.
  for (const std::string_view arg : args) {
    const bool ours = answered(arg) || (service_options && (arg == kWorkDir || arg == kInstall || arg == kUninstall));
    if (!ours) return Refused(UnknownArgument(arg));
  }
  return Refused(UnexpectedArgument(args[1], args[0]));
}

std::optional<int> HandleCommandLine(int argc, char** argv, std::string_view program, std::string_view what) {
  const std::string usage = "usage: " + std::string(program) + " [--help | --version]\n" + std::string(what) +
                            "\nIt works in the folder it is started in: kelmora.ini, the spool files, "
                            "kelmora.log and error.txt are there.\n";
  return Handle(argc, argv, program, usage, nullptr);
}

std::optional<int> HandleServiceCommandLine(int argc, char** argv, std::string_view program, std::string_view what,
                                            ServiceCommand& command) {
  const std::string name(program);
  const std::string usage =
      "usage: " + name + " [--workdir DIR]\n" +            //
      "       " + name + " --install [--workdir DIR]\n" +  //
      "       " + name + " --uninstall\n" +                //
      "       " + name + " --help | --version\n" + std::string(what) +
      "\nIt works in the folder it is started in, or in DIR: kelmora.ini, the spool files, kelmora.log and "
      "error.txt are there.\n"
      "\n"
      "On Windows it runs as the service \"" + name + "\" too:\n"
      "  --install    registers it (as administrator): it starts with the system, and\n"
      "               again a minute after a failure; with --workdir it works in DIR,\n"
      "               else in %ProgramData%\\orvent\n"
      "  --uninstall  stops the service and removes it\n"
      "As a service it writes its status lines to status.txt in its folder; the older\n"
      "ones move to status.1.txt, status.2.txt and status.3.txt, 1 MiB each.\n"
      "Exit status: 0 done, 1 failed, 2 command line refused, 3 not allowed (not an\n"
      "administrator), 4 already installed, 5 not installed.\n";
  return Handle(argc, argv, program, usage, &command);
}

}  // namespace orvent
